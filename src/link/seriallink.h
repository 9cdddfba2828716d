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
// The re-open cycle closes and opens the port twice a second, so that a new
// number or a replugged adapter is picked up. A close followed by an open of
// the same healthy device does not touch the device: it stays open and held
// (PortHold) throughout, and what arrives meanwhile is handed out after the
// open. Only a new number, a device that is gone or changed, or an error
// closes it for real.
class SerialLink final : public DeviceLink
{
    Q_OBJECT

public:
    explicit SerialLink(const QString &portFolder, const QStringList &lockFolders = PortHold::systemLockFolders(),
                        QObject *parent = nullptr);
    ~SerialLink() override;

    [[nodiscard]] bool setCommPort(qint16 port) override;
    qint16 CommPort() const override { return m_port; }
    bool PortOpen() const override { return m_open; }
    [[nodiscard]] bool setPortOpen(bool open) override;
    [[nodiscard]] bool Output(const QByteArray &bytes) override;
    QByteArray Input() override;
    qint16 InBufferCount() const override;
    qint16 CommEvent() const override;
    PortStatus portStatus() const override { return m_status; }
    // A look at who else has the device is under way: the last open waits
    // for it and is tried again once it is done, or the device was just
    // opened and whoever came in meanwhile is looked for.
    bool looking() const { return m_awaitingLook || m_lookAfterOpen; }
    // Not moved on while bytes of the device before this one wait.
    quint32 devicesOpened() const override { return m_devicesOpened - (m_keptFromEarlier ? 1 : 0); }

    // How often the line is checked between ticks, and set back when someone
    // changed it: once a poll, so at most one poll's bytes are echoed.
    static constexpr int kLineGuardMs = kPollEveryMs;

    // The device that port number `port` opens.
    QString devicePath(qint16 port) const;

    // Closes every link still open; for an exit that skips destructors, such
    // as the window system going away: the line goes back as it was found and
    // the lock files go.
    static void closeAll();

private:
    bool openDevice(const QString &path);
    // `keep`: what was received and not yet taken stays for the same device.
    void closeDevice(bool keep);
    void onErrorOccurred(QSerialPort::SerialPortError error);
    // A look at the device's users is done: the open that waited for it goes on.
    void onAnswered();

    QSerialPort m_serial;
    PortHold m_hold;
    QString m_portFolder;
    qint16 m_port = LineSettings::kDefaultPort;
    bool m_open = false; // as the contract sees it; the device stays held while closed
    // Received from a device that failed, not yet taken, and from which.
    QByteArray m_kept;
    QString m_keptFrom;
    bool m_keptFromEarlier = false; // m_kept is from before the device now open
    qint16 m_event = CommEvents::kNone;
    PortStatus m_status;
    QTimer m_readKick;
    QTimer m_lineGuard;
    quint32 m_devicesOpened = 0;
    bool m_opening = false;
    bool m_awaitingLook = false;  // the last open waits for a look at the device's users
    bool m_lookAfterOpen = false; // the device was opened, and the look that follows is not done
    int m_openError = 0;          // the system's number behind a failing open
};
