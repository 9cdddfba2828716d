#include "porthold.h"
#include "pseudoterminal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <optional>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

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

// A child that runs this very program until it is killed.
class Twin
{
public:
    Twin()
        : m_pid(::fork())
    {
        if (m_pid == 0) {
            for (;;)
                ::pause();
        }
    }
    ~Twin()
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    qint64 pid() const { return m_pid; }

private:
    pid_t m_pid;
};

// A binary PID whose bytes read as a short ASCII lock ("90\0\0") is ambiguous.
bool readsAsAscii(qint64 pid)
{
    const auto byte = [&](int i) { return char((pid >> (8 * i)) & 0xFF); };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return digit(byte(0)) && (digit(byte(1)) || QByteArray(" \t\r\n", 5).contains(byte(1)));
}

QString lockName(const Pty &pty)
{
    return u"LCK.."_s + pty.devicePath().mid(5).replace(u'/', u'_');
}

// Descriptors of this process open on `device`.
int descriptorsOn(const QString &device)
{
    int count = 0;
    for (const QFileInfo &fd : QDir(u"/proc/self/fd"_s).entryInfoList(QDir::System | QDir::NoDotAndDotDot))
        count += fd.symLinkTarget() == device ? 1 : 0;
    return count;
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
} // namespace

class TestPortHold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lockFiles_data();
    void lockFiles();
    void heldAcrossTheReopenGap();
    void refusedDevicesAreNotHeld_data();
    void refusedDevicesAreNotHeld();
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
    const auto row = [](const char *name, const QByteArray &content, const char *owner, PortState state) {
        QTest::newRow(name) << content << QString::fromLatin1(owner) << state
                            << (state != PortState::Open);
    };
    const QByteArray program = PortHold::programName();
    for (const auto &[format, content] : {std::pair{"ten columns", QByteArray("%10PID%\n")},
                                          std::pair{"bare", QByteArray("%PID%\n")},
                                          std::pair{"with program and host", QByteArray("%10PID%\nminicom\nbench-pc\n")},
                                          std::pair{"minicom's", QByteArray("%10PID% minicom user\n")},
                                          std::pair{"no newline", QByteArray("%PID%")},
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
    QTemporaryDir locks;
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

    const QString file = QDir(locks.path()).filePath(lockName(pty));
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
    struct stat before{};
    QCOMPARE(::lstat(path.constData(), &before), 0);

    PortHold hold({locks.path()});
    QElapsedTimer clock;
    clock.start();
    const PortStatus status = hold.acquire(pty.devicePath());
    if (content == "fifo")
        qInfo("a FIFO as the lock file: refused in %lld ms", static_cast<long long>(clock.elapsed()));
    QCOMPARE(status.state, state);
    QCOMPARE(hold.holds(pty.devicePath()), state == PortState::Open);
    if (state == PortState::InUse)
        QCOMPARE(status.pid, pid);
    if (untouched) {
        struct stat after{};
        QCOMPARE(::lstat(path.constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mode, before.st_mode);
        if (S_ISREG(before.st_mode))
            QCOMPARE(fileText(file), content);
        QCOMPARE(status.lockFile, file);
    } else {
        // Cleared, and ours stands in its place.
        const PortHold::Lock ours = PortHold::readLock(file);
        QCOMPARE(ours.kind, PortHold::Lock::Pid);
        QCOMPARE(ours.pid, qint64(::getpid()));
        QCOMPARE(ours.program, PortHold::programName());
    }
}

void TestPortHold::heldAcrossTheReopenGap()
{
    QTemporaryDir locks;
    Pty pty;
    const QString ours = QDir(locks.path()).filePath(lockName(pty));
    const auto owner = [&] { return PortHold::readLock(ours).pid; };
    PortHold first({locks.path()}), second({locks.path()});
    QCOMPARE(first.acquire(pty.devicePath()).state, PortState::Open);
    QCOMPARE(owner(), qint64(::getpid()));

    // The serial port's own lock stands in for ours while it is open; the
    // flock keeps the device ours all the same.
    first.beforeOpen();
    QCOMPARE(PortHold::readLock(ours).kind, PortHold::Lock::Missing);
    QCOMPARE(second.acquire(pty.devicePath()).state, PortState::InUse);
    first.afterClose();
    QCOMPARE(owner(), qint64(::getpid()));

    // A program that locks with flock alone (picocom, tio).
    first.release();
    QCOMPARE(PortHold::readLock(ours).kind, PortHold::Lock::Missing);
    const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(second.acquire(pty.devicePath()).state, PortState::InUse);
    ::close(fd);
    QCOMPARE(second.acquire(pty.devicePath()).state, PortState::Open);

    // Someone replaced our lock file while we held the device: letting go
    // leaves theirs alone.
    const QByteArray theirs = QByteArray::number(::getppid()).rightJustified(10, ' ') + '\n';
    QFile::remove(ours);
    QFile replaced(ours);
    QVERIFY(replaced.open(QIODevice::WriteOnly));
    replaced.write(theirs);
    replaced.close();
    second.release();
    QCOMPARE(fileText(ours), theirs);
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
    } else if (kind == u"locked"_s) {
        QFile lock(QDir(scratch.path()).filePath(lockName(pty)));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(QByteArray::number(::getppid()) + '\n');
    }
    const int descriptors = descriptorsOn(device);
    PortHold hold({scratch.path()});
    for (int tick = 0; tick < 3; ++tick) {
        const PortStatus status = hold.acquire(device);
        QCOMPARE(status.state, state);
        QCOMPARE(status.device, device);
        QVERIFY(!hold.holds(device));
        QCOMPARE(descriptorsOn(device), descriptors);
    }
    if (kind != u"missing"_s && kind != u"file"_s)
        QVERIFY(nobodyHolds(device));
    QCOMPARE(QDir(scratch.path()).entryList({u"LCK*"_s}).size(), kind == u"locked"_s ? 1 : 0);
}

void TestPortHold::asAnotherUser_data()
{
    QTest::addColumn<QString>("lock");
    QTest::addColumn<int>("deviceMode");
    QTest::addColumn<PortState>("state");
    // kill(pid, 0) fails with EPERM for another user's process: alive all the same.
    QTest::addRow("another user's live process") << u"live"_s << 0666 << PortState::InUse;
    // Root's lock in the sticky lock folder, which we may not remove.
    QTest::addRow("another user's stale lock") << u"dead"_s << 0666 << PortState::StaleLock;
    QTest::addRow("no permission") << u"none"_s << 0600 << PortState::NoPermission;
}

void TestPortHold::asAnotherUser()
{
    QFETCH(QString, lock);
    QFETCH(int, deviceMode);
    QFETCH(PortState, state);
    if (::geteuid() != 0)
        QSKIP("needs root, to act as a second user");
    QTemporaryDir locks;
    Pty pty;
    const QByteArray folder = QFile::encodeName(locks.path());
    QCOMPARE(::chmod(folder.constData(), 01777), 0); // as /run/lock
    QCOMPARE(::chmod(QFile::encodeName(pty.devicePath()).constData(), mode_t(deviceMode)), 0);
    const QString file = QDir(locks.path()).filePath(lockName(pty));
    QByteArray text;
    if (lock != u"none"_s) {
        const qint64 owner = lock == u"live"_s ? qint64(::getpid()) : deadPid();
        text = QByteArray::number(owner).rightJustified(10, ' ') + '\n';
        QFile written(file);
        QVERIFY(written.open(QIODevice::WriteOnly));
        written.write(text);
    }

    const pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(100);
        const int inherited = descriptorsOn(pty.devicePath());
        PortHold hold({locks.path()});
        const PortStatus status = hold.acquire(pty.devicePath());
        const bool held = hold.holds(pty.devicePath()) || descriptorsOn(pty.devicePath()) != inherited;
        ::_exit(held ? 101 : int(status.state));
    }
    int result = 0;
    QCOMPARE(::waitpid(child, &result, 0), child);
    QVERIFY(WIFEXITED(result));
    QCOMPARE(WEXITSTATUS(result), int(state));
    QCOMPARE(fileText(file), text);
    QVERIFY(nobodyHolds(pty.devicePath()));
}

QTEST_GUILESS_MAIN(TestPortHold)
#include "tst_porthold.moc"
