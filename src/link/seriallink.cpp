#include "seriallink.h"

#include "portselection.h"
#include "serialquirks.h"

#include <QDir>
#include <limits>

namespace {
// Bounds the wait for a command byte still in Qt's buffer at a close.
constexpr int kWriteTimeoutMs = 100;

// Never destroyed: closeAll() may run from exit(), after static destructors.
QList<SerialLink *> &liveLinks()
{
    static auto *links = new QList<SerialLink *>;
    return *links;
}
} // namespace

SerialLink::SerialLink(const QString &portFolder, const QStringList &lockFolders, QObject *parent)
    : DeviceLink(parent)
    , m_hold(lockFolders, [this] { QMetaObject::invokeMethod(this, &SerialLink::onAnswered, Qt::QueuedConnection); })
    , m_portFolder(portFolder)
{
    liveLinks() << this;
    // Unlimited: the 100 ms poll is the consumer, and a capped Qt buffer only
    // pushes the overflow into the kernel, which drops it.
    m_serial.setReadBufferSize(0);
    connect(&m_serial, &QSerialPort::readyRead, this, [this] { m_event = CommEvents::kReceive; });
    connect(&m_serial, &QSerialPort::errorOccurred, this, &SerialLink::onErrorOccurred);
    // Where the port never reports new data, a read we start ourselves still
    // gets it, and what it brought counts as received.
    m_readKick.setInterval(SerialQuirks::readKickMs());
    connect(&m_readKick, &QTimer::timeout, this, [this] {
        if (!m_serial.isOpen())
            return;
        if (m_serial.bytesAvailable() > 0)
            m_event = CommEvents::kReceive;
        else
            (void)m_serial.peek(1);
    });
    // A changed line echoes every byte the BA sends until it is set back.
    m_lineGuard.setInterval(kLineGuardMs);
    connect(&m_lineGuard, &QTimer::timeout, this, [this] {
        if (!m_serial.isOpen())
            return;
        if (const Refusal line = m_hold.guardLine()) {
            closeDevice(true);
            m_status = *line;
        }
    });
}

SerialLink::~SerialLink()
{
    liveLinks().removeOne(this);
    closeDevice(false);
}

void SerialLink::closeAll()
{
    for (SerialLink *link : std::as_const(liveLinks()))
        link->closeDevice(false);
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
    m_awaitingLook = false;
    if (!open) {
        m_open = false;
        return true;
    }
    if (m_open)
        return true;
    const QString path = devicePath(m_port);
    if (m_serial.isOpen()) {
        if (m_hold.holds(path)) {
            const Refusal gone = m_hold.check();
            m_status = gone ? *gone : m_hold.held();
            if (!gone) {
                m_open = true;
                m_event = InBufferCount() > 0 ? CommEvents::kReceive : CommEvents::kNone;
                return true;
            }
            // Gone, changed or taken: let go now, open afresh at the next tick.
            closeDevice(true);
            return false;
        }
        // The number names another device now.
        closeDevice(false);
    }
    return openDevice(path);
}

QString SerialLink::devicePath(qint16 port) const
{
    return SerialQuirks::devicePath(port, m_portFolder);
}

