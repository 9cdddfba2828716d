#pragma once

#include <QList>

#include <functional>
#include <mutex>
#include <sys/stat.h>

// What /proc says of who else uses a device. Slow on a busy machine, so it
// runs on DeviceUsers' worker, never on the window's thread. It reads links
// and text only: a descriptor is stat'ed only when its target is under /dev,
// so a dead network or FUSE mount elsewhere costs it nothing.
namespace ProcWalk {

enum class Use {
    None,
    Terminal, // some session's controlling terminal
    Open,     // another process has it open
    Flock,    // a lock on its node: flock, POSIX or open file description
    Unknown,  // /proc could not be read, or the look was given up
};

struct Answer
{
    Use use = Use::None;
    qint64 pid = 0; // who, when known and alive
};

struct Look
{
    struct stat node = {}; // the device, as stat'ed or opened
    bool terminalOnly = false;
    Answer hint; // who had it last time: checked alone first
    // Told each descriptor's link target before it is stat'ed; for tests.
    std::function<void(const char *target)> statting;
};

// Unix98 pseudo-terminals' device side.
bool isPty(dev_t rdev);

// Whether two stats are the same device. A pseudo-terminal's number is only
// unique within its devpts instance (a container has its own), so it is
// the node that counts there.
bool sameDevice(const struct stat &a, const struct stat &b);

// Who holds a lock on the node (flock, POSIX or open file description), from
// /proc/locks; 0 for one that shows no PID.
QList<qint64> lockersOf(const struct stat &node);

// Held while a process's /proc folder is opened, and by the kernel check
// while its child, which has our descriptors, lives: that child is never
// taken for another program.
std::mutex &childGuard();

// Looks for anyone but this process. `cancelled` is asked now and then; a
// cancelled look answers Unknown.
Answer look(const Look &what, const std::function<bool()> &cancelled);

} // namespace ProcWalk
