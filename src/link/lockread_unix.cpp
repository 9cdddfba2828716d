#include "lockfiles.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// What a lock file says, as minicom, picocom and Qt write it. Whatever else
// stands under a lock's name is never followed, never waited on, and never
// read beyond a few bytes.
namespace {

// Lock files hold a PID and perhaps a program and a host name; more is not ours to read.
constexpr qsizetype kLockReadBytes = 128;
constexpr qsizetype kBinaryPidBytes = 4;
// The kernel's own ceiling on 64-bit systems, when /proc does not say.
constexpr qint64 kPidMaxLimit = 4194304;

qint64 pidMax()
{
    static const qint64 max = [] {
        QFile file(QStringLiteral("/proc/sys/kernel/pid_max"));
        bool ok = false;
        const qint64 value = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toLongLong(&ok) : 0;
        return ok && value > 0 ? value : kPidMaxLimit;
    }();
    return max;
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0';
}

// "10\r\n" and "102\0" are short ASCII locks, not binary PIDs.
bool isShortAsciiLock(const QByteArray &data)
{
    qsizetype i = 0;
    while (i < data.size() && data[i] == ' ')
        ++i;
    const qsizetype digits = i;
    while (i < data.size() && data[i] >= '0' && data[i] <= '9')
        ++i;
    return i > digits && (i == data.size() || isSpace(data[i]));
}

LockFiles::Lock parseLock(const QByteArray &data, qint64 fileSize)
{
    LockFiles::Lock lock;
    lock.kind = LockFiles::Lock::Unreadable;
    qint64 pid = 0;
    if (fileSize == kBinaryPidBytes && data.size() == kBinaryPidBytes && !isShortAsciiLock(data)) {
        qint32 binary = 0;
        std::memcpy(&binary, data.constData(), sizeof binary);
        pid = binary;
    } else {
        // The leading integer after optional blanks, as minicom, picocom and Qt write it.
        qsizetype i = 0;
        while (i < data.size() && data[i] == ' ')
            ++i;
        const qsizetype digits = i;
        for (; i < data.size() && data[i] >= '0' && data[i] <= '9'; ++i) {
            pid = pid * 10 + (data[i] - '0');
            if (pid > kPidMaxLimit * 10)
                return lock;
        }
        if (i == digits)
            return lock;
        // Then the program, on the same line (minicom) or the next (Qt, ours).
        while (i < data.size() && isSpace(data[i]))
            ++i;
        const qsizetype name = i;
        while (i < data.size() && !isSpace(data[i]))
            ++i;
        lock.program = data.mid(name, i - name);
    }
    if (pid <= 0 || pid > pidMax())
        return lock;
    lock.kind = LockFiles::Lock::Pid;
    lock.pid = pid;
    return lock;
}

} // namespace

QByteArray LockFiles::processName(qint64 pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/comm", static_cast<long long>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[64];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n > 0 ? QByteArray(buffer, n).split('\n').first() : QByteArray();
}

QByteArray LockFiles::programName()
{
    static const QByteArray name = [] {
        QByteArray own = processName(::getpid());
        // Not a name another program could spoof our lock reader with.
        own.replace(' ', '_').replace('\t', '_');
        return own.isEmpty() ? QByteArrayLiteral("calvarin") : own;
    }();
    return name;
}

LockFiles::Lock LockFiles::read(const QString &lockFile)
{
    const QByteArray path = QFile::encodeName(lockFile);
    Lock lock;
    struct stat st = {};
    if (::lstat(path.constData(), &st) != 0) {
        lock.kind = errno == ENOENT ? Lock::Missing : Lock::Unreadable;
        lock.error = errno;
        return lock;
    }
    lock.kind = Lock::Unreadable;
    // A FIFO would block the open, a device would wake hardware, a link could
    // point anywhere: only a regular file is a lock we read.
    if (!S_ISREG(st.st_mode))
        return lock;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        lock.error = errno;
        if (errno == ENOENT)
            lock.kind = Lock::Missing;
        return lock;
    }
    char buffer[kLockReadBytes];
    ssize_t n = -1;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (n < 0)
        return lock;
    return parseLock(QByteArray(buffer, n), qint64(st.st_size));
}
