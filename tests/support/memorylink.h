#pragma once

#include "devicelink.h"
#include "linesettings.h"

#include <QList>
#include <functional>

// A scripted link: tests queue incoming bytes and events, make opens fail or
// numbers be refused, and read back what was written.
class MemoryLink final : public DeviceLink
{
public:
    using DeviceLink::DeviceLink;

    // Scripting.
    void receive(const QByteArray &bytes); // queues bytes and raises a receive event
    void setEvent(qint16 event) { m_event = event; }
    void setOpenFails(bool fails) { m_openFails = fails; }
    void setMaxPort(qint16 max) { m_maxPort = max; }
    void setReadFails(bool fails) { m_readFails = fails; }
    // Called before each accepted write, to record state at that moment.
    std::function<void(const QByteArray &)> onOutput;
    std::function<void()> onInput;

    // What happened.
    QByteArray written;
    QList<qint16> opened; // port number of every successful open
    int closes = 0;

    [[nodiscard]] bool setCommPort(qint16 port) override;
    qint16 CommPort() const override { return m_port; }
    bool PortOpen() const override { return m_open; }
    [[nodiscard]] bool setPortOpen(bool open) override;
    [[nodiscard]] bool Output(const QByteArray &bytes) override;
    QByteArray Input() override;
    qint16 InBufferCount() const override;
    qint16 CommEvent() const override;

private:
    QByteArray m_incoming;
    qint16 m_event = CommEvents::kNone;
    qint16 m_port = LineSettings::kDefaultPort;
    qint16 m_maxPort = LineSettings::kMaxPort;
    bool m_open = true;
    bool m_openFails = false;
    bool m_readFails = false;
};
