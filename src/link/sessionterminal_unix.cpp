#include "sessionterminal.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// /proc is scanned no more often than this per device.
constexpr qint64 kScanEveryMs = 1000;
// How long a scan that found no session on a device stands.
constexpr qint64 kNobodyStandsMs = 5000;

// The controlling terminal of a process in the kernel's encoding (field 7 of
// /proc/PID/stat); 0 for none or when it can't be read.
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

// A process that has `rdev` as its controlling terminal, 0 for none, -1 when
// /proc can't be read.
qint64 scanForTerminal(quint64 rdev)
{
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return -1;
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

} // namespace

// The child is a vfork: a fork would copy the page tables of a process that a
// long log makes hundreds of MiB large. It borrows our memory until it exits,
// so it makes system calls only, with every signal blocked.
SessionTerminal::Answer SessionTerminal::askKernel(int fd)
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
        return Answer::Unknown;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        return Answer::Unknown;
    switch (WEXITSTATUS(status)) {
    case kFree: return Answer::Free;
    case kTaken: return Answer::Taken;
    default: return Answer::Unknown;
    }
}

SessionTerminal::Answer SessionTerminal::scan(quint64 rdev, bool fresh)
{
    if (!fresh && m_scannedDevice == rdev && m_lastScan.isValid()) {
        // Whoever had it a moment ago most likely still has it: one file, not all of /proc.
        if (m_owner > 0 && terminalOf(m_owner) == rdev)
            return Answer::Taken;
        const qint64 age = m_lastScan.elapsed();
        // "Nobody" may stand a while: the kernel is asked before a byte is read.
        if (m_owner == 0 && age < kNobodyStandsMs)
            return Answer::Free;
        if (age < kScanEveryMs)
            return m_owner > 0 ? Answer::Taken : Answer::Free;
    }
    const qint64 owner = scanForTerminal(rdev);
    if (owner < 0) {
        m_scannedDevice = 0;
        return Answer::Unknown;
    }
    m_scannedDevice = rdev;
    m_owner = owner;
    m_lastScan.start();
    return owner > 0 ? Answer::Taken : Answer::Free;
}
