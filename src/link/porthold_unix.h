#pragma once

#include "porthold.h"

#include "deviceusers.h"
#include "lockfiles.h"
#include "systemerror.h"

#include <QElapsedTimer>

#include <array>
#include <sys/stat.h>
#include <termios.h>

// What a hold keeps on Linux: taking and letting go in porthold_unix.cpp,
// keeping it ours while held in portkeep_unix.cpp.
struct PortHold::State
{
    State(QStringList folders, std::function<void()> answered)
        : locks(std::move(folders))
        , users(std::move(answered))
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
    Refusal whoElse(const struct stat &st);
    Refusal take(int handle);
    Refusal setLine(int on);
    Refusal guardLine();
    Refusal lost();
    Refusal check();
    Refusal look();
    void letGo(const std::function<void()> &closePort);

    LockFiles locks;
    DeviceUsers users;
    DeviceUsers::Answer lastFound; // who had it at the last look, checked first next time
    bool terminalLook = false;     // the look under way while held asks about sessions only
    QString device;
    // Ours from prepare() until the let-go, with the flock on it: the line is
    // checked and made raw through it before the serial port opens the device,
    // and given back through it after the port's close, which sets back what
    // it found at its open.
    int probe = -1;
    int fd = -1; // the serial port's, while held
    bool held = false;
    struct stat node = {};
    termios found{};      // the line as it was found
    termios meant{};      // the BA's line, made from it
    termios ours{};       // as we left it, in the driver's terms
    bool touched = false; // we have set the line since it was found
    QElapsedTimer clock;
    std::array<qint64, kSetBacksPerSecond + 1> setBacks{}; // when the line was last set back, oldest first
    QElapsedTimer lastLook;
    QElapsedTimer lastKnown; // when it was last known to be no session's terminal
    bool unknown = false;
    bool outOfFiles = false;
    QString letGoFor; // the device given up because a session took it
    QString hungUp;   // the device that hung up while held
};
