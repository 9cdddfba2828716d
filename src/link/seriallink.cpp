#include "seriallink.h"

#include "portselection.h"

#include <QDir>
#include <QFileInfo>
#include <limits>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {
// Bounds the wait for the OS to accept a command byte; a pty or UART takes it
// at once unless its output buffer is full.
constexpr int kWriteTimeoutMs = 100;
#ifdef Q_OS_WIN
// How often a read is started when the port reports nothing by itself: well
// within one poll, so a byte waits no longer than on Linux.
constexpr int kReadKickMs = 40;
// At a close, how long the last read may take to finish (Wine fills a read
// for a few milliseconds), and how many may be waited for.
constexpr int kCloseDrainMs = 10;
constexpr int kCloseDrainReads = 2;
#endif

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
#ifdef Q_OS_WIN
    // Where the port never reports new data (Wine on a pty: WaitCommEvent
    // fails), a read we start ourselves still gets it. Harmless where it does.
    m_readKick.setInterval(kReadKickMs);
    connect(&m_readKick, &QTimer::timeout, this, [this] {
        if (m_serial.isOpen() && m_serial.bytesAvailable() == 0)
            (void)m_serial.peek(1);
    });
#endif
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
#ifdef Q_OS_WIN
    m_readKick.start();
#endif
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
#ifdef Q_OS_WIN
    // Windows fills Qt's reads behind its back: one still in flight when the
    // port closes is cancelled, and whatever it had taken from the driver goes
    // with it. Let Qt start no new read, and let the last one finish.
    m_serial.setReadBufferSize(1);
    for (int i = 0; i < kCloseDrainReads && m_serial.waitForReadyRead(kCloseDrainMs); ++i) {
    }
#endif
    // Keep what Qt has received, as a copy: emptying its buffer would start
    // another read on Windows. What is still in the driver stays there for
    // the next open (the hold keeps the device open on Linux).
    m_held += m_serial.peek(m_serial.bytesAvailable());
    m_heldFrom = m_openDevice;
    m_serial.close();
#ifdef Q_OS_WIN
    m_readKick.stop();
    m_serial.setReadBufferSize(0);
#endif
    m_hold.afterClose();
}

bool SerialLink::Output(const QByteArray &bytes)
{
    if (!m_serial.isOpen())
        return false;
    if (m_serial.write(bytes) != bytes.size())
        return false;
    // Hand the byte to the OS now: a close discards Qt's write buffer.
    const bool started = m_serial.flush();
#ifdef Q_OS_WIN
    // Windows writes asynchronously: flush() has queued the write with the
    // port, which completes later. Queued is sent.
    return m_serial.isOpen() && (started || m_serial.bytesToWrite() == 0);
#else
    if (!started && m_serial.bytesToWrite() > 0)
        m_serial.waitForBytesWritten(kWriteTimeoutMs);
    return m_serial.isOpen() && m_serial.bytesToWrite() == 0;
#endif
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
#ifdef Q_OS_WIN
    // Wine's WaitCommEvent fails at once on a pty ("operation aborted"),
    // which Qt reports as a lost device. A port that still answers is not lost.
    COMSTAT queues{};
    DWORD lineErrors = 0;
    if (::ClearCommError(m_serial.handle(), &lineErrors, &queues)) {
        m_serial.clearError();
        return;
    }
#endif
    m_event = CommEvents::kFault;
    m_held += m_serial.peek(m_serial.bytesAvailable());
    m_heldFrom = m_openDevice;
    m_serial.close();
    // The device is gone; whatever comes back under the number is checked anew.
    m_hold.release();
    m_status.state = PortState::NoDevice;
}
