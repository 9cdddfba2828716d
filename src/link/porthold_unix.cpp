#include "porthold_unix.h"

#include "linemode.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

PortStatus PortHold::State::refuse(PortStatus why)
{
    letGo({});
    return why;
}

Refusal PortHold::State::prepare(const QString &wanted)
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
    if (const Refusal locked = locks.check(wanted))
        return refuse(*locked);
    const auto sessionTerminal = [&] {
        return refuse(status(letGoFor == wanted ? PortState::LetGo : PortState::SessionTerminal));
    };
    // Anyone else on it is found without opening it: every open raises DTR
    // and RTS, and the line would be ours to touch.
    const DeviceUsers::Answer other = users.look(st);
    if (other.use == DeviceUsers::Use::Terminal)
        return sessionTerminal();
    if (other.use == DeviceUsers::Use::Open || other.use == DeviceUsers::Use::Flock)
        return refuse({wanted, PortState::InUse, other.pid, {}});

    probe = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        // Exclusive to our own open that hung up: a pty's far end keeps it so.
        if (errno == EBUSY && hungUp == wanted)
            return refuse(status(PortState::HungUp));
        return refuse(failed(errno));
    }
    // Someone took it between the look and the open.
    if (::flock(probe, LOCK_EX | LOCK_NB) != 0)
        return refuse(status(PortState::InUse));
    ::flock(probe, LOCK_UN);
    if (::tcgetattr(probe, &found) != 0)
        return refuse(errno == ENOTTY || errno == EINVAL ? status(PortState::NotSerial) : failed(errno));
    // /proc may not show every session; the kernel's answer settles it before
    // the line is touched or a byte is read.
    DeviceUsers::Use session = DeviceUsers::askKernel(probe);
    if (session == DeviceUsers::Use::Unknown)
        session = users.look(st, {.terminalOnly = true, .fresh = true}).use;
    if (session == DeviceUsers::Use::Terminal) {
        users.forget();
        return sessionTerminal();
    }
    if (session != DeviceUsers::Use::None)
        return refuse(status(PortState::TerminalUnknown));
    users.noSessionHas(quint64(st.st_rdev));
    meant = LineMode::raw(found);
    if (::tcsetattr(probe, TCSANOW, &meant) != 0)
        return refuse(failed(errno));
    touched = true;
    if (::tcgetattr(probe, &ours) != 0 || ::fstat(probe, &node) != 0)
        return refuse(failed(errno));
    return {};
}

Refusal PortHold::State::take(int handle)
{
    if (probe < 0 || handle < 0)
        return status(PortState::NoDevice);
    fd = handle;
    last = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (last < 0)
        return failed(errno);
    // Someone came between the look and the open.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return status(PortState::InUse);
    // Ours is the line we mean, never what the open left: someone may have
    // set theirs in between.
    if (::tcgetattr(fd, &ours) != 0)
        return failed(errno);
    if (const Refusal line = guardLine())
        return line;
    // The line starts empty: what a device sent while nobody held it is no
    // reply to us. Qt 6.8's open flushes too; Qt 6.4's does not.
    if (::tcflush(fd, TCIFLUSH) != 0)
        return failed(errno);
    if (const Refusal written = locks.write(device))
        return written;
    ::close(probe);
    probe = -1;
    letGoFor.clear();
    hungUp.clear();
    users.forget(); // the look before the open is spent
    unknown = outOfFiles = false;
    lastLook.start();
    lastKnown.start();
    return {};
}

void PortHold::State::letGo(const std::function<void()> &closePort)
{
    // Given back only while it is exactly as we left it: anyone who has set
    // it since, control characters included, keeps theirs. The serial port's
    // close sets back what it found at its open, so theirs is written again
    // after it; a line only looked at is never written.
    const int line = last >= 0 ? last : probe;
    termios now{};
    const bool read = touched && line >= 0 && ::tcgetattr(line, &now) == 0;
    const bool ourLine = read && LineMode::same(now, ours);
    if (closePort)
        closePort();
    if (ourLine || (read && closePort))
        ::tcsetattr(line, TCSANOW, ourLine ? &found : &now);
    for (int *own : {&last, &probe}) {
        if (*own >= 0)
            ::close(*own); // the device's last close, and with it the flock
        *own = -1;
    }
    fd = -1;
    touched = false;
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

Refusal PortHold::prepare(const QString &device)
{
    return d->prepare(device);
}

Refusal PortHold::take(qintptr handle)
{
    return d->take(int(handle));
}

Refusal PortHold::check()
{
    return d->check();
}

Refusal PortHold::guardLine()
{
    return d->guardLine();
}

void PortHold::letGo(const std::function<void()> &closePort)
{
    d->letGo(closePort);
}

PortStatus PortHold::held() const
{
    PortStatus held = d->status(PortState::Open);
    held.outOfFiles = d->outOfFiles;
    return held;
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
