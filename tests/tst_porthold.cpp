#include "porthold.h"
#include "pseudoterminal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

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

// What another program's lock file says, in the formats found in the wild.
QByteArray lockText(const QString &format, qint64 pid)
{
    const QByteArray number = QByteArray::number(pid);
    if (format == u"ascii, ten columns"_s)
        return number.rightJustified(10, ' ') + '\n';
    if (format == u"ascii, bare"_s)
        return number + '\n';
    if (format == u"ascii with program and host"_s)
        return number.rightJustified(10, ' ') + "\nminicom\nbench-pc\n";
    if (format == u"binary"_s) {
        const auto value = qint32(pid);
        return QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
    }
    return {};
}

QString lockName(const Pty &pty)
{
    return u"LCK.."_s + pty.devicePath().mid(5).replace(u'/', u'_');
}
} // namespace

class TestPortHold : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void foreignLockFiles_data();
    void foreignLockFiles();
    void heldAcrossTheReopenGap();
    void devicesThatAreNotPorts_data();
    void devicesThatAreNotPorts();
};

void TestPortHold::foreignLockFiles_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("alive");
    QTest::addColumn<int>("ageSeconds");
    for (const QString &format : {u"ascii, ten columns"_s, u"ascii, bare"_s,
                                  u"ascii with program and host"_s, u"binary"_s}) {
        QTest::addRow("%s, live", qPrintable(format)) << format << true << 0;
        QTest::addRow("%s, dead", qPrintable(format)) << format << false << 0;
    }
    QTest::addRow("ascii, live, an hour old") << u"ascii, ten columns"_s << true << 3600;
}

void TestPortHold::foreignLockFiles()
{
    QFETCH(QString, format);
    QFETCH(bool, alive);
    QFETCH(int, ageSeconds);
    QTemporaryDir locks;
    Pty pty;
    const qint64 pid = alive ? qint64(::getppid()) : deadPid();
    const QByteArray text = lockText(format, pid);
    const QString file = QDir(locks.path()).filePath(lockName(pty));
    {
        QFile lock(file);
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(text);
    }
    if (ageSeconds > 0) {
        const utimbuf old{::time(nullptr) - ageSeconds, ::time(nullptr) - ageSeconds};
        QCOMPARE(::utime(QFile::encodeName(file).constData(), &old), 0);
    }

    PortHold hold({locks.path()});
    const PortStatus status = hold.acquire(pty.devicePath());
    if (alive) {
        QCOMPARE(status.state, PortState::InUse);
        QCOMPARE(status.pid, pid);
        QFile lock(file);
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(), text);
    } else {
        QCOMPARE(status.state, PortState::Open);
        QVERIFY(hold.holds(pty.devicePath()));
    }
}

void TestPortHold::heldAcrossTheReopenGap()
{
    QTemporaryDir locks;
    Pty pty;
    const QString ours = QDir(locks.path()).filePath(lockName(pty));
    PortHold first({locks.path()}), second({locks.path()});
    QCOMPARE(first.acquire(pty.devicePath()).state, PortState::Open);
    QCOMPARE(PortHold::lockOwner(ours), qint64(::getpid()));

    // The serial port's own lock stands in for ours while it is open; the
    // flock keeps the device ours all the same.
    first.beforeOpen();
    QCOMPARE(PortHold::lockOwner(ours), -1);
    QCOMPARE(second.acquire(pty.devicePath()).state, PortState::InUse);
    first.afterClose();
    QCOMPARE(PortHold::lockOwner(ours), qint64(::getpid()));

    // A program that locks with flock alone (picocom, tio).
    first.release();
    QCOMPARE(PortHold::lockOwner(ours), -1);
    const int fd = ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    QCOMPARE(second.acquire(pty.devicePath()).state, PortState::InUse);
    ::close(fd);
    QCOMPARE(second.acquire(pty.devicePath()).state, PortState::Open);
}

void TestPortHold::devicesThatAreNotPorts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<PortState>("state");
    QTest::addRow("missing") << u"missing"_s << PortState::NoDevice;
    QTest::addRow("a plain file") << u"file"_s << PortState::NotSerial;
    QTest::addRow("a session's controlling terminal") << u"terminal"_s << PortState::NotSerial;
    QTest::addRow("no permission") << u"forbidden"_s << PortState::NoPermission;
}

void TestPortHold::devicesThatAreNotPorts()
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
    }
    PortHold hold({scratch.path()});
    const PortStatus status = hold.acquire(device);
    QCOMPARE(status.state, state);
    QCOMPARE(status.device, device);
    QVERIFY(!hold.holds(device));
    QVERIFY(QDir(scratch.path()).entryList({u"LCK*"_s}).isEmpty());
}

QTEST_GUILESS_MAIN(TestPortHold)
#include "tst_porthold.moc"
