#pragma once

#include "devicelink.h"
#include "linesettings.h"

#include <QSerialPort>

// The baseline: a link that simply closes and reopens the port, dropping what
// Qt had buffered. Only for comparison in the benchmarks.
class NaiveLink final : public DeviceLink
{
public:
    explicit NaiveLink(QString device)
        : m_device(std::move(device))
    {
        connect(&m_serial, &QSerialPort::readyRead, this, [this] { m_event = CommEvents::kReceive; });
    }
    bool setCommPort(qint16 port) override
    {
        m_port = port;
        return true;
    }
    qint16 CommPort() const override { return m_port; }
    bool PortOpen() const override { return m_serial.isOpen(); }
    bool setPortOpen(bool open) override
    {
        if (!open) {
            m_serial.close();
            return true;
        }
        m_serial.setPortName(m_device);
        m_serial.setBaudRate(LineSettings::kBaudRate);
        return m_serial.open(QIODevice::ReadWrite);
    }
    bool Output(const QByteArray &bytes) override { return m_serial.write(bytes) == bytes.size(); }
    QByteArray Input() override { return m_serial.readAll(); }
    qint16 InBufferCount() const override { return qint16(std::min<qint64>(m_serial.bytesAvailable(), 32767)); }
    qint16 CommEvent() const override { return m_serial.isOpen() ? m_event : CommEvents::kNone; }

private:
    QSerialPort m_serial;
    QString m_device;
    qint16 m_port = 1;
    qint16 m_event = CommEvents::kNone;
};
