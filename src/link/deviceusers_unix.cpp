#include "deviceusers.h"

#include <QByteArrayList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How long a look that found nobody stands for a device it was about.
constexpr qint64 kNobodyStandsMs = 5000;

// A look that could not open what it had to for want of descriptors knows nothing.
bool outOfFiles(int error)
{
    return error == EMFILE || error == ENFILE;
}

// The controlling terminal of a process in the kernel's encoding (field 7 of
// /proc/PID/stat); 0 for none or when it can't be read.
quint64 terminalOf(long long pid, bool *blind = nullptr)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", pid);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 && blind && outOfFiles(errno))
        *blind = true;
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

// Whether `pid` has a descriptor open on `rdev`. Another user's descriptors
// can't be seen without privilege; they read as none.
bool hasOpen(long long pid, quint64 rdev)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/fd", pid);
    const int dirFd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    DIR *fds = ::fdopendir(dirFd);
    if (!fds) {
        ::close(dirFd);
        return false;
    }
    bool found = false;
    while (const dirent *entry = ::readdir(fds)) {
        struct stat st = {};
        if (entry->d_name[0] != '.' && ::fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode)
            && quint64(st.st_rdev) == rdev) {
            found = true;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

// Another process's flock (or POSIX lock) on the node, from /proc/locks:
// "1: FLOCK  ADVISORY  WRITE 4242 00:19:5 0 EOF". Its PID, or 0.
qint64 lockHolder(const struct stat &node)
{
    const int fd = ::open("/proc/locks", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    QByteArray text;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, n);
    ::close(fd);
    const long long self = ::getpid();
    for (const QByteArray &line : text.split('\n')) {
        char kind[16] = {};
        long long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        // Waiters ("-> FLOCK ...") hold nothing yet.
        if (line.contains("->")
            || std::sscanf(line.constData(), "%*d: %15s %*s %*s %lld %x:%x:%llu", kind, &pid, &major, &minor, &inode)
                    != 5)
            continue;
        if ((std::strcmp(kind, "FLOCK") == 0 || std::strcmp(kind, "POSIX") == 0) && pid > 0 && pid != self
            && ::makedev(major, minor) == node.st_dev && inode == node.st_ino)
            return pid;
    }
    return 0;
}

// Whether `pid` still uses the device as it was found to.
bool stillUses(const DeviceUsers::Answer &found, const struct stat &node)
{
    switch (found.use) {
    case DeviceUsers::Use::Terminal: return terminalOf(found.pid) == node.st_rdev;
    case DeviceUsers::Use::Open: return hasOpen(found.pid, node.st_rdev);
    case DeviceUsers::Use::Flock: return lockHolder(node) == found.pid;
    default: return false;
    }
}

} // namespace

// The child is a vfork: a fork would copy the page tables of a process that a
// long log makes hundreds of MiB large. It borrows our memory until it exits,
// so it makes system calls only, with every signal blocked.
DeviceUsers::Use DeviceUsers::askKernel(int fd)
{
    enum : int { kFree = 0, kTaken = 1, kUnknown = 2 };
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
        return Use::Unknown;
    int status = 0;
    pid_t reaped = -1;
    while ((reaped = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    errno = savedErrno;
    // With SIGCHLD ignored the kernel reaps the child itself: no status to trust.
    if (reaped != child || !WIFEXITED(status))
        return Use::Unknown;
    switch (WEXITSTATUS(status)) {
    case kFree: return Use::None;
    case kTaken: return Use::Terminal;
    default: return Use::Unknown;
    }
}

DeviceUsers::Answer DeviceUsers::look(const struct stat &node, LookFor what)
{
    const bool terminalOnly = what.terminalOnly;
    const auto rdev = quint64(node.st_rdev);
    // A full look answers for terminals too.
    const bool cached = !what.fresh && m_device == rdev && m_lastLook.isValid() && (terminalOnly || !m_terminalOnly);
    if (cached) {
        // Whoever had it a moment ago most likely still has it: one process, not all of /proc.
        if (m_found.pid > 0 && (!terminalOnly || m_found.use == Use::Terminal) && stillUses(m_found, node))
            return m_found;
        if (m_found.use == Use::None && m_lastLook.elapsed() < kNobodyStandsMs)
            return m_found;
    }
    Answer found;
    if (!terminalOnly) {
        if (const qint64 holder = lockHolder(node))
            found = {Use::Flock, holder};
    }
    if (found.use == Use::None) {
        DIR *proc = ::opendir("/proc");
        if (!proc) {
            m_device = 0;
            return {Use::Unknown, 0};
        }
        const long long self = ::getpid();
        bool blind = false;
        while (const dirent *entry = ::readdir(proc)) {
            if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
                continue;
            const long long pid = std::strtoll(entry->d_name, nullptr, 10);
            if (pid == self)
                continue;
            // A session's terminal says more than a descriptor: look on for one.
            if (terminalOf(pid, &blind) == rdev) {
                found = {Use::Terminal, pid};
                break;
            }
            if (!terminalOnly && found.use == Use::None && hasOpen(pid, rdev))
                found = {Use::Open, pid};
        }
        ::closedir(proc);
        if (blind && found.use == Use::None) {
            m_device = 0;
            return {Use::Unknown, 0};
        }
    }
    m_device = rdev;
    m_terminalOnly = terminalOnly;
    m_found = found;
    m_lastLook.start();
    return found;
}

void DeviceUsers::noSessionHas(quint64 rdev)
{
    // Only a full look's "nobody" may stand for descriptors and locks too.
    if (m_device == rdev && m_found.use == Use::Terminal)
        forget();
}
