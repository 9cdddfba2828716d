#pragma once

#include <QElapsedTimer>
#include <QtGlobal>

// Whether a terminal device is some session's controlling terminal: a shell's
// pseudo-terminal, a serial login console. Such a device is never the BA's.
class SessionTerminal final
{
public:
    enum class Answer { Free, Taken, Unknown };

    // Asks the kernel on a descriptor of the device: a child in a session of
    // its own tries to make it its controlling terminal, which the kernel
    // refuses when another session has it. It sees every session, also those
    // that /proc hides. Unknown when no child can be started.
    static Answer askKernel(int fd);

    // Looks in /proc for a process whose controlling terminal `rdev` is. A
    // process found is checked alone next time; "nobody" stands a while,
    // unless `fresh` asks for a new look. Unknown when /proc can't be read.
    Answer scan(quint64 rdev, bool fresh = false);
    // The next scan looks afresh.
    void forget() { m_scannedDevice = 0; }
    // The kernel has just said nobody has `rdev`: as good as a scan that found nobody.
    void nobodyHas(quint64 rdev)
    {
        m_scannedDevice = rdev;
        m_owner = 0;
        m_lastScan.start();
    }

private:
    quint64 m_scannedDevice = 0;
    qint64 m_owner = 0;
    QElapsedTimer m_lastScan;
};
