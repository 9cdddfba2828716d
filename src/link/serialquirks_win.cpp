#include "serialquirks.h"

#include <windows.h>

namespace {
// Where the port never reports new data (Wine on a pty: WaitCommEvent fails),
// a read started this often gets it: well within one poll.
constexpr int kReadKickMs = 40;
// At a close, how long the last read may take to finish (Wine fills a read
// for a few milliseconds), and how many may be waited for.
constexpr int kCloseDrainMs = 10;
constexpr int kCloseDrainReads = 2;
} // namespace

QString SerialQuirks::devicePath(qint16 port, const QString & /*portFolder*/)
{
    return QStringLiteral("COM%1").arg(port);
}

int SerialQuirks::lastError()
{
    return int(::GetLastError());
}

PortStatus SerialQuirks::failedOpen(const QString &device, QSerialPort::SerialPortError error, int systemError)
{
    PortStatus status{device, PortState::Failed, 0, {}};
    status.error = systemError;
    switch (systemError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
    case ERROR_INVALID_FUNCTION: // Wine, for a COM name with no device behind it
        status.state = PortState::NoDevice;
        return status;
    case ERROR_ACCESS_DENIED: // Windows' one program a port
    case ERROR_SHARING_VIOLATION: status.state = PortState::InUse; return status;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES: status.state = PortState::TooManyFiles; return status;
    default: break;
    }
    switch (error) {
    case QSerialPort::PermissionError: status.state = PortState::InUse; break;
    case QSerialPort::DeviceNotFoundError: status.state = PortState::NoDevice; break;
    case QSerialPort::UnsupportedOperationError: status.state = PortState::NotSerial; break;
    default: break;
    }
    return status;
}

int SerialQuirks::readKickMs()
{
    return kReadKickMs;
}

bool SerialQuirks::writeDelivered(QSerialPort &serial, bool flushed)
{
    // Windows writes asynchronously: flush() has queued the write with the
    // port, which completes later. Queued is sent.
    return serial.isOpen() && (flushed || serial.bytesToWrite() == 0);
}

void SerialQuirks::settleBeforeClose(QSerialPort &serial)
{
    // Windows fills Qt's reads behind its back: one still in flight when the
    // port closes is cancelled, and whatever it had taken from the driver goes
    // with it. Let Qt start no new read, and let the last one finish.
    serial.setReadBufferSize(1);
    for (int i = 0; i < kCloseDrainReads && serial.waitForReadyRead(kCloseDrainMs); ++i) {
    }
}

void SerialQuirks::afterClose(QSerialPort &serial)
{
    serial.setReadBufferSize(0);
}

bool SerialQuirks::stillAnswers(QSerialPort &serial)
{
    // Wine's WaitCommEvent fails at once on a pty ("operation aborted"),
    // which Qt reports as a lost device. A port that still answers is not lost.
    COMSTAT queues{};
    DWORD lineErrors = 0;
    return ::ClearCommError(serial.handle(), &lineErrors, &queues);
}
