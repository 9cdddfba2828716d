#include "procwalk.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <string>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

bool outOfFiles(int error)
{
    return error == EMFILE || error == ENFILE;
}

// A descriptor owned for the length of a scope.
struct Fd
{
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// A folder to read, or null with errno set.
DIR *openFolder(int at, const char *name)
{
    const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *folder = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (fd >= 0 && !folder)
        ::close(fd);
    return folder;
}

// A small file under /proc, whole; empty when it can't be read.
std::string readAt(int dir, const char *name, size_t limit)
{
    const Fd file{::openat(dir, name, O_RDONLY | O_CLOEXEC)};
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    while (file.fd >= 0 && text.size() < limit && (n = ::read(file.fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    return text;
}

class Walker
{
public:
    Walker(const ProcWalk::Look &what, const std::function<bool()> &cancelled)
        : m_what(what)
        , m_cancelled(cancelled)
        , m_pty(ProcWalk::isPty(what.node.st_rdev))
    {
    }

    enum class Seen { No, Yes, Hidden };

    ProcWalk::Answer look();

private:
    int openProcess(long long pid)
    {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/%lld", pid);
        // A process opened while the kernel check's child is not alive is never that child.
        const std::lock_guard quiet(ProcWalk::childGuard());
        const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        m_blind = m_blind || (fd < 0 && outOfFiles(errno));
        return fd;
    }
    bool hasTerminal(int process);
    Seen tableHas(int process, const std::string &table, bool locked);
    Seen processHas(int process, long long pid, bool locked);
    // `lockSeen`: /proc/locks shows its lock now, so a holder whose table is
    // hidden counts while it lives.
    bool stillUses(const ProcWalk::Answer &found, bool lockSeen = false);
    ProcWalk::Answer lockOnNode();

    const ProcWalk::Look &m_what;
    const std::function<bool()> &m_cancelled;
    const bool m_pty;
    const long long m_self = ::getpid();
    bool m_blind = false;
};

// Field 7 of /proc/PID/stat, the controlling terminal in the kernel's encoding.
bool Walker::hasTerminal(int process)
{
    const std::string stat = readAt(process, "stat", 1024);
    // The command name may hold spaces and parentheses; the fields follow the last ')'.
    const size_t fields = stat.rfind(')');
    int ttyNr = 0;
    if (fields == std::string::npos || std::sscanf(stat.c_str() + fields + 1, " %*c %*d %*d %*d %d", &ttyNr) != 1
        || ttyNr == 0)
        return false;
    const auto encoded = unsigned(ttyNr);
    return ::makedev((encoded >> 8) & 0xFFF, (encoded & 0xFF) | ((encoded >> 12) & 0xFFF00)) == m_what.node.st_rdev;
}

// Whether a descriptor table ("fd", or a thread's "task/TID/fd") has the
// device, and with `locked` a lock through it. Another user's tables are hidden.
Walker::Seen Walker::tableHas(int process, const std::string &table, bool locked)
{
    DIR *entries = openFolder(process, table.c_str());
    if (!entries) {
        m_blind = m_blind || outOfFiles(errno);
        return errno == EACCES || errno == EPERM ? Seen::Hidden : Seen::No;
    }
    const int folder = ::dirfd(entries);
    Seen seen = Seen::No;
    while (const dirent *entry = ::readdir(entries)) {
        char target[16];
        // Only a node under /dev is stat'ed: the link text costs no file system anything.
        const ssize_t n = ::readlinkat(folder, entry->d_name, target, sizeof target - 1);
        if (n < 5 || std::memcmp(target, "/dev/", 5) != 0)
            continue;
        target[n] = '\0';
        if (m_what.statting)
            m_what.statting(target);
        struct stat st = {};
        if (::fstatat(folder, entry->d_name, &st, 0) != 0 || !ProcWalk::sameDevice(st, m_what.node))
            continue;
        const std::string info = table.substr(0, table.size() - 2) + "fdinfo/" + entry->d_name;
        if (!locked || readAt(process, info.c_str(), 64 * 1024).find("\nlock:") != std::string::npos) {
            seen = Seen::Yes;
            break;
        }
    }
    ::closedir(entries);
    return seen;
}

// The process's own table, then those of threads that unshared theirs.
Walker::Seen Walker::processHas(int process, long long pid, bool locked)
{
    const Seen seen = tableHas(process, "fd", locked);
    struct stat tasks = {};
    // A task folder links its threads: two links for one thread.
    if (seen != Seen::No || ::fstatat(process, "task", &tasks, 0) != 0 || tasks.st_nlink <= 3)
        return seen;
    DIR *threads = openFolder(process, "task");
    if (!threads)
        return seen;
    Seen found = Seen::No;
    while (const dirent *entry = ::readdir(threads)) {
        const long long tid = std::strtoll(entry->d_name, nullptr, 10);
        if (tid <= 0 || tid == pid || ::syscall(SYS_kcmp, pid, tid, KCMP_FILES, 0, 0) == 0)
            continue;
        if ((found = tableHas(process, "task/" + std::string(entry->d_name) + "/fd", locked)) == Seen::Yes)
            break;
    }
    ::closedir(threads);
    return found;
}

bool Walker::stillUses(const ProcWalk::Answer &found, bool lockSeen)
{
    const Fd process{openProcess(found.pid)};
    if (process.fd < 0)
        return false;
    switch (found.use) {
    case ProcWalk::Use::Terminal: return hasTerminal(process.fd);
    case ProcWalk::Use::Open: return processHas(process.fd, found.pid, false) == Seen::Yes;
    case ProcWalk::Use::Flock: {
        const Seen seen = processHas(process.fd, found.pid, true);
        return seen == Seen::Yes || (seen == Seen::Hidden && lockSeen);
    }
    default: return false;
    }
}

// A lock on the node: named by its taker while that still holds it (an
// flock's taker may have gone and left it to a child).
ProcWalk::Answer Walker::lockOnNode()
{
    ProcWalk::Answer found;
    for (const qint64 pid : ProcWalk::lockersOf(m_what.node)) {
        if (pid == m_self)
            continue;
        if (pid > 0 && stillUses({ProcWalk::Use::Flock, pid}, true))
            return {ProcWalk::Use::Flock, pid};
        found.use = ProcWalk::Use::Flock;
    }
    return found;
}

ProcWalk::Answer Walker::look()
{
    // Whoever had it a moment ago most likely still has it: one process, not all of /proc.
    if (m_what.hint.pid > 0 && stillUses(m_what.hint))
        return m_what.hint;
    const ProcWalk::Answer lock = m_what.terminalOnly ? ProcWalk::Answer{} : lockOnNode();
    if (lock.pid > 0)
        return lock;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return {ProcWalk::Use::Unknown, 0};
    ProcWalk::Answer terminal, open;
    while (const dirent *entry = ::readdir(proc)) {
        if (m_cancelled()) {
            m_blind = true;
            break;
        }
        const long long pid = std::strtoll(entry->d_name, nullptr, 10);
        if (pid <= 0 || pid == m_self)
            continue;
        const Fd process{openProcess(pid)};
        if (process.fd < 0)
            continue;
        const bool session = hasTerminal(process.fd);
        // Any process's terminal number is the device itself, but not a pty's:
        // a container's pts/0 has the same. The kernel's answer decides there.
        if (session && !m_pty) {
            terminal = {ProcWalk::Use::Terminal, pid};
            break;
        }
        if (m_what.terminalOnly && !session)
            continue;
        const Seen seen = processHas(process.fd, pid, false);
        if (session && (seen == Seen::Yes || (seen == Seen::Hidden && m_what.terminalOnly))) {
            terminal = {ProcWalk::Use::Terminal, pid};
            break;
        }
        if (seen == Seen::Yes && open.pid == 0)
            open = {ProcWalk::Use::Open, pid};
    }
    ::closedir(proc);
    if (terminal.pid > 0)
        return terminal;
    // A lock whose taker has gone is named by a process that has the node open.
    if (lock.use == ProcWalk::Use::Flock)
        return {ProcWalk::Use::Flock, open.pid};
    if (m_blind && open.pid == 0)
        return {ProcWalk::Use::Unknown, 0};
    return open;
}

} // namespace

ProcWalk::Answer ProcWalk::look(const Look &what, const std::function<bool()> &cancelled)
{
    return Walker(what, cancelled).look();
}
