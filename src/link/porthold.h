#pragma once

#include "portstatus.h"

#include <QStringList>
#include <functional>
#include <memory>

// Keeps a serial device ours from the moment the serial port opens it until
// the link lets it go, in one open: nobody else may take it meanwhile, the
// line stays raw and ours, and it is given back as it was found.
//
// On Linux: lock files under every name others use for it, an flock, and a
// look at who has it as a controlling terminal; nothing is held that is
// refused. On Windows: one copy of the tool per COM port.
//
// The serial port does the open and the close itself:
//   prepare(device) -> the port opens -> take(handle) -> check() at each tick
//   -> letGo(close the port).
class PortHold final
{
public:
    // The first folder is where this process writes its lock files.
    explicit PortHold(QStringList lockFolders = systemLockFolders());
    ~PortHold();
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    // Before the serial port opens `device`: Open when it may, with the line
    // already raw, so the first byte is neither echoed nor changed. Lets go
    // of whatever was held before.
    PortStatus prepare(const QString &device);
    // Right after the serial port opened the prepared device as `handle`.
    // Anything but Open: let it go.
    PortStatus take(qintptr handle);
    // While held, at each tick: the same device node, in good health, its
    // line still as we set it, and now and then no session's terminal.
    // Anything but Open: let it go.
    PortStatus check();
    // Lets go of what is held or prepared; `closePort` closes the serial
    // port. The line goes back as it was found, unless someone has set it
    // since, and the locks go.
    void letGo(const std::function<void()> &closePort = {});

    bool holds(const QString &device) const;
    QString device() const;

    static QStringList systemLockFolders();

private:
    struct State; // per system
    std::unique_ptr<State> d;
};
