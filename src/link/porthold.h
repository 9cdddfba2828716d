#pragma once

#include "portstatus.h"

#include <QStringList>

// Keeps a serial device ours from the first successful open until the link
// moves to another device or the program ends, across the re-open cycle's
// close: a descriptor with an flock stays open throughout, and a lock file
// naming this process stands in the lock folder whenever the serial port's own
// lock is not there. Lock files of live processes are never touched; one whose
// process is gone is cleared.
class PortHold final
{
public:
    // The first folder is where this process writes its lock file.
    explicit PortHold(QStringList lockFolders = systemLockFolders());
    ~PortHold();
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    // Takes `device` unless another program has it. While it is held already,
    // this only says so; holding another device lets that one go first.
    PortStatus acquire(const QString &device);
    void release();
    bool holds(const QString &device) const { return m_fd >= 0 && device == m_device; }

    // Around the serial port's own open and close, whose lock file takes the
    // place of ours meanwhile (it would refuse to open over ours).
    void beforeOpen();
    void afterClose();

    static QStringList systemLockFolders();
    // The PID a lock file names, in any of the usual formats: ASCII in any
    // width with or without more lines, or a 4-byte binary number. 0 when it
    // names none; -1 when the file is missing.
    static qint64 lockOwner(const QString &lockFile);
    // True when `device` is the controlling terminal of some process: a
    // person's shell or a login console, never a BA.
    static bool isControllingTerminal(const QString &device);

private:
    QStringList lockFiles(const QString &device) const;
    void writeLockFile();
    void removeLockFile();

    QStringList m_lockFolders;
    QString m_device;
    QString m_lockFile;      // ours, while it stands
    int m_fd = -1;
};
