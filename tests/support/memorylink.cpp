#include "memorylink.h"

#include <algorithm>
#include <limits>

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
    // Clamped like the real link's: a backlog above 32767 still reads as waiting.
    return m_open ? qint16(std::min<qsizetype>(m_incoming.size(), std::numeric_limits<qint16>::max())) : qint16(0);
}

qint16 MemoryLink::CommEvent() const
{
    return m_open ? m_event : CommEvents::kNone;
}
