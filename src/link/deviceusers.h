#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

struct stat;

// What a look at a device's users asks for.
struct LookFor
{
    bool terminalOnly = false; // only a session that has it as its terminal
    bool fresh = false;        // a new look, never the answer that stands
};

// Who else has a device: a session that has it as its controlling terminal (a
// shell's pseudo-terminal, a serial login console), another process with it
// open, or an flock on its node. One look at /proc answers all three, without
// opening the device.
class DeviceUsers final
{
public:
    enum class Use {
        None,
        Terminal, // some session's controlling terminal
        Open,     // another process has it open
        Flock,    // another process holds an flock on it
        Unknown,  // /proc could not be read, or no child started
    };
    struct Answer
    {
        Use use = Use::None;
        qint64 pid = 0; // who, when known
    };

    // Asks the kernel on a descriptor of the device: a child in a session of
    // its own tries to make it its controlling terminal, which the kernel
    // refuses when another session has it. It sees every session, also those
    // that /proc hides. Terminal, None or Unknown.
    static Use askKernel(int fd);

    // Looks for anyone else using `node` (a device's stat), this process
    // aside, or only for a session that has it as its terminal. A user found
    // is checked alone next time; "nobody" stands a while unless a fresh look
    // is asked for.
    Answer look(const struct stat &node, LookFor what = {});
    // The next look starts afresh.
    void forget() { m_device = 0; }
    // The kernel has just said no session has `rdev` as its terminal.
    void noSessionHas(quint64 rdev);

private:
    quint64 m_device = 0; // the rdev the cache is about
    bool m_terminalOnly = false;
    Answer m_found;
    QElapsedTimer m_lastLook;
};
