#include "porthold_unix.h"

#include "linemode.h"
#include "linesettings.h"
#include "portselection.h"

#include <QFile>

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
// another program changed them. A pseudo-terminal has no modem lines.
void keepModemLines(int fd)
{
    int lines = 0;
    if (::ioctl(fd, TIOCMGET, &lines) != 0)
        return;
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    if (bool(lines & TIOCM_DTR) != LineSettings::kDtrWhileOpen)
        ::ioctl(fd, LineSettings::kDtrWhileOpen ? TIOCMBIS : TIOCMBIC, &dtr);
    if (bool(lines & TIOCM_RTS) != LineSettings::kRtsWhileOpen)
        ::ioctl(fd, LineSettings::kRtsWhileOpen ? TIOCMBIS : TIOCMBIC, &rts);
}
} // namespace

Refusal PortHold::State::guardLine()
{
    if (fd < 0)
        return status(PortState::NoDevice);
    termios line{};
    if (::tcgetattr(fd, &line) != 0)
        return failed(errno);
    // Another program changed it; the BA still needs it this way.
    if (!LineMode::keeps(line, meant) && (::tcsetattr(fd, TCSANOW, &meant) != 0 || ::tcgetattr(fd, &ours) != 0))
        return failed(errno);
    return {};
}

Refusal PortHold::State::check()
{
    if (fd < 0 || probe >= 0)
        return status(PortState::NoDevice);
    // Unplugged, replaced under the same name, or hung up: the next tick opens afresh.
    struct stat now = {};
    if (::stat(QFile::encodeName(device).constData(), &now) != 0 || !sameNode(now, node))
        return status(PortState::NoDevice);
    pollfd health{fd, POLLIN, 0};
    if (::poll(&health, 1, 0) > 0 && (health.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        if (health.revents & POLLHUP)
            hungUp = device;
        return status(PortState::NoDevice);
    }
    if (const Refusal line = guardLine())
        return line;
    // Cleared by another program (as a serial port's close does): others
    // could open it and read the BA's bytes.
    ::ioctl(fd, TIOCEXCL);
    keepModemLines(fd);
    if (unknown || lastLook.elapsed() >= kLookDueMs)
        return look();
    return {};
}

Refusal PortHold::State::look()
{
    lastLook.start();
    DeviceUsers::Use session = DeviceUsers::askKernel(fd);
    if (session == DeviceUsers::Use::Unknown)
        session = users.look(node, {.terminalOnly = true, .fresh = true}).use;
    if (session == DeviceUsers::Use::Terminal) {
        users.forget(); // the next look at /proc finds who took it
        letGoFor = device;
        return status(PortState::LetGo);
    }
    unknown = session == DeviceUsers::Use::Unknown;
    if (!unknown)
        lastKnown.start();
    else if (lastKnown.elapsed() >= kUnknownLetGoMs)
        return status(PortState::TerminalUnknown);
    outOfFiles = !locks.keep();
    return {};
}
