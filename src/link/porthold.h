#pragma once

#include "portstatus.h"

#include <QByteArray>
#include <QStringList>
#include <memory>

// Keeps a serial device ours from the first successful open until the link
// moves to another device or the program ends, across the re-open cycle's
// close: a descriptor with an flock stays open throughout, and a lock file
// naming this process stands in the lock folder whenever the serial port's own
// lock is not there. The held descriptor puts the line in raw mode before
// anything else opens it, so the gap between two opens never echoes or eats a
// byte, and gives the line back as it found it when it lets go.
//
// Lock files of live processes are never touched; one whose process is gone
// is cleared. Nothing that is refused is held.
class PortHold final
{
public:
    // The first folder is where this process writes its lock file.
    explicit PortHold(QStringList lockFolders = systemLockFolders());
    ~PortHold();
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    // Takes `device` unless it is refused. While it is held already, this
    // checks that no foreign lock file has appeared and, at most once a
    // second, that it has not become a session's terminal; either lets it go.
    // Holding another device lets the old one go first.
    PortStatus acquire(const QString &device);
    void release();
    bool holds(const QString &device) const;

    // Around the serial port's own open and close, whose lock file takes the
    // place of ours meanwhile (it would refuse to open over ours).
    void beforeOpen();
    void afterClose();

    static QStringList systemLockFolders();

    // What a lock file says. Only a regular file is read, never followed,
    // never waited on, and never more than a few bytes of it.
    struct Lock
    {
        enum Kind { Missing, Pid, Unreadable };
        Kind kind = Missing;
        qint64 pid = 0;
        QByteArray program;     // the program it names, when it names one
    };
    static Lock readLock(const QString &lockFile);
    // The name this process writes into its lock files.
    static QByteArray programName();

private:
    struct State;           // per system
    std::unique_ptr<State> d;
};
