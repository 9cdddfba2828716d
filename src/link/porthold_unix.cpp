#include "porthold.h"

#include "linemode.h"
#include "lockfiles.h"
#include "sessionterminal.h"
#include "systemerror.h"

#include <QElapsedTimer>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// How often a held device is checked for having become a session's terminal
// and for its lock files still standing.
constexpr qint64 kLookEveryMs = 1000;
// A held device whose terminal state can't be told is let go after this
// long, which with a look every tick keeps it under two seconds.
constexpr qint64 kUnknownLetGoMs = 1500;

bool sameNode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}
} // namespace

struct PortHold::State
{
    explicit State(QStringList folders)
        : locks(std::move(folders))
    {
    }

    PortStatus status(PortState state) const { return {device, state, 0, {}}; }
    PortStatus refuse(PortStatus why);
    PortStatus prepare(const QString &wanted);
    PortStatus take(int handle);
    PortStatus check();
    PortStatus look();
    void letGo(const std::function<void()> &closePort);

    LockFiles locks;
    SessionTerminal terminal;
    QString device;
    // Open from prepare() until the serial port has opened the device: the
    // line is checked and made raw on it first.
    int probe = -1;
    int fd = -1; // the serial port's, while held
    // A duplicate of it: the serial port sets back what it found at its open
    // when it closes, so the line is given back through this one, after.
    int last = -1;
    struct stat node = {};
    termios found{}; // the line as it was found
    termios ours{};  // as we left it
    QElapsedTimer lastLook;
    QElapsedTimer lastKnown; // when it was last known to be no session's terminal
    bool unknown = false;
    bool outOfFiles = false;
    QString letGoFor; // the device given up because a session took it
};

PortStatus PortHold::State::refuse(PortStatus why)
{
    letGo({});
    return why;
}

PortStatus PortHold::State::prepare(const QString &wanted)
{
    letGo({});
    device = wanted;
    if (wanted.isEmpty())
        return refuse(status(PortState::NoDevice));
    const QByteArray path = QFile::encodeName(wanted);
    struct stat st = {};
    if (::stat(path.constData(), &st) != 0)
        return refuse(status(SystemError::stateFor(errno)));
    if (!S_ISCHR(st.st_mode))
        return refuse(status(PortState::NotSerial));
    // The cheap refusals first; the look at /proc comes last.
    if (::access(path.constData(), R_OK | W_OK) != 0)
        return refuse(status(SystemError::stateFor(errno)));
    if (const PortStatus locked = locks.check(wanted); locked.state != PortState::Open)
        return refuse(locked);
    const auto sessionTerminal = [&] {
        return refuse(status(letGoFor == wanted ? PortState::LetGo : PortState::SessionTerminal));
    };
    if (terminal.scan(st.st_rdev) == SessionTerminal::Answer::Taken)
        return sessionTerminal();

    probe = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        PortStatus failed = status(SystemError::stateFor(errno));
        failed.error = errno;
        return refuse(failed);
    }
    if (::tcgetattr(probe, &found) != 0)
        return refuse(status(PortState::NotSerial));
    ours = found;
    // /proc may not show every session, and its answer stands a while; the
    // kernel's settles it before the line is touched or a byte is read, and
    // stands for the scan's while the device is refused for other reasons.
    SessionTerminal::Answer answer = SessionTerminal::askKernel(probe);
    if (answer == SessionTerminal::Answer::Unknown)
        answer = terminal.scan(st.st_rdev, true);
    if (answer != SessionTerminal::Answer::Free) {
        terminal.forget();
        return answer == SessionTerminal::Answer::Taken ? sessionTerminal()
                                                        : refuse(status(PortState::TerminalUnknown));
    }
    terminal.nobodyHas(st.st_rdev);
    // Held with flock alone by picocom or tio: the line is theirs, untouched.
    if (::flock(probe, LOCK_EX | LOCK_NB) != 0)
        return refuse(status(PortState::InUse));
    ::flock(probe, LOCK_UN);
    ours = LineMode::raw(found);
    ::tcsetattr(probe, TCSANOW, &ours);
    ::fstat(probe, &node);
    return status(PortState::Open);
}

