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
// look at who else has it; nothing is held that is refused. The look runs off
// the caller's thread: prepare() answers Looking until it is done, and
// `answered` says when to try again. On Windows: one copy of the tool per COM
// port.
//
// The serial port does the open and the close itself:
//   prepare(device) -> the port opens -> take(handle) -> check() at each tick
//   -> letGo(close the port).
class PortHold final
{
public:
    // The first folder is where this process writes its lock files.
    // `answered` runs on another thread when a look at the device's users is
    // done: a good moment to call prepare() or check() again.
    explicit PortHold(QStringList lockFolders = systemLockFolders(), std::function<void()> answered = {});
    ~PortHold();
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    // Each step answers nothing when it went well, or why the device is
    // refused, or must be let go.
    // Before the serial port opens `device`: may it, with the line already
    // raw, so the first byte is neither echoed nor changed. Lets go of
    // whatever was held before.
    Refusal prepare(const QString &device);
    // Right after the serial port opened the prepared device as `handle`.
    Refusal take(qintptr handle);
    // While held, at each tick: the same device node, in good health, its
    // line, exclusive mode and modem lines still as we set them, and now and
    // then no session's terminal.
    Refusal check();
    // While held, between ticks: the line set back to ours if someone changed
    // it, so that at most one poll's bytes are echoed.
    Refusal guardLine();
    // Why a held device failed, as far as it can be told: hung up, gone or
    // replaced. Nothing when it looks well.
    Refusal lost();
    // The device held, as the technician is told of it.
    PortStatus held() const;
    // Lets go of what is held or prepared; `closePort` closes the serial
    // port. The line goes back as it was found, unless someone has set it
    // since, and the locks go.
    void letGo(const std::function<void()> &closePort = {});

    bool holds(const QString &device) const;
    QString device() const;

    static QStringList systemLockFolders();

    // How often check() looks for a session that took the device and for its
    // lock files still standing, at the first tick once this has passed.
    static constexpr int kLookEveryMs = 1000;
    // A held device whose terminal state can't be told is let go at the first
    // look once this has passed.
    static constexpr int kUnknownLetGoMs = 1500;
    // A look at who else has the device that runs longer answers "can't tell".
    static constexpr int kLookDeadlineMs = 3000;
    // More set-backs of the line than this in a second, and the technician is told.
    static constexpr int kSetBacksPerSecond = 3;

private:
    struct State; // per system
    std::unique_ptr<State> d;
};
