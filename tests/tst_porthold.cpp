#include "descriptorstaken.h"
#include "deviceusers.h"
#include "lockfiles.h"
#include "locknames.h"
#include "porthold.h"
#include "pseudoterminal.h"
#include "waits.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <optional>
#include <sched.h>
#include <thread>
#include <vector>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
qint64 deadPid()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// A live process with `digits` digits in its PID, or 0.
qint64 livePidOfWidth(int digits)
{
    for (const QString &entry : QDir(u"/proc"_s).entryList(QDir::Dirs))
        if (entry.size() == digits && entry.toLongLong() > 1 && ::kill(pid_t(entry.toLongLong()), 0) == 0)
            return entry.toLongLong();
    return 0;
}

// A child that runs this very program until it is killed; it has every
// descriptor we had, and with `flocked` an flock on a device of its own. As a
// `Thread`, it has none of ours, and a thread of it opens the device in a
// file table of its own, which /proc/PID/fd does not show. As an `Heir`, the
// flock's taker hands it on to a child of its own and exits; that child is
// the twin.
class Twin
{
public:
    enum Holder { Process, Thread, Heir };
    explicit Twin(const QString &flocked = {}, Holder holder = Process)
    {
        int ready[2];
        if (::pipe(ready) != 0 || (holder == Heir && ::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0))
            return;
        m_pid = ::fork();
        if (m_pid == 0 && holder == Thread) {
            ::close_range(3, unsigned(ready[1]) - 1, 0);
            ::close_range(unsigned(ready[1]) + 1, ~0U, 0);
            std::thread([&] {
                const bool own = ::unshare(CLONE_FILES) == 0;
                const char ok = own && ::open(QFile::encodeName(flocked).constData(), O_RDWR | O_NOCTTY) >= 0 ? 'y'
                                                                                                              : 'n';
                if (::write(ready[1], &ok, 1) == 1)
                    for (;;)
                        ::pause();
            }).detach();
            for (;;)
                ::pause();
        }
        if (m_pid == 0) {
            const int fd = ::open(QFile::encodeName(flocked).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const char ok = flocked.isEmpty() || (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 'y' : 'n';
            if (holder == Heir && ::fork() != 0)
                ::_exit(0);
            const pid_t self = ::getpid();
            if (::write(ready[1], &ok, 1) == 1 && ::write(ready[1], &self, sizeof self) == sizeof self)
                for (;;)
                    ::pause();
            ::_exit(1);
        }
        char ok = 'n';
        m_ready = m_pid > 0 && ::read(ready[0], &ok, 1) == 1 && ok == 'y';
        if (m_ready && holder == Heir) {
            ::waitpid(m_pid, nullptr, 0);
            m_ready = ::read(ready[0], &m_pid, sizeof m_pid) == sizeof m_pid;
        }
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~Twin()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    qint64 pid() const { return m_pid; }
    bool ready() const { return m_ready; }

private:
    pid_t m_pid = -1;
    bool m_ready = false;
};

// Counts the opens of a device node, whoever makes them.
class OpenWatch
{
public:
    explicit OpenWatch(const QString &path)
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        ::inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
    }
    ~OpenWatch() { ::close(m_fd); }
    int opens()
    {
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = ::read(m_fd, events, sizeof events)) > 0;)
            m_opens += int(n / qsizetype(sizeof(inotify_event))); // no names on a file's own watch
        return m_opens;
    }

private:
    int m_fd;
    int m_opens = 0;
};

