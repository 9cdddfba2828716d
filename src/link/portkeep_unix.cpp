#include "porthold_unix.h"

#include "linemode.h"
#include "linesettings.h"
#include "portselection.h"

#include <QFile>

#include <algorithm>
#include <poll.h>
#include <sys/ioctl.h>

namespace {
// Looks are due at the first re-open tick once kLookEveryMs has passed, not
// the second: half a tick early counts.
constexpr qint64 kLookDueMs = PortHold::kLookEveryMs - kReopenEveryMs / 2;

bool sameNode(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// DTR on and RTS off, as the BA's line has them while open; set back when
// another program changed them. A pseudo-terminal has no modem lines. The
// system's error number when they can't be kept, else 0.
int keepModemLines(int fd)
{
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0)
        return errno == ENOTTY || errno == EINVAL ? 0 : errno;
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (bool(lines & TIOCM_DTR) != LineSettings::kDtrWhileOpen
        && ::ioctl(fd, LineSettings::kDtrWhileOpen ? TIOCMBIS : TIOCMBIC, &dtr) != 0)
        return errno;
    if (bool(lines & TIOCM_RTS) != LineSettings::kRtsWhileOpen
        && ::ioctl(fd, LineSettings::kRtsWhileOpen ? TIOCMBIS : TIOCMBIC, &rts) != 0)
        return errno;
    return 0;
}
} // namespace

Refusal PortHold::State::guardLine()
{
    if (fd < 0)
        return status(PortState::NoDevice);
    termios line{};
    if (::tcgetattr(fd, &line) != 0) {
        // A hang-up fails every call on the line: named as what it is.
        const int error = errno;
        const Refusal gone = lost();
        return gone ? *gone : failed(error);
    }
    if (LineMode::keeps(line, meant))
        return {};
    // Another program changed it; the BA still needs it this way.
    std::rotate(setBacks.begin(), setBacks.begin() + 1, setBacks.end());
    setBacks.back() = clock.isValid() ? clock.elapsed() : 0;
    return setLine(fd);
}

Refusal PortHold::State::lost()
{
    if (fd < 0)
        return status(PortState::NoDevice);
    // Unplugged, or replaced under the same name.
    struct stat now = {};
    if (::stat(QFile::encodeName(device).constData(), &now) != 0 || !sameNode(now, node))
        return status(PortState::NoDevice);
    pollfd health{fd, POLLIN, 0};
    if (::poll(&health, 1, 0) > 0 && (health.revents & POLLHUP)) {
        hungUp = device;
        return status(PortState::HungUp);
    }
    if (health.revents & (POLLERR | POLLNVAL))
        return status(PortState::NoDevice);
    return {};
}

Refusal PortHold::State::check()
{
    if (!held)
        return status(PortState::NoDevice);
    // The next tick opens afresh.
    if (const Refusal gone = lost())
        return gone;
    if (const Refusal line = guardLine())
        return line;
    // Cleared by another program (as a serial port's close does): others
    // could open it and read the BA's bytes.
    if (::ioctl(fd, TIOCEXCL) != 0)
        return failed(errno);
    if (const int error = keepModemLines(fd))
        return failed(error);
    if (const std::optional<DeviceUsers::Answer> other = users.answer(node)) {
        switch (other->use) {
        case DeviceUsers::Use::Terminal: letGoFor = device; return status(PortState::LetGo);
        case DeviceUsers::Use::Open:
        case DeviceUsers::Use::Flock:
            // It came in between the look before the open and exclusive mode.
            lastFound = *other;
            return PortStatus{device, PortState::InUse, other->pid, {}};
        default:
            if (terminalLook && other->use == DeviceUsers::Use::None) {
                unknown = false;
                lastKnown.start();
            }
        }
    }
    if (unknown || lastLook.elapsed() >= kLookDueMs)
        return look();
    return {};
}

Refusal PortHold::State::look()
{
    lastLook.start();
    const DeviceUsers::Use session = DeviceUsers::askKernel(fd);
    if (session == DeviceUsers::Use::Terminal) {
        letGoFor = device;
        return status(PortState::LetGo);
    }
    unknown = session == DeviceUsers::Use::Unknown;
    if (!unknown) {
        lastKnown.start();
    } else {
        // No child to be had: the walk answers instead, by a later tick.
        if (!users.looking(node)) {
            users.look(node, {.terminalOnly = true, .hint = {}, .atOnce = true, .path = QFile::encodeName(device)});
            terminalLook = true;
        }
        if (lastKnown.elapsed() >= kUnknownLetGoMs)
            return status(PortState::TerminalUnknown);
    }
    outOfFiles = !locks.keep();
    return {};
}
