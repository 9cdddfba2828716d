#include "linewriter.h"

#include <unistd.h>

LineWriter::LineWriter(int fd)
    : m_fd(fd)
    , m_writable(fd, QSocketNotifier::Write)
{
    m_writable.setEnabled(false);
    QObject::connect(&m_writable, &QSocketNotifier::activated, [this] { flush(); });
}

void LineWriter::send(const QByteArray &bytes)
{
    m_unsent += bytes;
    flush();
}

void LineWriter::setPaused(bool paused)
{
    m_paused = paused;
    flush();
}

void LineWriter::flush()
{
    while (!m_paused && !m_unsent.isEmpty()) {
        const ssize_t n = ::write(m_fd, m_unsent.constData(), size_t(m_unsent.size()));
        if (n <= 0)
            break;
        m_unsent.remove(0, n);
    }
    m_writable.setEnabled(!m_unsent.isEmpty() && !m_paused);
}