// A binary PID whose bytes read as a short ASCII lock ("90\0\0") is ambiguous.
bool readsAsAscii(qint64 pid)
{
    const auto byte = [&](int i) { return char((pid >> (8 * i)) & 0xFF); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return digit(byte(0)) && (digit(byte(1)) || QByteArray(" \t\r\n", 5).contains(byte(1)));
}

// Nobody holds the device: an flock on a fresh descriptor is granted.
bool nobodyHolds(const QString &device)
{
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return free;
}

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The serial port's part around a hold: it opens what the hold prepared and
// closes it when the hold lets go.
class Port
{
public:
    explicit Port(const QStringList &lockFolders)
        : hold(lockFolders)
    {
    }
    ~Port() { close(); }
    // The serial link's retry once the look at the device's users is done.
    Refusal prepare(const QString &device)
    {
        Refusal refused;
        QElapsedTimer clock;
        clock.start();
        while ((refused = hold.prepare(device)) && refused->state == PortState::Looking
               && clock.elapsed() < waitLimit(PortHold::kLookDeadlineMs))
            ::usleep(1000);
        return refused;
    }
    PortStatus open(const QString &device)
    {
        if (const Refusal refused = prepare(device))
            return *refused;
        fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return told(hold.take(fd));
    }
    // What the technician would be told after a step.
    PortStatus told(const Refusal &refused)
    {
        if (refused)
            close();
        return refused ? *refused : hold.held();
    }
    void close()
    {
        hold.letGo([this] {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        });
    }

    PortHold hold;
    int fd = -1;
};
} // namespace

class TestPortHold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lockFiles_data();
    void lockFiles();
    void heldUntilLetGo();
    void lineStaysOurs_data();
    void lineStaysOurs();
    void terminalCheckWithChildrenReapedUnseen();
    void refusedDevicesAreNotHeld_data();
    void refusedDevicesAreNotHeld();
    void refusalSpendsTheLook_data();
    void refusalSpendsTheLook();
    void openerBeforeExclusiveModeIsNamed();
    void lookStatsNothingOutsideDev();
    void anotherInstancesPtyIsNotOurs();
    void longLookRestsUntilAClose();
    void asAnotherUser_data();
    void asAnotherUser();
};

void TestPortHold::lockFiles_data()
{
    // `content` has %PID% where the PID goes; `owner` says which PID.
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("owner");
    QTest::addColumn<PortState>("state");
    QTest::addColumn<bool>("untouched");
    QTest::addColumn<int>("folder"); // of the two the hold reads
    const auto row = [](const char *name, const QByteArray &content, const char *owner, PortState state,
                        int folder = 0) {
        QTest::newRow(name) << content << QString::fromLatin1(owner) << state << (state != PortState::Open) << folder;
    };
    const QByteArray program = LockFiles::programName();
    for (const auto &[format, content] :
         {std::pair{"ten columns", QByteArray("%10PID%\n")}, std::pair{"bare", QByteArray("%PID%\n")},
          std::pair{"with program and host", QByteArray("%10PID%\nminicom\nbench-pc\n")},
          std::pair{"minicom's", QByteArray("%10PID% minicom user\n")}, std::pair{"no newline", QByteArray("%PID%")},
          std::pair{"binary", QByteArray("%BINPID%")}}) {
        row(qPrintable(u"%1, live"_s.arg(QLatin1String(format))), content, "live", PortState::InUse);
        row(qPrintable(u"%1, dead"_s.arg(QLatin1String(format))), content, "dead", PortState::Open);
    }
    row("two digits and CR LF, live", "%PID%\r\n", "live, 2 digits", PortState::InUse);
    row("three digits and NUL, live", QByteArray("%PID%\0", 6), "live, 3 digits", PortState::InUse);
    row("PID 0", "0\n", "", PortState::LockUnreadable);
    row("PID -1", "-1\n", "", PortState::LockUnreadable);
    row("PID 2^40", "1099511627776\n", "", PortState::LockUnreadable);
    row("no PID at all", "minicom\n", "", PortState::LockUnreadable);
    row("a FIFO", "fifo", "", PortState::LockUnreadable);
    row("a directory", "directory", "", PortState::LockUnreadable);
    row("a symlink to a dead PID's lock", "symlink", "dead", PortState::LockUnreadable);
    row("a FIFO, second folder", "fifo", "", PortState::LockUnreadable, 1);
    row("a directory, second folder", "directory", "", PortState::LockUnreadable, 1);
    row("a symlink, second folder", "symlink", "dead", PortState::LockUnreadable, 1);
    // The tool's own leftovers after a SIGKILL.
    row("this program, PID now runs another", "%10PID%\n" + program + '\n', "parent", PortState::Open);
    row("this program, PID runs it", "%10PID%\n" + program + '\n', "twin", PortState::InUse);
    row("our PID, left by an earlier process", "%10PID%\nsomething\n", "self", PortState::Open);
}

