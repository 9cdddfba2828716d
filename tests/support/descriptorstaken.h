#pragma once

#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QString>

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

// As when the descriptor limit is lowered on a running tool: the limit goes
// down to the lowest descriptor open on `device`, and every free number below
// it is taken, so no new descriptor can be had and a re-open would find none.
// Undone when it goes.
// This process's open descriptors, as /proc shows them.
inline QFileInfoList ownDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryInfoList(QDir::System | QDir::NoDotAndDotDot);
}

// Those of them open on `device`.
inline int descriptorsOn(const QString &device)
{
    int count = 0;
    for (const QFileInfo &fd : ownDescriptors())
        count += fd.symLinkTarget() == device ? 1 : 0;
    return count;
}

class DescriptorsTaken
{
public:
    explicit DescriptorsTaken(const QString &device)
    {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        int lowest = 1024;
        for (const QFileInfo &fd : ownDescriptors())
            if (fd.symLinkTarget() == device)
                lowest = std::min(lowest, fd.fileName().toInt());
        for (int fd; (fd = ::fcntl(lowest, F_DUPFD_CLOEXEC, 0)) >= 0;) {
            if (fd >= lowest) {
                ::close(fd);
                break;
            }
            m_fillers << fd;
        }
        rlimit starved = m_saved;
        starved.rlim_cur = rlim_t(lowest);
        m_lowered = ::setrlimit(RLIMIT_NOFILE, &starved) == 0;
    }
    ~DescriptorsTaken()
    {
        for (const int fd : std::as_const(m_fillers))
            ::close(fd);
        ::setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    DescriptorsTaken(const DescriptorsTaken &) = delete;
    DescriptorsTaken &operator=(const DescriptorsTaken &) = delete;

    bool lowered() const { return m_lowered; }

private:
    rlimit m_saved{};
    QList<int> m_fillers;
    bool m_lowered = false;
};
