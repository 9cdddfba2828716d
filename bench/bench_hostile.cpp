// The link as a hostile local user and a starved process meet it, on a
// pseudo-terminal at the real 500 ms cycle with the BA streaming at the
// line's rate. Needs root, to act as a second user.
//   bench_hostile [steal] [bare] [nofile] [nproc] [crowd]
#include "benchsupport.h"
#include "descriptorstaken.h"
#include "portselection.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>
#include <thread>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Bench;
using namespace Qt::Literals::StringLiterals;

namespace {
constexpr uid_t kNobody = 65534;
constexpr int kCycleMs = 500;
constexpr int kPollMs = 100;
constexpr int kPort = 3;
constexpr int kRounds = 10;
constexpr int kAttackMs = 5000;

// The tool's side: the re-open cycle and the poll, with the BA streaming
// numbered bytes at 960 bytes/s.
struct Tool
{
    Tool(const QString &folder, Pty &ba)
        : link(folder)
    {
        (void)link.setCommPort(kPort);
        (void)link.setPortOpen(true);
        QObject::connect(&cycle, &QTimer::timeout, [this] {
            ReopenLink(link, QString::number(kPort));
            ++ticks;
            openTicks += link.PortOpen() ? 1 : 0;
        });
        QObject::connect(&poll, &QTimer::timeout, [this] { logged += link.Input().size(); });
        QObject::connect(&stream, &QTimer::timeout, [this, &ba] {
            QByteArray chunk;
            for (int i = 0; i < 10; ++i)
                chunk += char(sent++ & 0xFF);
            ba.write(chunk);
        });
        cycle.start(kCycleMs);
        poll.start(kPollMs);
        stream.start(10);
    }
    SerialLink link;
    QTimer cycle, poll, stream;
    qint64 sent = 0, logged = 0;
    int ticks = 0, openTicks = 0;
};

QByteArray lockPath(const QString &name)
{
    return QFile::encodeName(PortHold::systemLockFolders().value(0) + u'/' + name);
}

// Runs `body` as nobody in a child; its exit code comes back.
template<typename Body>
pid_t asNobody(Body body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(255);
        ::_exit(body());
    }
    return child;
}