void TestPortHold::lockFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, owner);
    QFETCH(PortState, state);
    QFETCH(bool, untouched);
    QFETCH(int, folder);
    QTemporaryDir locks, second;
    Pty pty;
    std::optional<Twin> twin;
    const bool binary = content == "%BINPID%";
    qint64 pid = 0;
    if (owner == u"live"_s && binary)
        pid = 1;
    else if (owner == u"live"_s || owner == u"parent"_s)
        pid = ::getppid();
    else if (owner == u"dead"_s)
        while (readsAsAscii(pid = deadPid()) && binary) {
        }
    else if (owner == u"twin"_s)
        pid = twin.emplace().pid();
    else if (owner == u"self"_s)
        pid = ::getpid();
    else if (owner.startsWith(u"live, "_s) && !(pid = livePidOfWidth(owner.mid(6, 1).toInt())))
        QSKIP("no live process with a PID that short here");

    const QString file = QDir(folder ? second.path() : locks.path()).filePath(pathLockName(pty.devicePath()));
    const QByteArray path = QFile::encodeName(file);
    if (content == "fifo") {
        QCOMPARE(::mkfifo(path.constData(), 0666), 0);
    } else if (content == "directory") {
        QVERIFY(QDir().mkdir(file));
    } else if (content == "symlink") {
        const QString target = locks.filePath(u"elsewhere"_s);
        QFile real(target);
        QVERIFY(real.open(QIODevice::WriteOnly));
        real.write(QByteArray::number(pid) + '\n');
        real.close();
        QVERIFY(QFile::link(target, file));
    } else {
        const auto number = qint32(pid);
        content.replace("%10PID%", QByteArray::number(pid).rightJustified(10, ' '))
                .replace("%PID%", QByteArray::number(pid))
                .replace("%BINPID%", QByteArray(reinterpret_cast<const char *>(&number), sizeof number));
        QFile lock(file);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(content);
    }
    struct stat before = {};
    QCOMPARE(::lstat(path.constData(), &before), 0);

    Port port({locks.path(), second.path()});
    QElapsedTimer clock;
    clock.start();
    const PortStatus status = port.open(pty.devicePath());
    if (content == "fifo")
        qInfo("a FIFO as the lock file: refused in %lld ms", static_cast<long long>(clock.elapsed()));
    QCOMPARE(status.state, state);
    QCOMPARE(port.hold.holds(pty.devicePath()), state == PortState::Open);
    if (state == PortState::InUse)
        QCOMPARE(status.pid, pid);
    if (untouched) {
        struct stat after = {};
        QCOMPARE(::lstat(path.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        if (S_ISREG(before.st_mode))
            QCOMPARE(fileText(file), content);
        QCOMPARE(status.lockFile, file);
    } else {
        // Cleared, and ours stands in its place.
        const LockFiles::Lock ours = LockFiles::read(file);
        QCOMPARE(ours.kind, LockFiles::Lock::Pid);
        QCOMPARE(ours.pid, qint64(::getpid()));
        QCOMPARE(ours.program, LockFiles::programName());
    }
}

void TestPortHold::heldUntilLetGo()
{
    QTemporaryDir locks;
    Pty pty;
    const QStringList names{QDir(locks.path()).filePath(pathLockName(pty.devicePath())),
                            QDir(locks.path()).filePath(u"LCK.."_s + QFileInfo(pty.devicePath()).fileName())};
    const auto owners = [&] {
        QList<qint64> pids;
        for (const QString &name : names)
            pids << LockFiles::read(name).pid;
        return pids;
    };
    const QList<qint64> us{::getpid(), ::getpid()};
    Port first({locks.path()}), second({locks.path()});
    QCOMPARE(first.open(pty.devicePath()).state, PortState::Open);
    // Under every name others use for it, from the start.
    QCOMPARE(owners(), us);
    QCOMPARE(second.open(pty.devicePath()).state, PortState::InUse);
    const int shared = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(shared >= 0 && ::flock(shared, LOCK_SH | LOCK_NB) != 0);
    ::close(shared);

    // Someone removes one and writes another's under the other name: the
    // hold keeps the device, puts its own back where none stands, and leaves
    // the other's alone, then and at the let-go.
    const QByteArray theirs = QByteArray::number(::getppid()).rightJustified(10, ' ') + '\n';
    QVERIFY(QFile::remove(names[0]) && QFile::remove(names[1]));
    QFile replaced(names[1]);
    QVERIFY(replaced.open(QIODevice::WriteOnly));
    replaced.write(theirs);
    replaced.close();
    QTRY_VERIFY_WITH_TIMEOUT(!first.hold.check() && owners() == (QList<qint64>{::getpid(), ::getppid()}),
                             waitLimit(3 * PortHold::kLookEveryMs));

    // Another program's VMIN and VTIME, set during the hold, survive the let-go.
    termios set{};
    QCOMPARE(::tcgetattr(first.fd, &set), 0);
    set.c_cc[VMIN] = 5;
    set.c_cc[VTIME] = 3;
    QCOMPARE(::tcsetattr(first.fd, TCSANOW, &set), 0);
    first.close();
    termios after{};
    const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(::tcgetattr(fd, &after), 0);
    QCOMPARE(int(after.c_cc[VMIN]), 5);
    QCOMPARE(int(after.c_cc[VTIME]), 3);
    QCOMPARE(fileText(names[1]), theirs);
    QVERIFY(!QFile::exists(names[0]));
    QFile::remove(names[1]);

    // A program that locks with flock alone (picocom, tio): refused, and its
    // line left exactly as it set it.
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(second.open(pty.devicePath()).state, PortState::InUse);
    termios untouched{};
    QCOMPARE(::tcgetattr(fd, &untouched), 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&untouched), sizeof untouched),
             QByteArray(reinterpret_cast<const char *>(&after), sizeof after));
    ::close(fd);
    // A disk that takes only part of a lock: none is left half-written, and
    // the flock holds the device all the same.
    rlimit size{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &size), 0);
    const rlimit whole = size;
    size.rlim_cur = 4;
    const auto beyond = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &size), 0);
    const PortState state = second.open(pty.devicePath()).state;
    ::setrlimit(RLIMIT_FSIZE, &whole);
    std::signal(SIGXFSZ, beyond);
    QCOMPARE(state, PortState::Open);
    QCOMPARE(QDir(locks.path()).entryList({u"LCK*"_s}), QStringList());
}