PortStatus PortHold::State::take(int handle)
{
    if (probe < 0 || handle < 0)
        return status(PortState::NoDevice);
    fd = handle;
    ::tcgetattr(fd, &ours); // as the serial port has set it
    last = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (last < 0) {
        PortStatus failed = status(SystemError::stateFor(errno));
        failed.error = errno;
        return failed;
    }
    // Someone came between the look and the open.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return status(PortState::InUse);
    if (const PortStatus written = locks.write(device); written.state != PortState::Open)
        return written;
    ::close(probe);
    probe = -1;
    letGoFor.clear();
    unknown = outOfFiles = false;
    lastLook.start();
    lastKnown.start();
    return status(PortState::Open);
}

PortStatus PortHold::State::check()
{
    if (fd < 0 || probe >= 0)
        return status(PortState::NoDevice);
    // Unplugged, replaced under the same name, or hung up: the next tick opens afresh.
    struct stat now = {};
    pollfd health{fd, POLLIN, 0};
    if (::stat(QFile::encodeName(device).constData(), &now) != 0 || !sameNode(now, node)
        || (::poll(&health, 1, 0) > 0 && (health.revents & (POLLHUP | POLLERR | POLLNVAL))))
        return status(PortState::NoDevice);
    termios line{};
    if (::tcgetattr(fd, &line) != 0)
        return status(PortState::NoDevice);
    // Another program changed it; the BA still needs it this way.
    if (!LineMode::same(line, ours))
        ::tcsetattr(fd, TCSANOW, &ours);
    if (unknown || lastLook.elapsed() >= kLookEveryMs)
        return look();
    PortStatus held = status(PortState::Open);
    held.outOfFiles = outOfFiles;
    return held;
}

PortStatus PortHold::State::look()
{
    lastLook.start();
    SessionTerminal::Answer answer = SessionTerminal::askKernel(fd);
    if (answer == SessionTerminal::Answer::Unknown)
        answer = terminal.scan(node.st_rdev, true);
    if (answer == SessionTerminal::Answer::Taken) {
        terminal.forget(); // the next look at /proc finds who took it
        letGoFor = device;
        return status(PortState::LetGo);
    }
    unknown = answer == SessionTerminal::Answer::Unknown;
    if (!unknown)
        lastKnown.start();
    else if (lastKnown.elapsed() >= kUnknownLetGoMs)
        return status(PortState::TerminalUnknown);
    outOfFiles = !locks.keep();
    PortStatus held = status(PortState::Open);
    held.outOfFiles = outOfFiles;
    return held;
}

void PortHold::State::letGo(const std::function<void()> &closePort)
{
    // Given back only while it is exactly as we left it: anyone who has set
    // it since, control characters included, keeps theirs.
    const int line = last >= 0 ? last : probe;
    termios now{};
    const bool read = line >= 0 && ::tcgetattr(line, &now) == 0;
    const termios &back = read && LineMode::same(now, ours) ? found : now;
    if (closePort)
        closePort();
    if (read)
        ::tcsetattr(line, TCSANOW, &back);
    for (int *own : {&last, &probe}) {
        if (*own >= 0)
            ::close(*own); // the device's last close, and with it the flock
        *own = -1;
    }
    fd = -1;
    // After the port's close, which removes its own lock first.
    locks.remove();
    device.clear();
}

PortHold::PortHold(QStringList lockFolders)
    : d(std::make_unique<State>(std::move(lockFolders)))
{
}

PortHold::~PortHold()
{
    d->letGo({});
}

PortStatus PortHold::prepare(const QString &device)
{
    return d->prepare(device);
}

PortStatus PortHold::take(qintptr handle)
{
    return d->take(int(handle));
}

PortStatus PortHold::check()
{
    return d->check();
}

void PortHold::letGo(const std::function<void()> &closePort)
{
    d->letGo(closePort);
}

bool PortHold::holds(const QString &device) const
{
    return d->fd >= 0 && d->probe < 0 && device == d->device;
}

QString PortHold::device() const
{
    return d->fd >= 0 ? d->device : QString();
}

QStringList PortHold::systemLockFolders()
{
    return LockFiles::systemFolders();
}
