#pragma once

#include <QByteArray>
#include <QtGlobal>

// Report positions: 0 is the start marker, 1..21 carry data, the rest are inert.
namespace ReportPosition {
inline constexpr qint16 kMarker = 0;
inline constexpr qint16 kLast = 21;
// Where the parser waits for the next start marker: after leaving test mode,
// and at start-up, so line noise before the first marker is never shown as a
// report.
inline constexpr qint16 kParked = 23;
} // namespace ReportPosition

struct DeviceState
{
    QByteArray RxBytes;                          // bytes of the poll under way
    qint16 FieldIndex = ReportPosition::kParked; // position of the byte being handled
    bool TestMode = false;
};