void TestPortHold::refusedDevicesAreNotHeld_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<PortState>("state");
    QTest::addRow("missing") << u"missing"_s << PortState::NoDevice;
    QTest::addRow("a plain file") << u"file"_s << PortState::NotSerial;
    QTest::addRow("a session's controlling terminal") << u"terminal"_s << PortState::SessionTerminal;
    QTest::addRow("no permission") << u"forbidden"_s << PortState::NoPermission;
    QTest::addRow("a live lock") << u"locked"_s << PortState::InUse;
    QTest::addRow("an flock alone") << u"flock"_s << PortState::InUse;
    // Named by the process that still has it, not by the taker that has gone.
    QTest::addRow("an flock whose taker has gone") << u"heir"_s << PortState::InUse;
    QTest::addRow("a reader that opened it first") << u"reader"_s << PortState::InUse;
    QTest::addRow("an open file description lock") << u"ofd"_s << PortState::InUse;
    QTest::addRow("a thread's own file table") << u"thread"_s << PortState::InUse;
    QTest::addRow("a lock, no descriptor to read it") << u"starved"_s << PortState::TooManyFiles;
}

void TestPortHold::refusedDevicesAreNotHeld()
{
    QFETCH(QString, kind);
    QFETCH(PortState, state);
    QTemporaryDir scratch;
    Pty pty;
    QString device = pty.devicePath();
    if (kind == u"missing"_s) {
        device = scratch.filePath(u"ttyGone"_s);
    } else if (kind == u"file"_s) {
        device = scratch.filePath(u"notes.txt"_s);
        QFile file(device);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (kind == u"terminal"_s) {
        QVERIFY(pty.becomeSessionTerminal());
    } else if (kind == u"forbidden"_s) {
        if (::geteuid() == 0)
            QSKIP("root opens any device");
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), 0), 0);
    } else if (kind == u"locked"_s || kind == u"starved"_s) {
        QFile lock(QDir(scratch.path()).filePath(pathLockName(pty.devicePath())));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(::getppid()) + '\n');
    }
    // An open file description's lock shows no PID; this one is on a descriptor
    // of our own, so that only the lock can give it away.
    const int ofd = kind == u"ofd"_s ? ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY) : -1;
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    QVERIFY(ofd < 0 || ::fcntl(ofd, F_OFD_SETLK, &whole) == 0);
    // The reader has our descriptor on the device; the other holds its own.
    std::optional<Twin> other;
    if (kind == u"flock"_s || kind == u"reader"_s || kind == u"thread"_s || kind == u"heir"_s)
        QVERIFY(other.emplace(kind == u"reader"_s ? QString() : device,
                              kind == u"thread"_s         ? Twin::Thread
                                      : kind == u"heir"_s ? Twin::Heir
                                                          : Twin::Process)
                        .ready());
    const unsigned modes = pty.localModes();
    const int descriptors = descriptorsOn(device);
    OpenWatch watch(device);
    Port port({scratch.path()});
    for (int tick = 0; tick < 3; ++tick) {
        std::optional<DescriptorsTaken> starved;
        if (kind == u"starved"_s)
            QVERIFY(starved.emplace(device).lowered());
        const PortStatus status = port.open(device);
        starved.reset();
        QCOMPARE(status.state, state);
        QCOMPARE(status.device, device);
        QCOMPARE(status.pid, other ? other->pid() : status.pid);
        QVERIFY(!port.hold.holds(device));
        QCOMPARE(descriptorsOn(device), descriptors);
    }
    // Never opened, so no modem line raised and nothing of the line touched.
    QCOMPARE(watch.opens(), 0);
    QCOMPARE(pty.localModes(), modes);
    const bool holderGoes = other || ofd >= 0;
    other.reset();
    if (ofd >= 0)
        ::close(ofd);
    // Once its holder has let go, the next try takes it.
    if (holderGoes) {
        QCOMPARE(port.open(device).state, PortState::Open);
        port.close();
    }
    if (kind != u"missing"_s && kind != u"file"_s)
        QVERIFY(nobodyHolds(device));
    QCOMPARE(QDir(scratch.path()).entryList({u"LCK*"_s}).size(), kind == u"locked"_s || kind == u"starved"_s ? 1 : 0);
    // What refused that device says nothing of the next.
    Pty free;
    QCOMPARE(port.open(free.devicePath()).state, PortState::Open);
}

