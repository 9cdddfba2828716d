#include "porthold_unix.h"

#include "linemode.h"
#include "portselection.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
// A look that found nobody answers for the one try that follows it, even on
// a busy machine, never for a later one: another program may have come since.
constexpr qint64 kNobodyStandsMs = 2 * kReopenEveryMs;
} // namespace

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
    if (const Refusal other = whoElse(st))
        return refuse(*other);

    probe = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0) {
        // Exclusive to our own open that hung up: a pty's far end keeps it so.
        if (errno == EBUSY && hungUp == wanted)
            return refuse(status(PortState::HungUp));
        return refuse(failed(errno));
    }
    // Someone took it between the look and the open. Kept until the let-go,
    // so that nobody who asks for it takes it from here on.
    if (::flock(probe, LOCK_EX | LOCK_NB) != 0)
        return refuse(status(PortState::InUse));
    if (::tcgetattr(probe, &found) != 0)
        return refuse(errno == ENOTTY || errno == EINVAL ? status(PortState::NotSerial) : failed(errno));
    // /proc may not show every session; the kernel's answer settles it before
    // the line is touched or a byte is read. Without it (no child to be had),
    // the walk before the open has looked at every session /proc shows.
    if (DeviceUsers::askKernel(probe) == DeviceUsers::Use::Terminal)
        return refuse(status(letGoFor == wanted ? PortState::LetGo : PortState::SessionTerminal));
    meant = LineMode::raw(found);
    touched = true;
    if (const Refusal line = setLine(probe))
        return refuse(*line);
    if (::fstat(probe, &node) != 0)
        return refuse(failed(errno));
    return {};
}

// Anyone else on it is found without opening it: every open raises DTR and
// RTS, and the line would be ours to touch. Each try waits for a look of its own.
Refusal PortHold::State::whoElse(const struct stat &st)
{
    const std::optional<DeviceUsers::Answer> other = users.answer(st, kNobodyStandsMs);
    if (!other) {
        if (users.lookingMs() >= kLookDeadlineMs)
            return status(PortState::UsersUnknown);
        if (!users.looking(st))
            users.look(st,
                       {.terminalOnly = false, .hint = lastFound, .atOnce = false, .path = QFile::encodeName(device)});
        return status(PortState::Looking);
    }
    lastFound = other->pid > 0 ? *other : DeviceUsers::Answer{};
    switch (other->use) {
    case DeviceUsers::Use::None: return {};
    case DeviceUsers::Use::Terminal: return status(letGoFor == device ? PortState::LetGo : PortState::SessionTerminal);
    case DeviceUsers::Use::Unknown: return status(PortState::UsersUnknown);
    default: return PortStatus{device, PortState::InUse, other->pid, {}};
    }
}

Refusal PortHold::State::take(int handle)
{
    if (probe < 0 || handle < 0)
        return status(PortState::NoDevice);
    fd = handle;
    // Ours is the line we mean, never what the open left: someone may have
    // set theirs in between.
    if (::tcgetattr(fd, &ours) != 0)
        return failed(errno);
    if (const Refusal line = guardLine())
        return line;
    if (::ioctl(fd, TIOCEXCL) != 0)
        return failed(errno);
    // The line starts empty: what a device sent while nobody held it is no
    // reply to us. Qt 6.8's open flushes too; Qt 6.4's does not.
    if (::tcflush(fd, TCIFLUSH) != 0)
        return failed(errno);
    if (const Refusal written = locks.write(device))
        return written;
    letGoFor.clear();
    hungUp.clear();
    held = true;
    // Exclusive mode and the flock keep later opens out; one more look finds
    // whoever came between the look before the open and now.
    users.look(node, {.terminalOnly = false, .hint = {}, .atOnce = true, .path = QFile::encodeName(device)});
    terminalLook = unknown = outOfFiles = false;
    clock.start();
    setBacks.fill(-PortHold::kLookEveryMs);
    lastLook.start();
    lastKnown.start();
    return {};
}

Refusal PortHold::State::setLine(int on)
{
    if (::tcsetattr(on, TCSANOW, &meant) != 0 || ::tcgetattr(on, &ours) != 0)
        return failed(errno);
    // A termios lock (TIOCSLCKTRMIOS) makes the set succeed and change nothing.
    if (!LineMode::keeps(ours, meant))
        return status(PortState::LineLocked);
    return {};
}

void PortHold::State::letGo(const std::function<void()> &closePort)
{
    // Given back only while it is exactly as we left it: anyone who has set
    // it since, control characters included, keeps theirs. The serial port's
    // close sets back what it found at its open, so theirs is written again
    // after it; a line only looked at is never written.
    termios now{};
    const bool read = touched && probe >= 0 && ::tcgetattr(probe, &now) == 0;
    const bool ourLine = read && LineMode::same(now, ours);
    if (closePort)
        closePort();
    if (ourLine || (read && closePort))
        ::tcsetattr(probe, TCSANOW, ourLine ? &found : &now);
    if (probe >= 0) {
        ::close(probe); // the device's last close, and with it the flock
        users.closedOurs();
    }
    if (held)
        users.forget();
    probe = fd = -1;
    held = touched = false;
    // After the port's close, which removes its own lock first.
    locks.remove();
    device.clear();
}

PortHold::PortHold(QStringList lockFolders, std::function<void()> answered)
    : d(std::make_unique<State>(std::move(lockFolders), std::move(answered)))
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

Refusal PortHold::lost()
{
    return d->lost();
}

void PortHold::letGo(const std::function<void()> &closePort)
{
    d->letGo(closePort);
}

PortStatus PortHold::held() const
{
    PortStatus held = d->status(PortState::Open);
    held.outOfFiles = d->outOfFiles;
    held.lineContested = d->clock.isValid() && d->clock.elapsed() - d->setBacks.front() < 1000;
    return held;
}

bool PortHold::holds(const QString &device) const
{
    return d->held && device == d->device;
}

QString PortHold::device() const
{
    return d->held ? d->device : QString();
}

QStringList PortHold::systemLockFolders()
{
    return LockFiles::systemFolders();
}
