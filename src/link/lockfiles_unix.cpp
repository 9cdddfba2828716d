#include "lockfiles.h"

#include "systemerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// /proc/PID/comm holds at most this many characters of a program's name.
constexpr qsizetype kCommLength = 15;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool isAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

bool namesUs(const LockFiles::Lock &lock)
{
    return lock.kind == LockFiles::Lock::Pid && lock.pid == ::getpid();
}

// Ours, created only where no file stands: the PID in ten columns, as minicom
// and picocom read it, and the program, as Qt writes it. Returns errno.
int createLock(const QString &file)
{
    const QByteArray path = native(file);
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    const QByteArray line = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n'
            + LockFiles::programName() + '\n';
    const ssize_t n = ::write(fd, line.constData(), size_t(line.size()));
    // A short write leaves errno as it was: no lock stands all the same.
    const bool written = n == line.size();
    const int error = written ? 0 : n < 0 ? errno : EIO;
    ::close(fd);
    if (!written)
        ::unlink(path.constData());
    return error;
}

} // namespace

LockFiles::LockFiles(QStringList folders)
    : m_folders(std::move(folders))
{
}

LockFiles::~LockFiles()
{
    remove();
}

QStringList LockFiles::systemFolders()
{
    QStringList folders;
    for (const QString &folder : {QStringLiteral("/run/lock"), QStringLiteral("/var/lock")}) {
        const QString real = QFileInfo(folder).canonicalFilePath();
        if (!real.isEmpty() && !folders.contains(real))
            folders << real;
    }
    return folders;
}

QStringList LockFiles::files(const QString &device) const
{
    QStringList files;
    for (const QString &folder : m_folders)
        files << ownFiles(folder, device);
    return files;
}

QStringList LockFiles::ownFiles(const QString &folder, const QString &device)
{
    if (folder.isEmpty() || device.isEmpty())
        return {};
    QString relative = device;
    if (relative.startsWith(QStringLiteral("/dev/")))
        relative.remove(0, 5);
    QStringList files{QDir(folder).filePath(QStringLiteral("LCK..") + relative.replace(u'/', u'_'))};
    const QString bare = QDir(folder).filePath(QStringLiteral("LCK..") + QFileInfo(device).fileName());
    if (!files.contains(bare))
        files << bare;
    return files;
}

Refusal LockFiles::check(const QString &device)
{
    const qint64 self = ::getpid();
    for (const QString &file : files(device)) {
        const Lock lock = read(file);
        if (lock.kind == Lock::Missing)
            continue;
        if (lock.kind == Lock::Unreadable)
            return PortStatus{
                    device, SystemError::isOutOfFiles(lock.error) ? PortState::TooManyFiles : PortState::LockUnreadable,
                    0, file};
        // Ours, or left by an earlier process that had our PID.
        if (lock.pid == self)
            continue;
        // Our own program's lock whose PID now runs something else was left
        // by a copy of the tool that was killed outright.
        const QByteArray ours = programName().left(kCommLength);
        const bool leftByUs = lock.program.left(kCommLength) == ours && [&] {
            const QByteArray running = LockFiles::processName(lock.pid);
            return !running.isEmpty() && running != ours;
        }();
        if (isAlive(lock.pid) && !leftByUs)
            return PortStatus{device, PortState::InUse, lock.pid, file};
        if (::unlink(native(file).constData()) != 0 && errno != ENOENT)
            return PortStatus{device, PortState::StaleLock, lock.pid, file};
    }
    return {};
}

Refusal LockFiles::write(const QString &device)
{
    remove();
    m_device = device;
    const QByteArray ours = programName().left(kCommLength);
    for (const QString &file : ownFiles(m_folders.value(0), device)) {
        int error = createLock(file);
        Lock lock;
        if (error == EEXIST) {
            // The serial port's own lock, one left by an earlier process with
            // our PID, or someone who came between the check and now.
            lock = read(file);
            if (namesUs(lock) && lock.program.left(kCommLength) == ours) {
                own(file);
                continue;
            }
            if (namesUs(lock) && ::unlink(native(file).constData()) == 0)
                error = createLock(file);
            else if (lock.error)
                error = lock.error;
        }
        if (error == 0) {
            own(file);
            continue;
        }
        if (error != EEXIST && !SystemError::isOutOfFiles(error))
            continue; // a lock folder we may not write to; the flock still holds
        remove();
        if (SystemError::isOutOfFiles(error))
            return PortStatus{device, PortState::TooManyFiles, 0, file};
        if (lock.kind == Lock::Pid)
            return PortStatus{device, PortState::InUse, lock.pid, file};
        return PortStatus{device, PortState::LockUnreadable, 0, file};
    }
    return {};
}

bool LockFiles::keep()
{
    bool spare = true;
    for (const QString &file : ownFiles(m_folders.value(0), m_device)) {
        const Lock lock = read(file);
        int error = lock.error;
        if (lock.kind == Lock::Missing && (error = createLock(file)) == 0)
            own(file);
        spare = spare && !SystemError::isOutOfFiles(error);
    }
    return spare;
}

void LockFiles::own(const QString &file)
{
    // One entry a name: one written again replaces the one removed by someone.
    m_own.removeIf([&](const Own &lock) { return lock.file == file; });
    struct stat st = {};
    if (::lstat(native(file).constData(), &st) == 0)
        m_own << Own{file, quint64(st.st_dev), quint64(st.st_ino)};
}

void LockFiles::remove()
{
    for (const Own &lock : std::as_const(m_own)) {
        const QByteArray path = native(lock.file);
        struct stat st = {};
        if (::lstat(path.constData(), &st) == 0 && quint64(st.st_dev) == lock.device
            && quint64(st.st_ino) == lock.inode)
            ::unlink(path.constData());
    }
    m_own.clear();
}