bool SerialLink::openDevice(const QString &path)
{
    if (const Refusal refused = m_hold.prepare(path)) {
        // Tried again as soon as the look is done. Until then the technician
        // keeps reading why it was refused last time.
        m_awaitingLook = refused->state == PortState::Looking;
        const bool refusedBefore = m_status.device == path && m_status.state != PortState::Open
                && m_status.state != PortState::Unknown;
        if (!m_awaitingLook || !refusedBefore)
            m_status = *refused;
        if (path.isEmpty())
            m_status.device = QDir(m_portFolder).filePath(PortLinkName(m_port));
        return false;
    }
    // What another device sent never completes this one's report.
    if (path != m_keptFrom)
        m_kept.clear();

    m_serial.setPortName(path);
    m_serial.setBaudRate(LineSettings::kBaudRate);
    m_serial.setDataBits(QSerialPort::DataBits(LineSettings::kDataBits));
    m_serial.setStopBits(QSerialPort::StopBits(LineSettings::kStopBits));
    m_serial.setParity(LineSettings::kEvenParity ? QSerialPort::EvenParity : QSerialPort::NoParity);
    m_serial.setFlowControl(LineSettings::kHardwareFlowControl ? QSerialPort::HardwareControl
                                                               : QSerialPort::NoFlowControl);
    m_openError = 0;
    m_opening = true;
    const bool opened = m_serial.open(QIODevice::ReadWrite);
    m_opening = false;
    if (!opened) {
        // Nothing is held that can't be used.
        m_hold.letGo();
        m_status = SerialQuirks::failedOpen(path, m_serial.error(), m_openError);
        return false;
    }
    if (const Refusal refused = m_hold.take(qintptr(m_serial.handle()))) {
        m_status = *refused;
        closeDevice(false);
        return false;
    }
    m_status = m_hold.held();
    // Pseudo-terminals have no modem lines; those calls fail there and that is fine.
    m_serial.setDataTerminalReady(LineSettings::kDtrWhileOpen);
    m_serial.setRequestToSend(LineSettings::kRtsWhileOpen);
    if (SerialQuirks::readKickMs() > 0)
        m_readKick.start();
    m_lineGuard.start();
    ++m_devicesOpened;
    m_lookAfterOpen = true;
    m_keptFromEarlier = !m_kept.isEmpty();
    m_open = true;
    m_event = InBufferCount() > 0 ? CommEvents::kReceive : CommEvents::kNone;
    return true;
}

void SerialLink::closeDevice(bool keep)
{
    m_open = false;
    m_lookAfterOpen = false;
    if (!m_serial.isOpen())
        return;
    m_readKick.stop();
    m_lineGuard.stop();
    if (m_serial.bytesToWrite() > 0)
        m_serial.waitForBytesWritten(kWriteTimeoutMs);
    SerialQuirks::settleBeforeClose(m_serial);
    if (keep) {
        // A copy: emptying Qt's buffer would start another read on Windows.
        m_kept += m_serial.peek(m_serial.bytesAvailable());
        m_keptFrom = m_hold.device();
    } else {
        m_kept.clear();
        m_keptFrom.clear();
        m_keptFromEarlier = false;
    }
    m_hold.letGo([this] { m_serial.close(); });
    SerialQuirks::afterClose(m_serial);
}

bool SerialLink::Output(const QByteArray &bytes)
{
    if (!m_open)
        return false;
    if (m_serial.write(bytes) != bytes.size())
        return false;
    // Hand the byte to the system now, so that nothing waits in Qt's buffer.
    return SerialQuirks::writeDelivered(m_serial, m_serial.flush());
}

QByteArray SerialLink::Input()
{
    if (!m_open)
        return {};
    // The failed device's bytes on their own, before the count of devices
    // moves on: they never join the next device's in one report.
    if (!m_kept.isEmpty()) {
        m_keptFromEarlier = false;
        return std::exchange(m_kept, {});
    }
    return m_serial.readAll();
}

qint16 SerialLink::InBufferCount() const
{
    if (!m_open)
        return 0;
    const qint64 waiting = m_kept.size() + m_serial.bytesAvailable();
    return static_cast<qint16>(std::min<qint64>(waiting, std::numeric_limits<qint16>::max()));
}

qint16 SerialLink::CommEvent() const
{
    return m_open ? m_event : CommEvents::kNone;
}

void SerialLink::onErrorOccurred(QSerialPort::SerialPortError error)
{
    // Qt reports a failing open here first, with the system's number still set.
    if (m_opening) {
        m_openError = SerialQuirks::lastError();
        return;
    }
    // A vanished device keeps signalling readable; close it so the event loop
    // does not spin on a dead descriptor. The re-open cycle retries.
    if (!m_serial.isOpen() || (error != QSerialPort::ResourceError && error != QSerialPort::ReadError))
        return;
    if (SerialQuirks::stillAnswers(m_serial)) {
        m_serial.clearError();
        return;
    }
    m_event = CommEvents::kFault;
    const Refusal why = m_hold.lost();
    closeDevice(true);
    m_status = why ? *why : PortStatus{m_status.device, PortState::NoDevice, 0, {}};
}

void SerialLink::onAnswered()
{
    if (m_serial.isOpen()) {
        m_lookAfterOpen = false;
        // Whoever came in between the look and exclusive mode is found now.
        if (const Refusal taken = m_hold.check()) {
            closeDevice(true);
            m_status = *taken;
        }
        return;
    }
    if (std::exchange(m_awaitingLook, false))
        (void)openDevice(devicePath(m_port));
}
