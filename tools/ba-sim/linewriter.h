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
    // While nobody has the tool's side open, the descriptor reports a hang-up
    // and never becomes writable: bytes wait without being waited on.
    void setPaused(bool paused);
    bool idle() const { return m_unsent.isEmpty(); }
    qint64 backlog() const { return m_unsent.size(); }

private:
    void flush();

    int m_fd;
    QByteArray m_unsent;
    bool m_paused = false;
    QSocketNotifier m_writable;
};