void TestPortHold::refusalSpendsTheLook_data()
{
    QTest::addColumn<bool>("flocked");
    QTest::addRow("then an opener") << false;
    QTest::addRow("then an flock") << true;
}

void TestPortHold::refusalSpendsTheLook()
{
    // A look finds nobody and the open fails all the same (a locked pty here,
    // root's exclusive open on a bench): whoever comes next is looked for anew.
    QFETCH(bool, flocked);
    QTemporaryDir locks;
    Pty pty;
    Port port({locks.path()});
    int locked = 1;
    QCOMPARE(::ioctl(pty.controlFd(), TIOCSPTLCK, &locked), 0);
    QCOMPARE(port.open(pty.devicePath()).state, PortState::NoDevice);
    locked = 0;
    QCOMPARE(::ioctl(pty.controlFd(), TIOCSPTLCK, &locked), 0);
    Twin other(flocked ? pty.devicePath() : QString());
    QVERIFY(other.ready());
    OpenWatch watch(pty.devicePath());
    const PortStatus status = port.open(pty.devicePath());
    QCOMPARE(status.state, PortState::InUse);
    QCOMPARE(status.pid, other.pid());
    QCOMPARE(watch.opens(), 0);
}

void TestPortHold::openerBeforeExclusiveModeIsNamed()
{
    // Another program opens it between the port's open and exclusive mode.
    QTemporaryDir locks;
    Pty pty;
    Port port({locks.path()});
    QVERIFY(!port.prepare(pty.devicePath()));
    port.fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const Twin opener; // with every descriptor we have
    QVERIFY(opener.ready());
    QVERIFY(!port.hold.take(port.fd));
    Refusal found;
    QTRY_VERIFY_WITH_TIMEOUT(found.has_value() || (found = port.hold.check()).has_value(),
                             waitLimit(PortHold::kLookDeadlineMs));
    QCOMPARE(found->state, PortState::InUse);
    QCOMPARE(found->pid, opener.pid());
}

