#pragma once

#include <QByteArray>

// Waits on a device node for anything that may free it for us: anyone's
// close, a new mode or owner, the node gone. A bell wakes the wait too.
class NodeWatch final
{
public:
    NodeWatch();
    ~NodeWatch();
    NodeWatch(const NodeWatch &) = delete;
    NodeWatch &operator=(const NodeWatch &) = delete;

    // Watches `path` from now on, in place of the node before; false when it
    // can't be watched.
    bool watch(const QByteArray &path);
    bool watching() const { return m_watch >= 0; }
    // Whether anything that may free the node happened since last asked.
    bool freed();
    // Waits up to `ms` for such an event or the bell. Without a bell it waits
    // a tenth of a second at most.
    void wait(qint64 ms);
    void ring();

private:
    const int m_notes;
    const int m_bell;
    int m_watch = -1;
};
