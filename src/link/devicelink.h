#pragma once

#include "portstatus.h"

#include <QByteArray>
#include <QObject>

// How often the device protocol reads the link (Timer1), milliseconds.
inline constexpr int kPollEveryMs = 100;

// The serial line to the BA as the device protocol sees it. Everything runs on
// the GUI thread; implementations are driven by the event loop, never block.
class DeviceLink : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~DeviceLink() override = default;

    // Selects the port for the next open. A refused number leaves the previous
    // one in force and returns false.
    [[nodiscard]] virtual bool setCommPort(qint16 port) = 0;
    virtual qint16 CommPort() const = 0;

    virtual bool PortOpen() const = 0;
    // false closes; true opens the port CommPort selects. Returns false when
    // the open fails (port missing or in use); the port then stays closed.
    [[nodiscard]] virtual bool setPortOpen(bool open) = 0;

    // Writes the bytes to the line. Returns false when they were not written
    // (port closed or gone); nothing is queued for later.
    [[nodiscard]] virtual bool Output(const QByteArray &bytes) = 0;
    // Removes and returns the waiting bytes in arrival order. A failed read
    // yields nothing.
    virtual QByteArray Input() = 0;
    // Both are readable while the port is closed and show nothing then.
    virtual qint16 InBufferCount() const = 0;
    virtual qint16 CommEvent() const = 0;

    // What the last open found; for the technician, never for the protocol.
    virtual PortStatus portStatus() const { return {}; }
    // Counts the opens of a device for real. A new count means that the bytes
    // from now on may come from another device than those before.
    virtual quint32 devicesOpened() const { return 0; }
};
