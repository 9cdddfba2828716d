#include "memorylink.h"

void MemoryLink::receive(const QByteArray &bytes)
{
    m_incoming += bytes;
    m_event = CommEvents::kReceive;
}

bool MemoryLink::setCommPort(qint16 port)
{
    if (port < LineSettings::kMinPort || port > m_maxPort)
        return false;
    m_port = port;
    return true;
}

bool MemoryLink::setPortOpen(bool open)
{
    if (!open) {
        if (m_open)
            ++closes;
        m_open = false;
        return true;
    }
    if (m_openFails)
        return false;
    m_open = true;
    opened.append(m_port);
    return true;
}

bool MemoryLink::Output(const QByteArray &bytes)
{
    if (!m_open)
        return false;
    if (onOutput)
        onOutput(bytes);
    written += bytes;
    return true;
}

QByteArray MemoryLink::Input()
{
    if (onInput)
        onInput();
    if (!m_open || m_readFails)
        return {};
    return std::exchange(m_incoming, {});
}

qint16 MemoryLink::InBufferCount() const
{
    return m_open ? qint16(m_incoming.size()) : qint16(0);
}

qint16 MemoryLink::CommEvent() const
{
    return m_open ? m_event : CommEvents::kNone;
}
