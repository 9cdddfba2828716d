#pragma once

#include "portstatus.h"

#include <QByteArray>
#include <QStringList>

// UUCP-style lock files (LCK..name) in the system's lock folder, as minicom,
// picocom and Qt write them: a PID, perhaps a program and a host. Lock files
// of live processes are never touched; one whose process is gone is cleared.
class LockFiles final
{
public:
    // The first folder is where this process writes its own.
    explicit LockFiles(QStringList folders);
    ~LockFiles();
    LockFiles(const LockFiles &) = delete;
    LockFiles &operator=(const LockFiles &) = delete;

    struct Lock
    {
        enum Kind { Missing, Pid, Unreadable };
        Kind kind = Missing;
        qint64 pid = 0;
        QByteArray program; // the program it names, when it names one
        int error = 0;      // errno, when it could not be read
    };
    // What a lock file says. Only a regular file is read, never followed,
    // never waited on, and never more than a few bytes of it.
    static Lock read(const QString &lockFile);
    // The name this process writes into its lock files.
    static QByteArray programName();
    // The first line of /proc/PID/comm; empty when it can't be read.
    static QByteArray processName(qint64 pid);
    static QStringList systemFolders();

    // Every lock file others may use for `device`: its path's name
    // (/dev/pts/3 -> LCK..pts_3) and its bare one (LCK..3), in every folder.
    QStringList files(const QString &device) const;

    // Before taking `device`: nothing when no live process's lock stands for
    // it; stale ones are cleared on the way.
    Refusal check(const QString &device);
    // Ours stands under every name in the first folder, unless the serial
    // port's own lock names us there already. Otherwise says whose stands.
    // Those that name us are removed at remove(), once the port has closed.
    Refusal write(const QString &device);
    // While held: writes again any of ours that someone removed, and leaves
    // anyone else's alone. False when it found no file descriptor to spare.
    bool keep();
    // Removes those of ours that still stand.
    void remove();

private:
    // The names of `device`'s lock files in `folder`.
    static QStringList ownFiles(const QString &folder, const QString &device);

    // Ours by its inode: removed only while that very file stands, which
    // needs no file descriptor, and leaves alone whatever replaced it.
    struct Own
    {
        QString file;
        quint64 device = 0, inode = 0;
    };
    void own(const QString &file);

    QStringList m_folders;
    QString m_device;
    QList<Own> m_own;
};