void TestPortHold::lookStatsNothingOutsideDev()
{
    // A file on a dead network or FUSE mount would block a stat: the look
    // reads a descriptor's link, and stats only a node under /dev.
    QTemporaryFile elsewhere;
    QVERIFY(elsewhere.open());
    Pty pty;
    const Twin holder; // with both descriptors
    QVERIFY(holder.ready());
    ProcWalk::Look look;
    QCOMPARE(::stat(QFile::encodeName(pty.devicePath()).constData(), &look.node), 0);
    QStringList statted;
    look.statting = [&](const char *target) { statted << QString::fromLocal8Bit(target); };
    const ProcWalk::Answer found = ProcWalk::look(look, [] { return false; });
    QCOMPARE(found.use, ProcWalk::Use::Open);
    QCOMPARE(found.pid, holder.pid());
    for (const QString &target : std::as_const(statted))
        QVERIFY2(target.startsWith(u"/dev/"_s), qPrintable(target));
}

void TestPortHold::lineStaysOurs_data()
{
    QTest::addColumn<bool>("held");
    QTest::addColumn<QString>("change");
    QTest::addRow("changed between the open and take") << false << u"all"_s;
    QTest::addRow("changed while held") << true << u"all"_s;
    QTest::addRow("1200 baud alone, while held") << true << u"speed"_s;
    QTest::addRow("changed and locked while held") << true << u"locked"_s;
}

void TestPortHold::lineStaysOurs()
{
    // Another program (root, say) sets echo, line editing and 1200 baud, and
    // clears exclusive mode: the BA's line is back at the next check.
    QFETCH(bool, held);
    QFETCH(QString, change);
    const bool locked = change == u"locked"_s;
    if (locked && ::geteuid() != 0)
        QSKIP("needs root, to lock the line");
    QTemporaryDir locks;
    Pty pty(Pty::Line::Cooked);
    const QByteArray device = QFile::encodeName(pty.devicePath());
    Port port({locks.path()});
    QVERIFY(!port.prepare(pty.devicePath()));
    QCOMPARE(pty.localModes() & (ECHO | ICANON), 0u); // raw before the port opens
    port.fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int other = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(port.fd >= 0 && other >= 0);
    const auto meddle = [&] {
        termios line{};
        ::tcgetattr(other, &line);
        if (change != u"speed"_s)
            line.c_lflag |= ECHO | ICANON;
        ::cfsetspeed(&line, B1200);
        return ::tcsetattr(other, TCSANOW, &line) == 0 && ::ioctl(other, TIOCNXCL) == 0;
    };
    QVERIFY(held || meddle());
    QVERIFY(!port.hold.take(port.fd));
    QVERIFY(!held || meddle());
    if (locked) {
        // Echo locked on: setting the line back changes nothing, so it is let go.
        termios lock{};
        lock.c_lflag = ECHO;
        QCOMPARE(::ioctl(pty.controlFd(), TIOCSLCKTRMIOS, &lock), 0);
        const Refusal told = port.hold.check();
        QVERIFY(told);
        QCOMPARE(told->state, PortState::LineLocked);
        return;
    }
    QVERIFY(!port.hold.check());
    termios line{};
    int exclusive = 0;
    QVERIFY(::tcgetattr(other, &line) == 0 && ::ioctl(other, TIOCGEXCL, &exclusive) == 0);
    QCOMPARE(line.c_lflag & (ECHO | ICANON), 0u);
    QCOMPARE(::cfgetospeed(&line), speed_t(B9600));
    QCOMPARE(exclusive, 1);
    ::close(other);
}

void TestPortHold::terminalCheckWithChildrenReapedUnseen()
{
    // SIGCHLD ignored, as it may be inherited: the kernel reaps the check's
    // child, and no status of it can be had; its answer comes all the same.
    Pty pty;
    const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const auto previous = ::signal(SIGCHLD, SIG_IGN);
    const DeviceUsers::Use ignored = DeviceUsers::askKernel(fd);
    ::signal(SIGCHLD, previous);
    QCOMPARE(ignored, DeviceUsers::Use::None);
    QCOMPARE(DeviceUsers::askKernel(fd), DeviceUsers::Use::None);
    ::close(fd);
}

