#pragma once

#include <QtGlobal>

// Fixed line settings of the BA's RS-232 port.
namespace LineSettings {
inline constexpr qint32 kBaudRate = 9600;
inline constexpr int kDataBits = 8;
inline constexpr int kStopBits = 1;
// The BA accepts none or even; we send without parity.
inline constexpr bool kEvenParity = false;
inline constexpr bool kDtrWhileOpen = true;
inline constexpr bool kRtsWhileOpen = false;
inline constexpr bool kHardwareFlowControl = false;
inline constexpr qint16 kDefaultPort = 1;
inline constexpr qint16 kMinPort = 1;
inline constexpr qint16 kMaxPort = 255;
} // namespace LineSettings

// Values of DeviceLink::CommEvent(). Every arrival of data raises kReceive.
namespace CommEvents {
inline constexpr qint16 kNone = 0;
inline constexpr qint16 kReceive = 2;
// Read error or the device went away under an open port.
inline constexpr qint16 kFault = 1000;
} // namespace CommEvents
