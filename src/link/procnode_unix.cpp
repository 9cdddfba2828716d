#include "procwalk.h"

#include <QFile>

#include <cstdio>
#include <cstring>
#include <sys/sysmacros.h>

// Which node a device is, and who holds a lock on it.

bool ProcWalk::isPty(dev_t rdev)
{
    return ::major(rdev) >= 136 && ::major(rdev) <= 143;
}

bool ProcWalk::sameDevice(const struct stat &a, const struct stat &b)
{
    if (!S_ISCHR(a.st_mode) || !S_ISCHR(b.st_mode) || a.st_rdev != b.st_rdev)
        return false;
    return !isPty(a.st_rdev) || (a.st_dev == b.st_dev && a.st_ino == b.st_ino);
}

std::mutex &ProcWalk::childGuard()
{
    static std::mutex guard;
    return guard;
}

// "1: FLOCK  ADVISORY  WRITE 4242 00:19:5 0 EOF"; an open file description's
// lock shows no PID ("2: OFDLCK ADVISORY  READ  -1 00:05:1234 0 EOF").
// Another user's thousands of locks make this a few MiB: it is read on the
// worker only, and once a look.
QList<qint64> ProcWalk::lockersOf(const struct stat &node)
{
    QFile locks(QStringLiteral("/proc/locks"));
    QList<qint64> pids;
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return pids;
    const QByteArray text = locks.readAll();
    for (qsizetype start = 0, end = 0; start < text.size(); start = end + 1) {
        end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        const QByteArray line = text.mid(start, end - start);
        char kind[16] = {};
        long long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        // Waiters ("-> FLOCK ...") hold nothing yet.
        if (line.contains("->")
            || std::sscanf(line.constData(), "%*d: %15s %*s %*s %lld %x:%x:%llu", kind, &pid, &major, &minor, &inode)
                    != 5
            || (std::strcmp(kind, "FLOCK") && std::strcmp(kind, "POSIX") && std::strcmp(kind, "OFDLCK")))
            continue;
        if (::makedev(major, minor) == node.st_dev && inode == node.st_ino)
            pids << (pid > 0 ? pid : 0);
    }
    return pids;
}
