#include "seriallink.h"

#include "portselection.h"

#include <QDir>
#include <QFileInfo>
#include <limits>

namespace {
// Bounds the wait for the OS to accept a command byte; a pty or UART takes it
// at once unless its output buffer is full.
constexpr int kWriteTimeoutMs = 100;

// Never destroyed: closeAll() may run from exit(), after static destructors.
QList<SerialLink *> &liveLinks()
{
    static auto *links = new QList<SerialLink *>;
    return *links;
}

PortState stateAfterFailedOpen(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::PermissionError: return PortState::InUse; // its lock, or the driver's exclusive flag
    case QSerialPort::DeviceNotFoundError: return PortState::NoDevice;
    case QSerialPort::UnsupportedOperationError: return PortState::NotSerial;
    default: return PortState::NoDevice;
    }
}
} // namespace

SerialLink::SerialLink(const QString &portFolder, const QStringList &lockFolders, QObject *parent)
    : DeviceLink(parent)
    , m_hold(lockFolders)
    , m_portFolder(portFolder)
{
    liveLinks() << this;
    // Unlimited: the 100 ms poll is the consumer, and a capped Qt buffer only
    // pushes the overflow into the kernel, which drops it.
    m_serial.setReadBufferSize(0);
    connect(&m_serial, &QSerialPort::readyRead, this, [this] { m_event = CommEvents::kReceive; });
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialLink::onErrorOccurred);
}

SerialLink::~SerialLink()
{
    liveLinks().removeOne(this);
    close();
    m_hold.release();
}

void SerialLink::closeAll()
{
    for (SerialLink *link : std::as_const(liveLinks())) {
        link->close();
        link->m_hold.release();
    }
}

bool SerialLink::setCommPort(qint16 port)
{
    if (port < LineSettings::kMinPort || port > LineSettings::kMaxPort)
        return false;
    m_port = port;
    return true;
}

bool SerialLink::setPortOpen(bool open)
{
    if (!open) {
        close();
        return true;
    }
    if (m_serial.isOpen())
        return true;
    this->open();
    return m_serial.isOpen();
}

QString SerialLink::devicePath(qint16 port) const
{
#ifdef Q_OS_WIN
    Q_UNUSED(m_portFolder);
    return QStringLiteral("COM%1").arg(port);
#else
    const QFileInfo link(QDir(m_portFolder).filePath(PortLinkName(port)));
    if (link.isSymLink() || link.exists())
        return link.canonicalFilePath(); // empty for a dangling link: the device is gone
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

void SerialLink::open()
{
    const QString path = devicePath(m_port);
    m_status = m_hold.acquire(path);
    if (path.isEmpty())
        m_status.device = QDir(m_portFolder).filePath(PortLinkName(m_port));
    if (m_status.state != PortState::Open)
        return;
    // What another device sent never completes this one's report.
    if (path != m_heldFrom)
        m_held.clear();

    m_hold.beforeOpen();
    m_openDevice = path;
    m_serial.setPortName(path);
    m_serial.setBaudRate(LineSettings::kBaudRate);
    m_serial.setDataBits(QSerialPort::DataBits(LineSettings::kDataBits));
    m_serial.setStopBits(QSerialPort::StopBits(LineSettings::kStopBits));
    m_serial.setParity(LineSettings::kEvenParity ? QSerialPort::EvenParity : QSerialPort::NoParity);
    m_serial.setFlowControl(LineSettings::kHardwareFlowControl ? QSerialPort::HardwareControl
                                                               : QSerialPort::NoFlowControl);
    if (!m_serial.open(QIODevice::ReadWrite)) {
        m_status.state = stateAfterFailedOpen(m_serial.error());
        // Nothing is held that can't be used.
        m_hold.release();
        return;
    }
    // Pseudo-terminals have no modem lines; those calls fail there and that is fine.
    m_serial.setDataTerminalReady(LineSettings::kDtrWhileOpen);
    m_serial.setRequestToSend(LineSettings::kRtsWhileOpen);
    // Bytes kept from before the close count as received.
    m_event = m_held.isEmpty() && m_serial.bytesAvailable() == 0 ? CommEvents::kNone
                                                                 : CommEvents::kReceive;
}

void SerialLink::close()
{
    if (!m_serial.isOpen())
        return;
    if (m_serial.bytesToWrite() > 0)
        m_serial.waitForBytesWritten(kWriteTimeoutMs);
    // Pull in what the OS has received so the close cannot discard it.
    m_serial.waitForReadyRead(0);
    m_held += m_serial.readAll();
    m_heldFrom = m_openDevice;
    m_serial.close();
    m_hold.afterClose();
}

bool SerialLink::Output(const QByteArray &bytes)
{
    if (!m_serial.isOpen())
        return false;
    if (m_serial.write(bytes) != bytes.size())
        return false;
    // Hand the byte to the OS now: a close discards Qt's write buffer.
    if (!m_serial.flush() && m_serial.bytesToWrite() > 0)
        m_serial.waitForBytesWritten(kWriteTimeoutMs);
    return m_serial.isOpen() && m_serial.bytesToWrite() == 0;
}

QByteArray SerialLink::Input()
{
    if (!m_serial.isOpen())
        return {};
    QByteArray bytes = std::exchange(m_held, {});
    bytes += m_serial.readAll();
    return bytes;
}

qint16 SerialLink::InBufferCount() const
{
    if (!m_serial.isOpen())
        return 0;
    const qint64 waiting = m_held.size() + m_serial.bytesAvailable();
    return static_cast<qint16>(std::min<qint64>(waiting, std::numeric_limits<qint16>::max()));
}

qint16 SerialLink::CommEvent() const
{
    return m_serial.isOpen() ? m_event : CommEvents::kNone;
}

void SerialLink::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // A vanished device keeps signalling readable; close it so the event loop
    // does not spin on a dead descriptor. The re-open cycle retries.
    if (!m_serial.isOpen())
        return;
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    m_event = CommEvents::kFault;
    m_held += m_serial.readAll();
    m_heldFrom = m_openDevice;
    m_serial.close();
    // The device is gone; whatever comes back under the number is checked anew.
    m_hold.release();
    m_status.state = PortState::NoDevice;
}
