#include "deviceusers.h"
#include "nodewatch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

// A look that costs much CPU on a crowded machine rests this many times its
// cost before the same question is asked again. With the node watched,
// whoever frees it by a close ends the rest, so it can be long from the
// start: a device refused for good costs well under 1% of a core.
constexpr int kWatchedRest = 256;
// Unwatched, twice as long each time up to the most: a few percent.
constexpr int kFirstRest = 4;
constexpr int kLongestRest = 32;
// Looks that cost less than this never make the next one wait.
constexpr auto kFreeLook = std::chrono::milliseconds(100);

// This thread's CPU time so far.
std::chrono::nanoseconds cpuTime()
{
    timespec now = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// Both name the same node, not only the same device: a replugged adapter's
// new node is a new question.
bool sameNode(const struct stat &a, const struct stat &b)
{
    return ProcWalk::sameDevice(a, b) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
} // namespace

struct DeviceUsers::Worker
{
    std::function<void()> answered;
    Walk walk;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    bool quit = false;
    quint64 wanted = 0; // the look last asked for; older ones are given up
    std::optional<ProcWalk::Look> queued;
    bool atOnce = false;
    QByteArray path;
    struct stat lastNode = {}; // what the last look was about
    bool running = false;
    Clock::time_point started;
    struct stat about = {};
    std::optional<Answer> done;
    Clock::time_point doneAt;
    Clock::time_point restUntil;
    int rest = kFirstRest; // times the last look's cost
    NodeWatch node;        // rests end early when someone closes it

    // Waits out the rest; false when the question was given up meanwhile.
    bool rested(std::unique_lock<std::mutex> &lock, quint64 id)
    {
        while (!quit && wanted == id && !node.freed()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(restUntil - Clock::now()).count();
            if (left <= 0)
                return true;
            lock.unlock();
            node.wait(left);
            lock.lock();
        }
        return !quit && wanted == id;
    }

    void run()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return quit || queued; });
            if (quit)
                return;
            const ProcWalk::Look what = *std::exchange(queued, std::nullopt);
            const quint64 id = wanted;
            // Rest after a long look before the same question, unless it asks about a known holder.
            // A question asked at once (once held, while held) never rests, and a
            // device held starts the count afresh.
            const bool urgent = atOnce;
            if (urgent) {
                lastNode = {};
                restUntil = Clock::now();
            }
            const bool again = !urgent && what.hint.pid == 0 && sameNode(what.node, lastNode);
            if (again && !rested(lock, id))
                continue;
            if (!urgent) {
                const bool watched = again ? node.watching() : node.watch(path);
                rest = watched ? kWatchedRest : again ? std::min(2 * rest, kLongestRest) : kFirstRest;
                lastNode = what.node;
            }
            running = true;
            started = Clock::now();
            const auto spent = cpuTime();
            lock.unlock();
            const Answer found = walk(what, [&] {
                const std::lock_guard stop(mutex);
                return quit || wanted != id;
            });
            lock.lock();
            running = false;
            // What the look cost in CPU, not how long it waited for a core on a busy machine.
            const auto took = cpuTime() - spent;
            if (!urgent)
                restUntil = took > kFreeLook ? Clock::now() + rest * took : Clock::now();
            if (wanted != id || quit)
                continue;
            done = found;
            doneAt = Clock::now();
            lock.unlock();
            if (answered)
                answered();
            lock.lock();
        }
    }
};

DeviceUsers::DeviceUsers(std::function<void()> answered, Walk walk)
    : d(std::make_unique<Worker>())
{
    d->answered = std::move(answered);
    d->walk = std::move(walk);
    try {
        d->thread = std::thread([this] { d->run(); });
    } catch (const std::system_error &) {
        // No thread to be had: every look answers "unknown".
    }
}

DeviceUsers::~DeviceUsers()
{
    {
        const std::lock_guard lock(d->mutex);
        d->quit = true;
    }
    d->wake.notify_all();
    d->node.ring();
    if (d->thread.joinable())
        d->thread.join();
}

void DeviceUsers::look(const struct stat &node, LookFor what)
{
    {
        const std::lock_guard lock(d->mutex);
        ++d->wanted;
        d->about = node;
        d->done.reset();
        d->atOnce = what.atOnce;
        d->path = what.path;
        if (d->thread.joinable())
            d->queued = ProcWalk::Look{node, what.terminalOnly, what.hint, {}};
        else
            d->done = Answer{Use::Unknown, 0};
    }
    d->wake.notify_all();
    d->node.ring();
}

std::optional<DeviceUsers::Answer> DeviceUsers::answer(const struct stat &node, qint64 nobodyStandsMs)
{
    const std::lock_guard lock(d->mutex);
    if (!d->done || !ProcWalk::sameDevice(node, d->about))
        return std::nullopt;
    const bool stale = nobodyStandsMs >= 0 && d->done->use == Use::None
            && Clock::now() - d->doneAt > std::chrono::milliseconds(nobodyStandsMs);
    const Answer done = *std::exchange(d->done, std::nullopt);
    return stale ? std::nullopt : std::optional(done);
}

bool DeviceUsers::looking(const struct stat &node) const
{
    const std::lock_guard lock(d->mutex);
    return (d->queued || d->running) && ProcWalk::sameDevice(node, d->about);
}

qint64 DeviceUsers::lookingMs() const
{
    const std::lock_guard lock(d->mutex);
    if (!d->running)
        return 0;
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - d->started).count();
}

void DeviceUsers::forget()
{
    const std::lock_guard lock(d->mutex);
    ++d->wanted;
    d->queued.reset();
    d->done.reset();
}

void DeviceUsers::closedOurs()
{
    const std::lock_guard lock(d->mutex);
    (void)d->node.freed();
}

// The child is a vfork: a fork would copy the page tables of a process that a
// long log makes hundreds of MiB large. It borrows our memory until it exits,
// so it makes system calls only, with every signal blocked. Its answer comes
// through a pipe, so that a SIGCHLD ignored, which takes its exit status
// away, takes nothing.
DeviceUsers::Use DeviceUsers::askKernel(int fd)
{
    enum : char { kFree = 'f', kTaken = 't', kUnknown = 'u' };
    int answer[2];
    if (::pipe2(answer, O_CLOEXEC) != 0)
        return Use::Unknown;
    const std::lock_guard quiet(ProcWalk::childGuard());
    sigset_t all, old;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const int savedErrno = errno;
    const pid_t child = ::vfork();
    if (child == 0) {
        char said = kUnknown;
        if (::setsid() >= 0 && ::ioctl(fd, TIOCSCTTY, 0) == 0) {
            ::ioctl(fd, TIOCNOTTY);
            said = kFree;
        } else if (errno == EPERM) {
            said = kTaken;
        }
        ::_exit(::write(answer[1], &said, 1) == 1 ? 0 : 1);
    }
    errno = savedErrno; // the child's errno was ours
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ::close(answer[1]);
    char said = kUnknown;
    if (child > 0) {
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (::read(answer[0], &said, 1) != 1)
            said = kUnknown;
    }
    ::close(answer[0]);
    errno = savedErrno;
    switch (said) {
    case kFree: return Use::None;
    case kTaken: return Use::Terminal;
    default: return Use::Unknown;
    }
}
