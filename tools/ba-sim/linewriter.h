#pragma once

#include <QByteArray>
#include <QSocketNotifier>

// Writes to the controlling side of the BA's pseudo-terminal without blocking.
// While the tool's side is closed, or its buffer full, the bytes wait here and
// go out as soon as the descriptor can take them: nothing is dropped.
class LineWriter
{
public:
    explicit LineWriter(int fd);

    void send(const QByteArray &bytes);
    bool idle() const { return m_unsent.isEmpty(); }
    qint64 backlog() const { return m_unsent.size(); }

private:
    void flush();

    int m_fd;
    QByteArray m_unsent;
    QSocketNotifier m_writable;
};
