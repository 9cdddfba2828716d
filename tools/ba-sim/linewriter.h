#pragma once

#include <QByteArray>
#include <QSocketNotifier>

// Writes to the controlling side of the BA's pseudo-terminal without blocking.
// While paused (nobody holds the tool's side), or while its buffer is full,
// the bytes wait here and go out once the line is held and can take them:
// nothing is dropped, and nothing waits in the line for an open that would
// flush it.
class LineWriter
{
public:
    explicit LineWriter(int fd);

    void send(const QByteArray &bytes);
    // Paused: nothing is written, and the descriptor is not waited on (with
    // the tool's side closed it reports a hang-up and never becomes writable).
    void setPaused(bool paused);
    bool paused() const { return m_paused; }
    bool idle() const { return m_unsent.isEmpty(); }
    qint64 backlog() const { return m_unsent.size(); }

private:
    void flush();

    int m_fd;
    QByteArray m_unsent;
    bool m_paused = false;
    QSocketNotifier m_writable;
};
