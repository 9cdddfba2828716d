#pragma once

#include "porthold.h"

#include "deviceusers.h"
#include "lockfiles.h"
#include "systemerror.h"

#include <QElapsedTimer>

#include <sys/stat.h>
#include <termios.h>

// What a hold keeps on Linux: taking and letting go in porthold_unix.cpp,
// keeping it ours while held in portkeep_unix.cpp.
struct PortHold::State
{
    explicit State(QStringList folders)
        : locks(std::move(folders))
    {
    }

    PortStatus status(PortState state) const { return {device, state, 0, {}}; }
    PortStatus failed(int error) const
    {
        PortStatus why = status(SystemError::stateFor(error));
        why.error = error;
        return why;
    }
    PortStatus refuse(PortStatus why);
    Refusal prepare(const QString &wanted);
    Refusal take(int handle);
    Refusal guardLine();
    Refusal check();
    Refusal look();
    void letGo(const std::function<void()> &closePort);

    LockFiles locks;
    DeviceUsers users;
    QString device;
    // Open from prepare() until the serial port has opened the device: the
    // line is checked and made raw on it first.
    int probe = -1;
    int fd = -1; // the serial port's, while held
    // A duplicate of it: the serial port sets back what it found at its open
    // when it closes, so the line is given back through this one, after.
    int last = -1;
    struct stat node = {};
    termios found{};      // the line as it was found
    termios meant{};      // the BA's line, made from it
    termios ours{};       // as we left it, in the driver's terms
    bool touched = false; // we have set the line since it was found
    QElapsedTimer lastLook;
    QElapsedTimer lastKnown; // when it was last known to be no session's terminal
    bool unknown = false;
    bool outOfFiles = false;
    QString letGoFor; // the device given up because a session took it
    QString hungUp;   // the device that hung up while held
};
