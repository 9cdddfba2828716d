#include "serialquirks.h"

#include "portselection.h"
#include "systemerror.h"

#include <QDir>
#include <QFileInfo>

namespace {
// Bounds the wait for the system to take a command byte; a pty or UART takes
// it at once unless its output buffer is full.
constexpr int kWriteTimeoutMs = 100;
} // namespace

QString SerialQuirks::devicePath(qint16 port, const QString &portFolder)
{
    const QFileInfo link(QDir(portFolder).filePath(PortLinkName(port)));
    if (link.isSymLink() || link.exists())
        return link.canonicalFilePath(); // empty for a dangling link: the device is gone
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
}

int SerialQuirks::lastError()
{
    return errno;
}

PortStatus SerialQuirks::failedOpen(const QString &device, QSerialPort::SerialPortError error, int systemError)
{
    PortStatus status{device, SystemError::stateFor(systemError), 0, {}};
    status.error = systemError;
    if (status.state != PortState::Failed)
        return status;
    switch (error) {
    case QSerialPort::PermissionError: status.state = PortState::InUse; break; // its lock file
    case QSerialPort::DeviceNotFoundError: status.state = PortState::NoDevice; break;
    case QSerialPort::UnsupportedOperationError: status.state = PortState::NotSerial; break;
    default: break;
    }
    return status;
}

int SerialQuirks::readKickMs()
{
    return 0;
}

bool SerialQuirks::writeDelivered(QSerialPort &serial, bool flushed)
{
    if (!flushed && serial.bytesToWrite() > 0)
        serial.waitForBytesWritten(kWriteTimeoutMs);
    return serial.isOpen() && serial.bytesToWrite() == 0;
}

void SerialQuirks::settleBeforeClose(QSerialPort & /*serial*/)
{
}

void SerialQuirks::afterClose(QSerialPort & /*serial*/)
{
}

bool SerialQuirks::stillAnswers(QSerialPort & /*serial*/)
{
    return false;
}
