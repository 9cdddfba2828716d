#pragma once

#include <QString>
#include <optional>

// Why the port box's number has, or has not, an open port behind it.
enum class PortState {
    Unknown, // not tried yet
    Open,
    Looking,      // a look at who else has it is under way
    UsersUnknown, // who else has it could not be told in time, or at all
    NoDevice,
    InUse,          // a live process's lock file, an flock or the driver says another program has it
    LockUnreadable, // something other than a plain PID file stands under the lock file's name
    StaleLock,      // a dead process's lock file that this user may not remove
    NoPermission,
    NotSerial,       // not a terminal device
    SessionTerminal, // some session's controlling terminal: a shell, a login console
    LetGo,           // was held until it became some session's controlling terminal
    TerminalUnknown, // was held, but whether a session has it as its terminal could not be told
    HungUp,          // hung up while held, or since, the kernel keeping it exclusive to that dead open
    LineLocked,      // another program locked the line's settings, and not as the BA needs them
    TooManyFiles,    // this process has no file descriptor to spare
    InUseByCopy,     // another copy of this tool has it (Windows)
    Failed,          // the system refused it for another reason; `error` says which
};

struct PortStatus
{
    QString device; // what the number maps to
    PortState state = PortState::Unknown;
    qint64 pid = 0;             // the holder, when a lock file names a live one
    QString lockFile;           // the lock file behind InUse, LockUnreadable and StaleLock
    bool outOfFiles = false;    // held all the same, but a check found no file descriptor to spare
    bool lineContested = false; // held, but another program keeps changing the line
    int error = 0;              // the system's error number behind Failed
};

// What ends a step of taking or keeping a device: nothing when the step went
// well, otherwise why the device is refused or let go.
using Refusal = std::optional<PortStatus>;
