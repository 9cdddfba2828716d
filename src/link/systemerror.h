#pragma once

#include "portstatus.h"

#include <cerrno>

// What an errno from opening or checking a device means to the technician.
namespace SystemError {

inline bool isOutOfFiles(int error)
{
    return error == EMFILE || error == ENFILE;
}

inline PortState stateFor(int error)
{
    switch (error) {
    case EMFILE:
    case ENFILE: return PortState::TooManyFiles;
    case EACCES:
    case EPERM: return PortState::NoPermission;
    case EBUSY: return PortState::InUse; // another program's exclusive open
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: return PortState::NoDevice; // a ttyS node with no UART behind it answers EIO
    case ENOTTY: return PortState::NotSerial;
    default: return PortState::Failed;
    }
}

} // namespace SystemError