void TestPortHold::anotherInstancesPtyIsNotOurs()
{
    // A container's pts/N has the number of our pts/N. Open in another
    // process and a session's terminal there, it refuses nothing of ours.
    if (::geteuid() != 0)
        QSKIP("needs root, to mount a devpts instance");
    QTemporaryDir dir(u"/dev/devpts-XXXXXX"_s); // under /dev, where the look stats what it finds
    const QByteArray at = QFile::encodeName(dir.path());
    if (!dir.isValid() || ::mount("devpts", at.constData(), "devpts", 0, "newinstance,ptmxmode=0666") != 0)
        QSKIP("no devpts instance can be mounted here");
    const auto unmount = qScopeGuard([&] { ::umount2(at.constData(), MNT_DETACH); });
    Pty ours;
    std::vector<std::unique_ptr<Pty>> theirs;
    const QString number = QFileInfo(ours.devicePath()).fileName();
    while (theirs.empty() || QFileInfo(theirs.back()->devicePath()).fileName() != number) {
        theirs.push_back(std::make_unique<Pty>(dir.filePath(u"ptmx"_s)));
        QVERIFY(theirs.back()->isValid());
    }
    QVERIFY(theirs.back()->becomeSessionTerminal());
    QTemporaryDir locks;
    Port port({locks.path()});
    QCOMPARE(port.open(ours.devicePath()).state, PortState::Open);
}

