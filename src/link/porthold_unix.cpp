#include "porthold.h"

#include "linesettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

struct PortHold::State
{
    explicit State(QStringList folders)
        : m_lockFolders(std::move(folders))
    {
    }

    bool holds(const QString &device) const { return m_fd >= 0 && device == m_device; }
    PortStatus acquire(const QString &device);
    void release();
    void beforeOpen();
    void afterClose();

    PortStatus checkLockFiles(const QString &device);
    bool isSessionTerminal(quint64 rdev);
    QStringList lockFiles(const QString &device) const;
    void writeLockFile();
    void removeLockFile();

    QStringList m_lockFolders;
    QString m_device;
    QString m_lockFile;      // ours, while it stands
    int m_fd = -1;
    termios m_before{};      // the line as we found it
    termios m_ours{};        // as we set it
    QElapsedTimer m_lastProbe;
    // The last /proc scan: for which device, and who had it as a terminal.
    quint64 m_scannedDevice = 0;
    qint64 m_terminalOwner = 0;
    QElapsedTimer m_lastScan;
    QString m_letGo;         // the device given up because a session took it
};

namespace {

// Lock files hold a PID and perhaps a program and a host name; more is not ours to read.
constexpr qsizetype kLockReadBytes = 128;
constexpr qsizetype kBinaryPidBytes = 4;
// The kernel's own ceiling on 64-bit systems, when /proc does not say.
constexpr qint64 kPidMaxLimit = 4194304;
// /proc/PID/comm holds at most this many characters of a program's name.
constexpr qsizetype kCommLength = 15;
// How often a held device is checked for having become a session's terminal;
// /proc is scanned no more often per device.
constexpr qint64 kTerminalCheckMs = 1000;
// How long a scan that found no session on a device stands.
constexpr qint64 kNobodyStandsMs = 5000;

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

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

bool isAlive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// The first line of /proc/PID/comm; empty when it can't be read.
QByteArray processName(qint64 pid)
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

PortHold::Lock parseLock(const QByteArray &data, qint64 fileSize)
{
    PortHold::Lock lock;
    lock.kind = PortHold::Lock::Unreadable;
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
    lock.kind = PortHold::Lock::Pid;
    lock.pid = pid;
    return lock;
}

// The controlling terminal of process `pid` in the kernel's encoding (field 7
// of /proc/PID/stat); 0 for none or when it can't be read.
quint64 terminalOf(const char *pidDir)
{
    char path[300];
    std::snprintf(path, sizeof path, "/proc/%s/stat", pidDir);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
    ::close(fd);
    if (n <= 0)
        return 0;
    buffer[n] = '\0';
    // The command name may hold spaces and parentheses; the fields follow the last ')'.
    const char *fields = std::strrchr(buffer, ')');
    int ttyNr = 0;
    if (!fields || std::sscanf(fields + 1, " %*c %*d %*d %*d %d", &ttyNr) != 1 || ttyNr == 0)
        return 0;
    const auto encoded = unsigned(ttyNr);
    return ::makedev((encoded >> 8) & 0xFFF, (encoded & 0xFF) | ((encoded >> 12) & 0xFFF00));
}

quint64 terminalOf(qint64 pid)
{
    char name[32];
    std::snprintf(name, sizeof name, "%lld", static_cast<long long>(pid));
    return terminalOf(name);
}

// A process that has `rdev` as its controlling terminal, or 0.
qint64 scanForTerminal(quint64 rdev)
{
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return 0;
    qint64 owner = 0;
    while (const dirent *entry = ::readdir(proc)) {
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
            continue;
        if (terminalOf(entry->d_name) == rdev) {
            owner = std::strtoll(entry->d_name, nullptr, 10);
            break;
        }
    }
    ::closedir(proc);
    return owner;
}

// Asks the kernel whether some session has the terminal behind `fd` as its
// controlling terminal: a child in a session of its own tries to take it,
// which the kernel refuses with EPERM when another session has it, and hands
// it straight back otherwise. It sees every session, also those that /proc
// hides from us.
//
// The child is a vfork: a fork would copy the page tables of a process that
// a long log makes hundreds of MiB large, once a second on the GUI thread.
// It borrows our memory until it exits, so it makes system calls only.
bool isTakenBySession(int fd)
{
    enum : int { kFree = 0, kTaken = 1, kUnknown = 2 };
    // The child must never run our signal handlers; it exits with them blocked.
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const int savedErrno = errno;
    const pid_t child = ::vfork();
    if (child == 0) {
        if (::setsid() < 0)
            ::_exit(kUnknown);
        if (::ioctl(fd, TIOCSCTTY, 0) == 0) {
            ::ioctl(fd, TIOCNOTTY);
            ::_exit(kFree);
        }
        ::_exit(errno == EPERM ? kTaken : kUnknown);
    }
    errno = savedErrno; // the child's errno was ours
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (child < 0)
        return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == kTaken;
}

// Raw bytes at the line settings, from the first byte on: no echo, no CR to LF,
// no erase, interrupt or flow-control characters.
termios rawLine(const termios &from)
{
    static_assert(LineSettings::kBaudRate == 9600 && LineSettings::kDataBits == 8
                  && LineSettings::kStopBits == 1 && !LineSettings::kHardwareFlowControl);
    termios raw = from;
    ::cfmakeraw(&raw);
    raw.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    raw.c_cflag &= ~tcflag_t(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    raw.c_cflag |= CS8 | CLOCAL | CREAD;
    if (LineSettings::kEvenParity)
        raw.c_cflag |= PARENB;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    ::cfsetispeed(&raw, B9600);
    ::cfsetospeed(&raw, B9600);
    return raw;
}

bool sameLine(const termios &a, const termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag
            && a.c_lflag == b.c_lflag && ::cfgetispeed(&a) == ::cfgetispeed(&b)
            && ::cfgetospeed(&a) == ::cfgetospeed(&b);
}

} // namespace

PortHold::PortHold(QStringList lockFolders)
    : d(std::make_unique<State>(std::move(lockFolders)))
{
}

PortHold::~PortHold()
{
    d->release();
}

PortStatus PortHold::acquire(const QString &device)
{
    return d->acquire(device);
}

void PortHold::release()
{
    d->release();
}

bool PortHold::holds(const QString &device) const
{
    return d->holds(device);
}

void PortHold::beforeOpen()
{
    d->beforeOpen();
}

void PortHold::afterClose()
{
    d->afterClose();
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

QByteArray PortHold::programName()
{
    static const QByteArray name = [] {
        QByteArray own = processName(::getpid());
        // Not a name another program could spoof our lock reader with.
        own.replace(' ', '_').replace('\t', '_');
        return own.isEmpty() ? QByteArrayLiteral("calvarin") : own;
    }();
    return name;
}

PortHold::Lock PortHold::readLock(const QString &lockFile)
{
    const QByteArray path = native(lockFile);
    Lock lock;
    struct stat st{};
    if (::lstat(path.constData(), &st) != 0) {
        lock.kind = errno == ENOENT ? Lock::Missing : Lock::Unreadable;
        return lock;
    }
    lock.kind = Lock::Unreadable;
    // A FIFO would block the open, a device would wake hardware, a link could
    // point anywhere: only a regular file is a lock we read.
    if (!S_ISREG(st.st_mode))
        return lock;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
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

QStringList PortHold::State::lockFiles(const QString &device) const
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

PortStatus PortHold::State::checkLockFiles(const QString &device)
{
    const qint64 self = ::getpid();
    for (const QString &file : lockFiles(device)) {
        const Lock lock = readLock(file);
        if (lock.kind == Lock::Missing)
            continue;
        if (lock.kind == Lock::Unreadable)
            return {device, PortState::LockUnreadable, 0, file};
        // Ours, or left by an earlier process that had our PID.
        if (lock.pid == self)
            continue;
        // Our own program's lock whose PID now runs something else was left
        // by a copy of the tool that was killed outright.
        const QByteArray ours = programName().left(kCommLength);
        const bool leftByUs = lock.program.left(kCommLength) == ours && [&] {
            const QByteArray running = processName(lock.pid);
            return !running.isEmpty() && running != ours;
        }();
        if (isAlive(lock.pid) && !leftByUs)
            return {device, PortState::InUse, lock.pid, file};
        if (::unlink(native(file).constData()) != 0 && errno != ENOENT)
            return {device, PortState::StaleLock, lock.pid, file};
    }
    return {device, PortState::Open, 0, {}};
}

bool PortHold::State::isSessionTerminal(quint64 rdev)
{
    if (m_scannedDevice == rdev && m_lastScan.isValid()) {
        // Whoever had it a moment ago most likely still has it: one file, not all of /proc.
        if (m_terminalOwner > 0 && terminalOf(m_terminalOwner) == rdev)
            return true;
        const qint64 age = m_lastScan.elapsed();
        // "Nobody" may stand a while: the kernel is asked again before a byte is read.
        if (m_terminalOwner == 0 && age < kNobodyStandsMs)
            return false;
        if (age < kTerminalCheckMs)
            return m_terminalOwner > 0;
    }
    m_scannedDevice = rdev;
    m_terminalOwner = scanForTerminal(rdev);
    m_lastScan.start();
    return m_terminalOwner > 0;
}

PortStatus PortHold::State::acquire(const QString &device)
{
    PortStatus status{device, PortState::Open, 0, {}};
    if (holds(device)) {
        status = checkLockFiles(device);
        if (status.state != PortState::Open) {
            release();
            return status;
        }
        if (m_lastProbe.elapsed() >= kTerminalCheckMs) {
            m_lastProbe.start();
            if (isTakenBySession(m_fd)) {
                release();
                m_letGo = device;
                m_scannedDevice = 0; // the next look at /proc finds who took it
                status.state = PortState::LetGo;
            }
        }
        return status;
    }
    release();

    if (device.isEmpty()) {
        status.state = PortState::NoDevice;
        return status;
    }
    const QByteArray path = native(device);
    struct stat st{};
    if (::stat(path.constData(), &st) != 0) {
        status.state = errno == EACCES ? PortState::NoPermission : PortState::NoDevice;
        return status;
    }
    if (!S_ISCHR(st.st_mode)) {
        status.state = PortState::NotSerial;
        return status;
    }
    // The cheap refusals first; the look at /proc comes last.
    if (::access(path.constData(), R_OK | W_OK) != 0) {
        status.state = errno == ENOENT ? PortState::NoDevice : PortState::NoPermission;
        return status;
    }
    status = checkLockFiles(device);
    if (status.state != PortState::Open)
        return status;
    const auto sessionTerminal = [&] {
        status.state = m_letGo == device ? PortState::LetGo : PortState::SessionTerminal;
        return status;
    };
    if (isSessionTerminal(st.st_rdev))
        return sessionTerminal();

    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        status.state = errno == EACCES || errno == EPERM ? PortState::NoPermission
                : errno == EBUSY                         ? PortState::InUse
                                                         : PortState::NoDevice;
        return status;
    }
    termios before{};
    if (::tcgetattr(fd, &before) != 0) {
        ::close(fd);
        status.state = PortState::NotSerial;
        return status;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        status.state = PortState::InUse;
        return status;
    }
    // /proc may not show every session (other users' processes can be hidden,
    // and a scan's answer stands a while); the kernel's answer settles it
    // before the line is touched or a byte is read.
    if (isTakenBySession(fd)) {
        ::close(fd);
        m_scannedDevice = 0;
        return sessionTerminal();
    }
    m_before = before;
    m_ours = rawLine(before);
    ::tcsetattr(fd, TCSANOW, &m_ours);
    ::tcgetattr(fd, &m_ours); // what the driver made of it
    m_fd = fd;
    m_device = device;
    m_letGo.clear();
    m_lastProbe.start();
    writeLockFile();
    return status;
}

void PortHold::State::release()
{
    removeLockFile();
    if (m_fd >= 0) {
        // Give the line back as we found it, unless someone has set it since.
        termios now{};
        if (::tcgetattr(m_fd, &now) == 0 && sameLine(now, m_ours))
            ::tcsetattr(m_fd, TCSANOW, &m_before);
        ::close(m_fd); // drops the flock too
    }
    m_fd = -1;
    m_device.clear();
}

void PortHold::State::beforeOpen()
{
    removeLockFile();
}

void PortHold::State::afterClose()
{
    if (m_fd >= 0 && m_lockFile.isEmpty())
        writeLockFile();
}

void PortHold::State::writeLockFile()
{
    const QStringList files = lockFiles(m_device);
    if (files.isEmpty())
        return;
    const QString file = files.first();
    const QByteArray path = native(file);
    int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) {
        // Left by an earlier process that had our PID; the flock says the device is ours.
        const Lock old = readLock(file);
        if (old.kind == Lock::Pid && old.pid == ::getpid() && ::unlink(path.constData()) == 0)
            fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    }
    if (fd < 0)
        return; // no lock folder we may write to; the flock still holds
    // The PID in ten columns, as minicom and picocom read it, and the program,
    // as Qt writes it.
    const QByteArray line = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n'
            + programName() + '\n';
    const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
    ::close(fd);
    if (written)
        m_lockFile = file;
    else
        ::unlink(path.constData());
}

void PortHold::State::removeLockFile()
{
    if (m_lockFile.isEmpty())
        return;
    // Only while it still names us: someone may have replaced it.
    const Lock lock = readLock(m_lockFile);
    if (lock.kind == Lock::Pid && lock.pid == ::getpid())
        ::unlink(native(m_lockFile).constData());
    m_lockFile.clear();
}
