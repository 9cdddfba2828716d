#pragma once

#include <QString>

// Why the port box's number has, or has not, an open port behind it.
enum class PortState {
    Unknown,        // not tried yet
    Open,
    NoDevice,
    InUse,          // a lock file, an flock or the driver says another program has it
    NoPermission,
    NotSerial,      // not a terminal device, or some session's controlling terminal
};

struct PortStatus
{
    QString device;         // what the number maps to
    PortState state = PortState::Unknown;
    qint64 pid = 0;         // the holder, when a lock file names a live one
};

// One line for the port box's tooltip: the device and its state.
QString PortStatusText(const PortStatus &status);