void TestPortHold::longLookRestsUntilAClose()
{
    // A crowded machine's walk, 150 ms of CPU, answering nobody each time.
    const auto cpuMs = [] {
        timespec spent = {};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &spent);
        return spent.tv_sec * 1000 + spent.tv_nsec / 1'000'000;
    };
    std::atomic<int> walks = 0;
    DeviceUsers users({}, [&](const ProcWalk::Look &, const std::function<bool()> &) {
        ++walks;
        for (const auto from = cpuMs(); cpuMs() - from < 150;) {
        }
        return ProcWalk::Answer{};
    });
    Pty pty;
    const QByteArray path = QFile::encodeName(pty.devicePath());
    struct stat node = {};
    QCOMPARE(::stat(path.constData(), &node), 0);
    const DeviceUsers::LookFor again{.terminalOnly = false, .hint = {}, .atOnce = false, .path = path};
    std::optional<DeviceUsers::Answer> got;
    users.look(node, again);
    QTRY_VERIFY(got || (got = users.answer(node)));
    // Our own open and close never end the rest; another program's close may
    // have freed the device, and does.
    ::close(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    users.closedOurs();
    users.look(node, again);
    QTest::qWait(300);
    QCOMPARE(walks, 1);
    ::close(::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    got.reset();
    QTRY_VERIFY(got || (got = users.answer(node)));
    QCOMPARE(walks, 2);
}

void TestPortHold::asAnotherUser_data()
{
    QTest::addColumn<QString>("lock");
    QTest::addColumn<int>("deviceMode");
    QTest::addColumn<PortState>("state");
    // Held, then no child can be started for the terminal check (and, with
    // "nofile", nothing in /proc can be read either).
    QTest::addColumn<QString>("starved");
    // kill(pid, 0) fails with EPERM for another user's process: alive all the same.
    QTest::addRow("another user's live process") << u"live"_s << 0666 << PortState::InUse << QString();
    // Root's lock in the sticky lock folder, which we may not remove.
    QTest::addRow("another user's stale lock") << u"dead"_s << 0666 << PortState::StaleLock << QString();
    QTest::addRow("no permission") << u"none"_s << 0600 << PortState::NoPermission << QString();
    // Found in /proc/locks alone: root's descriptor can't be seen.
    QTest::addRow("another user's POSIX lock") << u"posix"_s << 0666 << PortState::InUse << QString();
    // No child for the check and no descriptor for /proc before the open: not "free".
    QTest::addRow("not held, check can't run nor /proc be read")
            << u"none"_s << 0666 << PortState::UsersUnknown << u"before"_s;
    // Let go within 2 s all the same: /proc shows the session that took it.
    QTest::addRow("held, check can't run, a session takes it") << u"none"_s << 0666 << PortState::LetGo << u"nproc"_s;
    QTest::addRow("held, check can't run nor /proc be read")
            << u"none"_s << 0666 << PortState::TerminalUnknown << u"nofile"_s;
}

void TestPortHold::asAnotherUser()
{
    QFETCH(QString, lock);
    QFETCH(int, deviceMode);
    QFETCH(PortState, state);
    QFETCH(QString, starved);
    if (::geteuid() != 0)
        QSKIP("needs root, to act as a second user");
    QTemporaryDir locks;
    Pty pty;
    const QByteArray folder = QFile::encodeName(locks.path());
    QCOMPARE(::chmod(folder.constData(), 01777), 0); // as /run/lock
    QCOMPARE(::chmod(QFile::encodeName(pty.devicePath()).constData(), mode_t(deviceMode)), 0);
    const QString file = QDir(locks.path()).filePath(pathLockName(pty.devicePath()));
    QByteArray text;
    const int posix = lock == u"posix"_s ? ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY)
                                         : -1;
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    QVERIFY(posix < 0 || ::fcntl(posix, F_SETLK, &whole) == 0);
    if (lock == u"live"_s || lock == u"dead"_s) {
        const qint64 owner = lock == u"live"_s ? qint64(::getpid()) : deadPid();
        text = QByteArray::number(owner).rightJustified(10, ' ') + '\n';
        QFile written(file);
        QVERIFY(written.open(QIODevice::WriteOnly));
        written.write(text);
    }

    int held[2], go[2];
    QVERIFY(::pipe(held) == 0 && ::pipe(go) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        // The check's own periods: the unknown state's grace and one look.
        constexpr qint64 kLetGoWithinMs = PortHold::kUnknownLetGoMs + PortHold::kLookEveryMs;
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(100);
        const int inherited = descriptorsOn(pty.devicePath());
        const auto starve = [](int resource, rlim_t to = 0) {
            rlimit limit{};
            return ::getrlimit(resource, &limit) == 0 && (limit.rlim_cur = to, ::setrlimit(resource, &limit) == 0);
        };
        Port port({locks.path()});
        const int spare = ::dup(0); // the one descriptor left for the open
        ::close(spare);
        if (starved == u"before"_s && (!starve(RLIMIT_NPROC) || !starve(RLIMIT_NOFILE, rlim_t(spare + 1))))
            ::_exit(102);
        PortStatus status = port.open(pty.devicePath());
        if (starved.isEmpty() || starved == u"before"_s) {
            const bool kept = port.hold.holds(pty.devicePath()) || descriptorsOn(pty.devicePath()) != inherited;
            ::_exit(kept ? 101 : int(status.state));
        }
        if (status.state != PortState::Open || !starve(RLIMIT_NPROC)
            || (starved == u"nofile"_s && !starve(RLIMIT_NOFILE)))
            ::_exit(102);
        char c = 'h';
        if (::write(held[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1)
            ::_exit(103);
        QElapsedTimer clock;
        clock.start();
        while (status.state == PortState::Open && clock.elapsed() < 2 * kLetGoWithinMs) {
            ::usleep(50'000);
            status = port.told(port.hold.check());
        }
        port.close();
        ::_exit(clock.elapsed() > kLetGoWithinMs ? 104 : int(status.state));
    }
    ::close(held[1]);
    ::close(go[0]);
    if (!starved.isEmpty() && starved != u"before"_s) {
        char c = 0;
        if (::read(held[0], &c, 1) != 1) {
            int early = 0;
            ::waitpid(child, &early, 0);
            QFAIL(qPrintable(u"the second user did not hold it: exit %1"_s.arg(WEXITSTATUS(early))));
        }
        if (starved == u"nproc"_s)
            QVERIFY(pty.becomeSessionTerminal());
        QCOMPARE(::write(go[1], &c, 1), 1);
    }
    ::close(held[0]);
    ::close(go[1]);
    int result = 0;
    QCOMPARE(::waitpid(child, &result, 0), child);
    QVERIFY(WIFEXITED(result));
    QCOMPARE(WEXITSTATUS(result), int(state));
    QCOMPARE(fileText(file), text);
    if (posix >= 0)
        ::close(posix);
    QVERIFY(nobodyHolds(pty.devicePath()));
}

QTEST_GUILESS_MAIN(TestPortHold)
#include "tst_porthold.moc"
