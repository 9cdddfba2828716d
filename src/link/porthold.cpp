#include "porthold.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr qsizetype kLockReadBytes = 128;
constexpr qsizetype kBinaryPidBytes = 4;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool isAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Field 7 of /proc/PID/stat, the controlling terminal in the kernel's encoding.
bool controllingTerminalOf(const char *pidDir, unsigned *major, unsigned *minor)
{
    char path[300];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pidDir);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return false;
    buffer[n] = '\0';
    // The command name may hold spaces and parentheses; the fields follow the last ')'.
    const char *fields = std::strrchr(buffer, ')');
    int ttyNr = 0;
    if (!fields || std::sscanf(fields + 1, " %*c %*d %*d %*d %d", &ttyNr) != 1 || ttyNr == 0)
        return false;
    const auto encoded = unsigned(ttyNr);
    *major = (encoded >> 8) & 0xFFF;
    *minor = (encoded & 0xFF) | ((encoded >> 12) & 0xFFF00);
    return true;
}

} // namespace

PortHold::PortHold(QStringList lockFolders)
    : m_lockFolders(std::move(lockFolders))
{
}

PortHold::~PortHold()
{
    release();
}

QStringList PortHold::systemLockFolders()
{
    QStringList folders;
    for (const QString &folder : {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")}) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (!real.isEmpty() && !folders.contains(real))
            folders << real;
    }
    return folders;
}

qint64 PortHold::lockOwner(const QString &lockFile)
{
    QFile file(lockFile);
    if (!file.open(QIODevice::ReadOnly))
        return file.exists() ? 0 : -1;
    const QByteArray data = file.read(kLockReadBytes);
    const bool text = std::all_of(data.begin(), data.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == ' ' || c == '\n';
    });
    if (data.size() == kBinaryPidBytes && !text) {
        qint32 pid = 0;
        std::memcpy(&pid, data.constData(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    bool ok = false;
    const qint64 pid = data.left(data.indexOf('\n')).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

bool PortHold::isControllingTerminal(const QString &device)
{
    struct stat st{};
    if (::stat(native(device).constData(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (const dirent *entry = ::readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        unsigned major = 0, minor = 0;
        if (controllingTerminalOf(entry->d_name, &major, &minor)
            && major == ::major(st.st_rdev) && minor == ::minor(st.st_rdev)) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}

QStringList PortHold::lockFiles(const QString &device) const
{
    // The serial port's own name (pts/3 -> LCK..pts_3) and the bare one (LCK..3).
    QString relative = device;
    if (relative.startsWith(QStringLiteral("/dev/")))
        relative.remove(0, 5);
    QStringList names{QStringLiteral("LCK..") + QString(relative).replace(u'/', u'_')};
    const QString bare = QStringLiteral("LCK..") + QFileInfo(device).fileName();
    if (!names.contains(bare))
        names << bare;
    QStringList files;
    for (const QString &folder : m_lockFolders)
        for (const QString &name : std::as_const(names))
            files << QDir(folder).filePath(name);
    return files;
}

PortStatus PortHold::acquire(const QString &device)
{
    PortStatus status{device, PortState::Open, 0};
    if (holds(device))
        return status;
    release();

    struct stat st{};
    if (device.isEmpty()) {
        status.state = PortState::NoDevice;
        return status;
    }
    if (::stat(native(device).constData(), &st) != 0) {
        status.state = errno == EACCES ? PortState::NoPermission : PortState::NoDevice;
        return status;
    }
    if (!S_ISCHR(st.st_mode) || isControllingTerminal(device)) {
        status.state = PortState::NotSerial;
        return status;
    }

    const qint64 self = ::getpid();
    for (const QString &file : lockFiles(device)) {
        const qint64 owner = lockOwner(file);
        if (owner < 0 || owner == self)
            continue;
        if (owner > 0 && !isAlive(owner)) {
            ::unlink(native(file).constData()); // its process is gone
            continue;
        }
        status.state = PortState::InUse;
        status.pid = owner;
        return status;
    }

    const int fd = ::open(native(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status.state = errno == EACCES || errno == EPERM ? PortState::NoPermission
                : errno == EBUSY                         ? PortState::InUse
                                                         : PortState::NoDevice;
        return status;
    }
    if (!::isatty(fd)) {
        ::close(fd);
        status.state = PortState::NotSerial;
        return status;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        status.state = PortState::InUse;
        return status;
    }
    m_fd = fd;
    m_device = device;
    writeLockFile();
    return status;
}

void PortHold::release()
{
    removeLockFile();
    if (m_fd >= 0)
        ::close(m_fd); // drops the flock too
    m_fd = -1;
    m_device.clear();
}

void PortHold::beforeOpen()
{
    removeLockFile();
}

void PortHold::afterClose()
{
    if (m_fd >= 0 && m_lockFile.isEmpty())
        writeLockFile();
}

void PortHold::writeLockFile()
{
    const QStringList files = lockFiles(m_device);
    if (files.isEmpty())
        return;
    const QString file = files.first();
    const int fd = ::open(native(file).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return; // no lock folder we may write to; the flock still holds
    char line[16];
    const int length = std::snprintf(line, sizeof line, "%10d\n", int(::getpid()));
    const bool written = ::write(fd, line, size_t(length)) == length;
    ::close(fd);
    if (written)
        m_lockFile = file;
    else
        ::unlink(native(file).constData());
}

void PortHold::removeLockFile()
{
    if (m_lockFile.isEmpty())
        return;
    if (lockOwner(m_lockFile) == ::getpid())
        ::unlink(native(m_lockFile).constData());
    m_lockFile.clear();
}
