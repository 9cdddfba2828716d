#pragma once

#include "devicelink.h"
#include "linesettings.h"

#include <QSerialPort>
#include <QString>

// DeviceLink over a real serial port. Port N is the device that the link "comN"
// in the port folder points to, else /dev/ttyS{N-1} (COMN on Windows).
//
// The re-open cycle closes the port twice a second, so closing keeps what was
// received but not yet taken and hands it out first after the next open, and
// pushes out any unsent command byte before the descriptor goes.
class SerialLink final : public DeviceLink
{
    Q_OBJECT

public:
    explicit SerialLink(const QString &portFolder, QObject *parent = nullptr);
    ~SerialLink() override;

    [[nodiscard]] bool setCommPort(qint16 port) override;
    qint16 CommPort() const override { return m_port; }
    bool PortOpen() const override { return m_serial.isOpen(); }
    [[nodiscard]] bool setPortOpen(bool open) override;
    [[nodiscard]] bool Output(const QByteArray &bytes) override;
    QByteArray Input() override;
    qint16 InBufferCount() const override;
    qint16 CommEvent() const override;

    // The device that port number `port` opens.
    QString devicePath(qint16 port) const;

private:
    void open();
    void close();
    void onErrorOccurred(QSerialPort::SerialPortError error);

    QSerialPort m_serial;
    QString m_portFolder;
    qint16 m_port = LineSettings::kDefaultPort;
    // Received before a close and not yet taken by Input().
    QByteArray m_held;
    qint16 m_event = CommEvents::kNone;
};