int waitExit(pid_t child)
{
    int status = 0;
    while (::waitpid(child, &status, WNOHANG) == 0)
        QTest::qWait(20);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Another user creates either lock name with O_EXCL and opens the device, as
// fast as it can; a round is won when any of it succeeds.
void steal(const QString &folder)
{
    int won = 0;
    qint64 stolenBytes = 0;
    QList<double> winMs;
    for (int round = 0; round < kRounds; ++round) {
        Pty ba;
        ba.linkAs(folder, kPort);
        ::chmod(QFile::encodeName(ba.devicePath()).constData(), 0666);
        Tool tool(folder, ba);
        QTest::qWait(kCycleMs);
        const QByteArray device = QFile::encodeName(ba.devicePath());
        const QByteArray locks[] = {lockPath(u"LCK.."_s + ba.devicePath().mid(5).replace(u'/', u'_')),
                                    lockPath(u"LCK.."_s + QFileInfo(ba.devicePath()).fileName())};
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            qFatal("pipe");
        QElapsedTimer clock;
        clock.start();
        const pid_t attacker = asNobody([&] {
            // Once a lock is ours, keep at the device until the tool lets go of it.
            QElapsedTimer own;
            own.start();
            bool locked = false;
            while (own.elapsed() < kAttackMs) {
                for (const QByteArray &lock : locks) {
                    const int fd = ::open(lock.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                    if (fd >= 0) {
                        const QByteArray pid = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
                        [[maybe_unused]] const auto n = ::write(fd, pid.constData(), size_t(pid.size()));
                        ::close(fd);
                        locked = true;
                    }
                }
                const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
                if (fd >= 0) {
                    char buffer[256];
                    QElapsedTimer reading;
                    reading.start();
                    qint64 got = 0;
                    while (reading.elapsed() < 1000) {
                        const ssize_t n = ::read(fd, buffer, sizeof buffer);
                        got += n > 0 ? n : 0;
                        ::usleep(10'000);
                    }
                    const QByteArray said = QByteArray::number(got) + ' ' + QByteArray::number(own.elapsed());
                    [[maybe_unused]] const auto n = ::write(pipeFds[1], said.constData(), size_t(said.size()));
                    return 2 | (locked ? 1 : 0);
                }
            }
            return locked ? 1 : 0;
        });
        ::close(pipeFds[1]);
        const int result = waitExit(attacker);
        char said[64] = {};
        [[maybe_unused]] const auto n = ::read(pipeFds[0], said, sizeof said - 1);
        ::close(pipeFds[0]);
        if (result > 0) {
            ++won;
            const QList<QByteArray> parts = QByteArray(said).split(' ');
            stolenBytes += parts.value(0).toLongLong();
            winMs << parts.value(1).toDouble();
        }
        // What the attacker left.
        for (const QByteArray &lock : locks) {
            struct stat st = {};
            if (::lstat(lock.constData(), &st) == 0 && st.st_uid == kNobody)
                ::unlink(lock.constData());
        }
    }
    table(QStringLiteral("Another local user takes the held port: %1 rounds of %2 s")
                  .arg(kRounds)
                  .arg(kAttackMs / 1000),
          {QStringLiteral("rounds won"), QStringLiteral("median time to the device (ms)"),
           QStringLiteral("BA bytes it read"), QStringLiteral("target")},
          {{QString::number(won), winMs.isEmpty() ? QStringLiteral("-") : number(percentile(winMs, 50), 0),
            QString::number(stolenBytes), QStringLiteral("0 won")}});
}

// Another user's live process writes the device's bare lock name (LCK..3
// for /dev/pts/3) once: does the tool let go of what it holds?
void bareName(const QString &folder)
{
    Pty ba;
    ba.linkAs(folder, kPort);
    Tool tool(folder, ba);
    QTest::qWait(kCycleMs);
    const QByteArray lock = lockPath(u"LCK.."_s + QFileInfo(ba.devicePath()).fileName());
    int ready[2];
    if (::pipe(ready) != 0)
        qFatal("pipe");
    const pid_t owner = asNobody([&] {
        const int fd = ::open(lock.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        const QByteArray pid = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
        const bool written = fd >= 0 && ::write(fd, pid.constData(), size_t(pid.size())) == pid.size();
        [[maybe_unused]] const auto n = ::write(ready[1], written ? "y" : "n", 1);
        ::pause();
        return 0;
    });
    char written = 'n';
    [[maybe_unused]] const auto n = ::read(ready[0], &written, 1);
    QElapsedTimer clock;
    clock.start();
    const bool letGo = QTest::qWaitFor([&] { return !tool.link.PortOpen(); }, 3000);
    const qint64 ms = clock.elapsed();
    ::kill(owner, SIGKILL);
    waitExit(owner);
    ::unlink(lock.constData());
    ::close(ready[0]);
    ::close(ready[1]);
    table(QStringLiteral("Another user's lock under the device's bare name, while the tool holds it"),
          {QStringLiteral("lock written"), QStringLiteral("the tool let go"), QStringLiteral("after (ms)"),
           QStringLiteral("target")},
          {{written == 'y' ? QStringLiteral("yes") : QStringLiteral("no (the tool's own stands there)"),
            letGo ? QStringLiteral("yes") : QStringLiteral("no, within 3 s"),
            letGo ? QString::number(ms) : QStringLiteral("-"), QStringLiteral("never lets go")}});
}

// Out of file descriptors while holding a cooked line: 10 s of the BA
// streaming through the cycle.
void outOfFiles(const QString &folder)
{
    Pty ba(Pty::Line::Cooked);
    ba.linkAs(folder, kPort);
    Tool tool(folder, ba);
    QTest::qWait(kCycleMs);
    std::optional<DescriptorsTaken> taken(std::in_place, ba.devicePath());
    const int ticksBefore = tool.ticks, openBefore = tool.openTicks;
    QByteArray echoed;
    QTimer reader;
    QObject::connect(&reader, &QTimer::timeout, [&] { echoed += ba.read(0, 0); });
    reader.start(5);
    QTest::qWait(10'000);
    tool.stream.stop();
    QTest::qWait(300);
    echoed += ba.read(0, 100);
    // From the start of the hold: nothing in flight is counted on one side only.
    const qint64 sent = tool.sent, logged = tool.logged;
    const int ticks = tool.ticks - ticksBefore, open = tool.openTicks - openBefore;
    taken.reset();
    table(QStringLiteral("Out of file descriptors while holding a cooked line, 10 s at 960 bytes/s"),
          {QStringLiteral("sent"), QStringLiteral("logged"), QStringLiteral("echoed back"),
           QStringLiteral("ticks open"), QStringLiteral("target")},
          {{QString::number(sent), QString::number(logged), QString::number(echoed.size()),
            QStringLiteral("%1 of %2").arg(open).arg(ticks), QStringLiteral("all logged, 0 echoed, always open")}});
}

// The tool runs as another user who may start no more processes, so the
// terminal check can't run; a session then takes the held pty as its
// terminal and 200 keys are typed there, from 2 s on, over 10 s.
void terminalCheckStarved(const QString &folder)
{
    constexpr int kKeys = 200;
    Pty ba;
    ba.linkAs(folder, kPort);
    ::chmod(QFile::encodeName(ba.devicePath()).constData(), 0666);
    ::chmod(QFile::encodeName(folder).constData(), 0777);
    ::chmod(QFile::encodeName(QFileInfo(folder).path()).constData(), 0777);
    int held[2], result[2];
    if (::pipe(held) != 0 || ::pipe(result) != 0)
        qFatal("pipe");
    // The child drives the link itself: the parent's event loop is not its.
    const pid_t tool = asNobody([&] {
        SerialLink link(folder);
        (void)link.setCommPort(kPort);
        if (!link.setPortOpen(true))
            return 250;
        rlimit limit{};
        ::getrlimit(RLIMIT_NPROC, &limit);
        limit.rlim_cur = 0;
        ::setrlimit(RLIMIT_NPROC, &limit);
        [[maybe_unused]] auto n = ::write(held[1], "h", 1);
        qint64 taken = 0, letGoMs = -1;
        QElapsedTimer clock, cycle;
        clock.start();
        cycle.start();
        while (clock.elapsed() < 14'000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, kPollMs);
            taken += link.Input().size();
            if (cycle.elapsed() >= kCycleMs) {
                cycle.start();
                ReopenLink(link, QString::number(kPort));
                if (!link.PortOpen() && letGoMs < 0)
                    letGoMs = clock.elapsed();
            }
        }
        const QByteArray said = QByteArray::number(letGoMs);
        n = ::write(result[1], said.constData(), size_t(said.size()));
        return int(std::min<qint64>(taken, kKeys));
    });
    ::close(held[1]);
    ::close(result[1]);
    char c = 0;
    QByteArray letGo = "-";
    if (::read(held[0], &c, 1) == 1 && ba.becomeSessionTerminal()) {
        ::sleep(2);
        for (int key = 0; key < kKeys; ++key) {
            ba.write("k");
            ::usleep(50'000);
        }
    }
    const int taken = waitExit(tool);
    char said[32] = {};
    if (::read(result[0], said, sizeof said - 1) > 0)
        letGo = said;
    ::close(held[0]);
    ::close(result[0]);
    table(QStringLiteral("The terminal check can't run (no process to spare), and a session takes the held port"),
          {QStringLiteral("keys typed"), QStringLiteral("keys the tool took"),
           QStringLiteral("let go after (ms from the hold)"), QStringLiteral("target")},
          {{QString::number(kKeys), QString::number(taken), QString::fromLatin1(letGo),
            QStringLiteral("0 taken, let go within 2 s of the session")}});
}

// The event loop as the window runs it (QTest's waits sleep between their
// rounds), until `until` holds or `ms` have passed; without `until`, `ms`.
bool runUntil(const std::function<bool()> &until, int ms)
{
    QEventLoop loop;
    QTimer check, end;
    bool reached = false;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if ((reached = until()))
            loop.quit();
    });
    QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (until)
        check.start(20);
    end.setSingleShot(true);
    end.start(ms);
    loop.exec();
    return reached;
}

// A crowded machine: 5,000 more processes holding 150,000 descriptors, all on
// a node under /dev, which the look must stat. The window's event loop is
// timed with a 5 ms timer while the tool is refused (another process holds
// an flock on the device), as the box moves to a free device, and while held.
void crowd(const QString &folder)
{
    constexpr int kProcesses = 5000;
    constexpr int kDescriptorsEach = 30;
    constexpr int kPhaseMs = 10'000;
    QList<int> spare;
    for (int i = 0; i < kDescriptorsEach; ++i)
        spare << ::open("/dev/null", O_RDONLY); // inherited by every sleeper
    QList<pid_t> sleepers;
    char sleep[] = "sleep", forever[] = "3600";
    char *argv[] = {sleep, forever, nullptr};
    for (int i = 0; i < kProcesses; ++i) {
        pid_t pid = 0;
        if (::posix_spawnp(&pid, "sleep", nullptr, nullptr, argv, environ) == 0)
            sleepers << pid;
    }
    for (const int fd : std::as_const(spare))
        ::close(fd);

    Pty held, free, locked;
    held.linkAs(folder, kPort);
    free.linkAs(folder, kPort + 1);
    // Its opens fail, with nobody to be seen, as with root's exclusive open.
    locked.linkAs(folder, kPort + 2);
    int lock = 1;
    ::ioctl(locked.controlFd(), TIOCSPTLCK, &lock);
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::close_range(3, ~0U, 0); // the free device's descriptors are not its
        const int fd = ::open(QFile::encodeName(held.devicePath()).constData(), O_RDWR | O_NOCTTY);
        if (fd >= 0 && ::flock(fd, LOCK_EX) == 0)
            ::pause();
        ::_exit(1);
    }
    SerialLink link(folder);
    int port = kPort;
    QTimer cycle;
    QObject::connect(&cycle, &QTimer::timeout, [&] { ReopenLink(link, QString::number(port)); });
    cycle.start(kCycleMs);
    QElapsedTimer since;
    qint64 longest = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { longest = std::max(longest, since.restart()); });
    // A typed key comes from outside the loop and waits for it like any
    // event posted from another thread: one due every 20 ms, timed from when
    // it was due, so a process the machine holds back counts too.
    QList<double> waits;
    std::atomic<bool> typing = false, done = false;
    std::thread typist([&] {
        using namespace std::chrono;
        auto due = steady_clock::now();
        while (!done) {
            due = std::max(due + milliseconds(20), steady_clock::now() - milliseconds(20));
            std::this_thread::sleep_until(due);
            if (!typing)
                continue;
            QMetaObject::invokeMethod(
                    &beat, [&waits, due] { waits << duration<double, std::milli>(steady_clock::now() - due).count(); },
                    Qt::QueuedConnection);
        }
    });
    const auto cpuMs = [] {
        rusage use{};
        ::getrusage(RUSAGE_SELF, &use);
        return (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000.0
                + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000.0;
    };
    const auto said = [](const PortStatus &status) {
        switch (status.state) {
        case PortState::Open: return QStringLiteral("open");
        case PortState::InUse: return QStringLiteral("in use by %1").arg(status.pid);
        case PortState::Looking: return QStringLiteral("looking");
        case PortState::NoDevice: return QStringLiteral("can't open");
        default: return QStringLiteral("state %1").arg(int(status.state));
        }
    };
    QList<QStringList> rows;
    // `start` begins the phase once the looks that end the one before are done.
    const auto phase = [&](const QString &name, const std::function<void()> &start, const std::function<bool()> &until,
                           int ms, bool settle = true) {
        // The looks that start a phase (the first, and the one after an open) aside.
        if (settle) {
            QTest::qWait(2 * kCycleMs);
            (void)QTest::qWaitFor([&] { return !link.looking(); }, kPhaseMs);
        }
        start();
        longest = 0;
        since.start();
        beat.start(5);
        waits.clear();
        typing = true;
        const double cpu = cpuMs();
        QElapsedTimer clock;
        clock.start();
        const bool reached = runUntil(until, ms);
        longest = std::max(longest, since.elapsed()); // a stall that ends the phase counts too
        const qint64 took = clock.elapsed();
        double share = 100.0 * (cpuMs() - cpu) / double(took);
        typing = false;
        (void)runUntil({}, 30); // the last key's turn
        beat.stop();
        if (!reached) {
            // A steady phase's CPU, in a window as long without the instruments.
            const double quiet = cpuMs();
            clock.restart();
            (void)runUntil({}, ms);
            share = 100.0 * (cpuMs() - quiet) / double(clock.elapsed());
        }
        rows << QStringList{
                name,
                QString::number(longest),
                QStringLiteral("%1 / %2").arg(number(percentile(waits, 99)), number(percentile(waits, 100))),
                number(share),
                reached ? QString::number(took) : QStringLiteral("-"),
                said(link.portStatus())};
    };
    const auto nothing = [] {};
    const std::function<bool()> never;
    phase(QStringLiteral("refused (an flock holder)"), nothing, never, kPhaseMs);
    // Its first look, then what a device refused for good costs.
    phase(
            QStringLiteral("refused, nobody seen (the open fails): the first look"), [&] { port = kPort + 2; },
            [&] { return link.portStatus().state == PortState::NoDevice; }, kPhaseMs);
    phase(QStringLiteral("refused, nobody seen: the 30 s after it"), nothing, never, 3 * kPhaseMs, false);
    phase(
            QStringLiteral("box moved to a free device"), [&] { port = kPort + 1; }, [&] { return link.PortOpen(); },
            kPhaseMs);
    phase(QStringLiteral("held"), nothing, never, kPhaseMs);
    // What the machine's own load makes of the loop, for comparison: no
    // re-open cycle, no look; the device stays held.
    phase(
            QStringLiteral("held, the re-open cycle stopped"),
            [&] {
                cycle.stop();
                (void)link.setPortOpen(false);
            },
            never, kPhaseMs);
    done = true;
    typist.join();
    ::kill(holder, SIGKILL);
    waitExit(holder);
    for (const pid_t pid : std::as_const(sleepers))
        ::kill(pid, SIGKILL);
    for (const pid_t pid : std::as_const(sleepers))
        ::waitpid(pid, nullptr, 0);
    table(QStringLiteral("%1 more processes holding %2 descriptors on /dev/null, 10 s a phase")
                  .arg(sleepers.size())
                  .arg(sleepers.size() * kDescriptorsEach),
          {QStringLiteral("phase"), QStringLiteral("longest event-loop gap (ms)"),
           QStringLiteral("typed key's wait, p99 / max (ms)"), QStringLiteral("CPU (% of a core)"),
           QStringLiteral("open after (ms)"), QStringLiteral("status")},
          rows);
    std::puts("Targets: gaps under 50 ms; a key's wait p99 <= 16 ms; CPU under 1% while refused.\n"
              "A phase that runs its length is then run as long again without the 5 ms timer and the\n"
              "typist, and its CPU is from that window.");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0) {
        std::puts("bench_hostile: needs root, to act as a second user; nothing measured");
        return 0;
    }
    const QStringList args = QCoreApplication::arguments().mid(1);
    const auto wanted = [&](const char *section) { return args.isEmpty() || args.contains(QLatin1String(section)); };
    QTemporaryDir folder;
    if (wanted("steal"))
        steal(folder.path());
    if (wanted("bare"))
        bareName(folder.path());
    if (wanted("nofile"))
        outOfFiles(folder.path());
    if (wanted("nproc"))
        terminalCheckStarved(folder.path());
    if (wanted("crowd"))
        crowd(folder.path());
    return 0;
}
