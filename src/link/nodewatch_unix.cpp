#include "nodewatch.h"

#include <algorithm>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
constexpr uint32_t kFreeing = IN_CLOSE_WRITE | IN_CLOSE_NOWRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr qint64 kWaitWithoutBellMs = 100;
constexpr qint64 kLongestWaitMs = 60'000;
} // namespace

NodeWatch::NodeWatch()
    : m_notes(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    , m_bell(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

NodeWatch::~NodeWatch()
{
    for (const int fd : {m_notes, m_bell})
        if (fd >= 0)
            ::close(fd);
}

bool NodeWatch::watch(const QByteArray &path)
{
    if (m_notes < 0)
        return false;
    if (m_watch >= 0)
        ::inotify_rm_watch(m_notes, m_watch);
    m_watch = path.isEmpty() ? -1 : ::inotify_add_watch(m_notes, path.constData(), kFreeing);
    (void)freed(); // the node before's
    return watching();
}

bool NodeWatch::freed()
{
    bool any = false;
    alignas(inotify_event) char events[4096];
    for (ssize_t n; m_notes >= 0 && (n = ::read(m_notes, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            any = any || (event->mask & IN_Q_OVERFLOW) || (m_watch >= 0 && event->wd == m_watch);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return any;
}

void NodeWatch::wait(qint64 ms)
{
    pollfd on[] = {{m_bell, POLLIN, 0}, {m_notes, POLLIN, 0}};
    (void)::poll(on, 2, int(std::min(ms, m_bell >= 0 ? kLongestWaitMs : kWaitWithoutBellMs)));
    eventfd_t rung = 0;
    if (m_bell >= 0)
        (void)::eventfd_read(m_bell, &rung);
}

void NodeWatch::ring()
{
    if (m_bell >= 0)
        (void)::eventfd_write(m_bell, 1);
}
