#include "portstatus.h"

QString PortStatusText(const PortStatus &status)
{
    QString state;
    switch (status.state) {
    case PortState::Unknown: return QStringLiteral("Not opened yet");
    case PortState::Open: state = QStringLiteral("open"); break;
    case PortState::NoDevice: state = QStringLiteral("no such device"); break;
    case PortState::InUse:
        state = status.pid > 0 ? QStringLiteral("in use by process %1").arg(status.pid)
                               : QStringLiteral("in use by another program");
        break;
    case PortState::NoPermission:
        state = QStringLiteral("no permission (is the user in the dialout group?)");
        break;
    case PortState::NotSerial: state = QStringLiteral("not a serial port"); break;
    }
    return QStringLiteral("%1: %2").arg(status.device.isEmpty() ? QStringLiteral("no device") : status.device, state);
}
