#pragma once

#include "devicelink.h"
#include "linesettings.h"
#include "porthold.h"

#include <QSerialPort>
#include <QString>
#include <QTimer>

// DeviceLink over a real serial port. Port N is the device that the link "comN"
// in the port folder points to, else /dev/ttyS{N-1} (COMN on Windows).
//
// The re-open cycle closes the port twice a second, so closing keeps what was
// received but not yet taken and hands it out first after the next open on the
// same device, and pushes out any unsent command byte before the descriptor
// goes. From the first open on a device until the number names another one,
// the device stays held (PortHold), so nobody takes it in the gap.
class SerialLink final : public DeviceLink
{
    Q_OBJECT

public:
    explicit SerialLink(const QString &portFolder,
                        const QStringList &lockFolders = PortHold::systemLockFolders(),
                        QObject *parent = nullptr);
    ~SerialLink() override;

    [[nodiscard]] bool setCommPort(qint16 port) override;
    qint16 CommPort() const override { return m_port; }
    bool PortOpen() const override { return m_serial.isOpen(); }
    [[nodiscard]] bool setPortOpen(bool open) override;
    [[nodiscard]] bool Output(const QByteArray &bytes) override;
    QByteArray Input() override;
    qint16 InBufferCount() const override;
    qint16 CommEvent() const override;
    PortStatus portStatus() const override { return m_status; }

    // The device that port number `port` opens.
    QString devicePath(qint16 port) const;

    // Closes every link still open; for an exit that skips destructors, such
    // as the window system going away.
    static void closeAll();

private:
    void open();
    void close();
    void onErrorOccurred(QSerialPort::SerialPortError error);

    QSerialPort m_serial;
    PortHold m_hold;
    QString m_portFolder;
    qint16 m_port = LineSettings::kDefaultPort;
    // Received before a close and not yet taken by Input(), and from where.
    QByteArray m_held;
    QString m_heldFrom;
    QString m_openDevice;
    qint16 m_event = CommEvents::kNone;
    PortStatus m_status;
#ifdef Q_OS_WIN
    QTimer m_readKick;
#endif
};
