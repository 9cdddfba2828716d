#include "seriallink.h"

#include "portselection.h"

#include <QDir>
#include <QFileInfo>
#include <limits>

namespace {
// Bounds the wait for the OS to accept a command byte; a pty or UART takes it
// at once unless its output buffer is full.
constexpr int kWriteTimeoutMs = 100;
}

SerialLink::SerialLink(const QString &portFolder, QObject *parent)
    : DeviceLink(parent)
    , m_portFolder(portFolder)
{
    // Unlimited: the 100 ms poll is the consumer, and a capped Qt buffer only
    // pushes the overflow into the kernel, which drops it.
    m_serial.setReadBufferSize(0);
    connect(&m_serial, &QSerialPort::readyRead, this, [this] { m_event = CommEvents::kReceive; });
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialLink::onErrorOccurred);
}

SerialLink::~SerialLink()
{
    close();
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
    if (path.isEmpty())
        return;
    m_serial.setPortName(path);
    m_serial.setBaudRate(LineSettings::kBaudRate);
    m_serial.setDataBits(QSerialPort::Data8);
    m_serial.setStopBits(QSerialPort::OneStop);
    m_serial.setParity(LineSettings::kEvenParity ? QSerialPort::EvenParity : QSerialPort::NoParity);
    m_serial.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_serial.open(QIODevice::ReadWrite))
        return;
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
    m_serial.close();
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
    m_serial.close();
}
