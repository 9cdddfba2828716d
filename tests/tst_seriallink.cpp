#include "descriptorstaken.h"
#include "resident.h"
#include "portselection.h"
#include "pseudoterminal.h"
#include "seriallink.h"
#include "waits.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>
#include <termios.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

class TestSerialLink : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_ports;
    std::unique_ptr<Pty> m_pty;
    std::unique_ptr<SerialLink> m_link;

    void openOn(int port)
    {
        QVERIFY(m_link->setCommPort(qint16(port)));
        (void)m_link->setPortOpen(true);
        QTRY_VERIFY(m_link->PortOpen() && !m_link->looking());
    }

private Q_SLOTS:
    void init();
    void cleanup();
    void portNumberToDevice();
    void lineSettings();
    void portNumbers_data();
    void portNumbers();
    void closedLinkShowsNothing();
    void receivedBytesRaiseAReceiveEvent();
    void commandBytesArriveInOrder();
    void commandJustBeforeACloseIsNotLost();
    void unreadBytesSurviveTheReopen();
    void missingDevice();
    void deviceInUse();
    void twoLinksOnOneDevice();
    void keptBytesStayWithTheirDevice();
    void deviceVanishesAndComesBack();
    void streamAcrossReopenCycles();
    void cookedLineStaysRawInEveryGap();
    void terminalTakenBySessionIsLetGo();
    void heldAgainAfterAHangUp();
    void anotherUserCannotTakeIt();
    void outOfDescriptorsKeepsItRaw();
    void thousandReopensLeakNothing();
};

namespace {
// A re-open tick, and the open it starts once its look at the device's users is done.
void reopen(SerialLink &link, const QString &box)
{
    ReopenLink(link, box);
    QTRY_VERIFY(!link.looking());
}

int openDescriptors()
{
    return int(ownDescriptors().size());
}

// The re-open cycle at `ms`, with the BA sending `chunk` at each tick; counts
// the ticks at which the port was not open again.
struct Cycle
{
    Cycle(SerialLink &link, Pty &ba, const QByteArray &chunk, int ms)
    {
        QObject::connect(&timer, &QTimer::timeout, [&, chunk] {
            ReopenLink(link, u"3"_s);
            closedTicks += link.PortOpen() ? 0 : 1;
            received += link.Input();
            ba.write(chunk);
            sent += chunk;
        });
        timer.start(ms);
    }
    QTimer timer;
    int closedTicks = 0;
    QByteArray sent, received;
};

} // namespace

void TestSerialLink::init()
{
    QVERIFY(m_ports.isValid());
    m_pty = std::make_unique<Pty>();
    QVERIFY(m_pty->isValid());
    QVERIFY(m_pty->linkAs(m_ports.path(), 3));
    m_link = std::make_unique<SerialLink>(m_ports.path());
}

void TestSerialLink::cleanup()
{
    m_link.reset();
    m_pty.reset();
}

void TestSerialLink::portNumberToDevice()
{
    QCOMPARE(m_link->devicePath(3), m_pty->devicePath());
    QCOMPARE(m_link->devicePath(1), u"/dev/ttyS0"_s);
    QCOMPARE(m_link->devicePath(12), u"/dev/ttyS11"_s);
    QVERIFY(DefaultPortFolder().endsWith(u"/calvarin/ports"_s));
    // A link whose device is gone names nothing; it does not fall back to ttyS.
    QVERIFY(QFile::link(u"/nonexistent/device"_s, m_ports.filePath(u"com4"_s)));
    QVERIFY(m_link->devicePath(4).isEmpty());
}

void TestSerialLink::lineSettings()
{
    openOn(3);
    const int fd = ::open(m_pty->devicePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    QVERIFY(fd >= 0);
    termios t{};
    QCOMPARE(::tcgetattr(fd, &t), 0);
    ::close(fd);
    QCOMPARE(::cfgetospeed(&t), speed_t(B9600));
    QCOMPARE(::cfgetispeed(&t), speed_t(B9600));
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(t.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(t.c_iflag & (IXON | IXOFF), tcflag_t(0));
    QCOMPARE(t.c_lflag & ICANON, tcflag_t(0)); // binary: no line editing
}

void TestSerialLink::portNumbers_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("accepted");
    QTest::addRow("lowest") << 1 << true;
    QTest::addRow("highest") << 255 << true;
    QTest::addRow("zero") << 0 << false;
    QTest::addRow("negative") << -5 << false;
    QTest::addRow("above the limit") << 256 << false;
    QTest::addRow("largest") << 32767 << false;
}

void TestSerialLink::portNumbers()
{
    QFETCH(int, number);
    QFETCH(bool, accepted);
    QVERIFY(m_link->setCommPort(3));
    QCOMPARE(m_link->setCommPort(qint16(number)), accepted);
    QCOMPARE(int(m_link->CommPort()), accepted ? number : 3);
}

void TestSerialLink::closedLinkShowsNothing()
{
    m_pty->write("waiting");
    QVERIFY(!m_link->PortOpen());
    QCOMPARE(m_link->InBufferCount(), qint16(0));
    QCOMPARE(m_link->CommEvent(), CommEvents::kNone);
    QVERIFY(m_link->Input().isEmpty());
    QVERIFY(!m_link->Output("n"));
    // What the device sent before the open is not this hold's: the line
    // starts empty on any Qt, and only what comes after is received.
    openOn(3);
    QVERIFY(m_pty->write("live"));
    QByteArray got;
    QTRY_VERIFY((got += m_link->Input()).size() >= 4);
    QCOMPARE(got, QByteArray("live"));
}

void TestSerialLink::receivedBytesRaiseAReceiveEvent()
{
    openOn(3);
    QCOMPARE(m_link->CommEvent(), CommEvents::kNone);
    const QByteArray report = QByteArray::fromHex("26312E30303256313033123456789ABCDEF001020A0B");
    QVERIFY(m_pty->write(report));
    QTRY_COMPARE(m_link->InBufferCount(), qint16(report.size()));
    QCOMPARE(m_link->CommEvent(), CommEvents::kReceive);
    QCOMPARE(m_link->Input(), report);
    QCOMPARE(m_link->InBufferCount(), qint16(0));
}

void TestSerialLink::commandBytesArriveInOrder()
{
    openOn(3);
    const QByteArray commands = QByteArray::fromHex("6E1463636E16");
    for (const char byte : commands)
        QVERIFY(m_link->Output(QByteArray(1, byte)));
    QCOMPARE(m_pty->read(commands.size()), commands);
}

void TestSerialLink::commandJustBeforeACloseIsNotLost()
{
    openOn(3);
    for (int cycle = 0; cycle < 20; ++cycle) {
        QVERIFY(m_link->Output("c"));
        reopen(*m_link, u"3"_s);
    }
    QCOMPARE(m_pty->read(20), QByteArray(20, 'c'));
}

void TestSerialLink::unreadBytesSurviveTheReopen()
{
    openOn(3);
    QVERIFY(m_pty->write("first"));
    QTRY_COMPARE(m_link->InBufferCount(), qint16(5));
    // These have not reached Qt yet when the cycle closes the port.
    QVERIFY(m_pty->write("second"));
    reopen(*m_link, u"3"_s);
    QVERIFY(m_link->PortOpen());
    QCOMPARE(m_link->CommEvent(), CommEvents::kReceive);
    QVERIFY(m_link->InBufferCount() >= 5);
    QByteArray got = m_link->Input();
    QTRY_VERIFY((got += m_link->Input()).size() >= 11);
    QCOMPARE(got, QByteArray("firstsecond"));
}

void TestSerialLink::missingDevice()
{
    // No link and no such ttyS; then a dangling link.
    QVERIFY(m_link->setCommPort(250));
    QVERIFY(!m_link->setPortOpen(true));
    QVERIFY(!m_link->PortOpen());
    QVERIFY(QFile::link(m_ports.filePath(u"gone"_s), m_ports.filePath(u"com5"_s)));
    reopen(*m_link, u"5"_s);
    QVERIFY(!m_link->PortOpen());
    QCOMPARE(m_link->CommEvent(), CommEvents::kNone);
    QVERIFY(!m_link->Output("n"));
    // Back on a good number at the next tick.
    reopen(*m_link, u"3"_s);
    QVERIFY(m_link->PortOpen());
}

void TestSerialLink::deviceInUse()
{
    auto other = std::make_unique<SerialLink>(m_ports.path());
    reopen(*other, u"3"_s);
    QVERIFY(other->PortOpen());
    reopen(*m_link, u"3"_s);
    QVERIFY(!m_link->PortOpen());
    QCOMPARE(m_link->portStatus().state, PortState::InUse);
    // Closed for the re-open cycle, the device is still the other link's.
    QVERIFY(other->setPortOpen(false));
    reopen(*m_link, u"3"_s);
    QVERIFY(!m_link->PortOpen());
    // Its number moves elsewhere: now the device is free.
    reopen(*other, u"4"_s);
    reopen(*m_link, u"3"_s);
    QVERIFY(m_link->PortOpen());
    QCOMPARE(m_link->portStatus().state, PortState::Open);
}

void TestSerialLink::twoLinksOnOneDevice()
{
    // Two copies of the tool on one port: the first keeps every byte, in
    // order, through 20 re-open cycles; the second never gets in.
    SerialLink second(m_ports.path());
    openOn(3);
    QByteArray received;
    for (int cycle = 0; cycle < 20; ++cycle) {
        QByteArray chunk;
        for (int i = 0; i < 50; ++i)
            chunk += char((cycle * 50 + i) % 251);
        QVERIFY(m_pty->write(chunk));
        ReopenLink(second, u"3"_s); // an open after its look would take the bytes
        QVERIFY(!second.PortOpen());
        reopen(*m_link, u"3"_s);
        QTRY_VERIFY((received += m_link->Input()).size() >= (cycle + 1) * 50);
    }
    QCOMPARE(received.size(), 1000);
    for (int i = 0; i < received.size(); ++i)
        QCOMPARE(quint8(received[i]), quint8(i % 251));
}

void TestSerialLink::keptBytesStayWithTheirDevice()
{
    Pty other;
    QVERIFY(other.linkAs(m_ports.path(), 4));
    // The device behind 3 fails with bytes unread, and the number moves on.
    openOn(3);
    QVERIFY(m_pty->write("half a report"));
    QTRY_VERIFY(m_link->InBufferCount() > 0);
    m_pty->vanish();
    QTRY_VERIFY(!m_link->PortOpen());
    reopen(*m_link, u"4"_s);
    QVERIFY(m_link->PortOpen());
    QCOMPARE(m_link->InBufferCount(), qint16(0));
    QVERIFY(other.write("new"));
    QByteArray got;
    QTRY_VERIFY((got += m_link->Input()).size() >= 3);
    QCOMPARE(got, QByteArray("new"));
}

void TestSerialLink::deviceVanishesAndComesBack()
{
    openOn(3);
    QVERIFY(m_pty->write("ab"));
    QTRY_COMPARE(m_link->InBufferCount(), qint16(2));
    m_pty->vanish();
    // The link lets go of the dead descriptor by itself.
    QTRY_VERIFY(!m_link->PortOpen());
    QCOMPARE(m_link->InBufferCount(), qint16(0));
    QVERIFY(!m_link->Output("n"));
    reopen(*m_link, u"3"_s);
    QVERIFY(!m_link->PortOpen());

    const QString before = m_pty->devicePath();
    m_pty = std::make_unique<Pty>();
    QVERIFY(m_pty->linkAs(m_ports.path(), 3));
    reopen(*m_link, u"3"_s);
    QVERIFY(m_link->PortOpen());
    // What was received before the device went is handed out first, on its
    // own, if it came back as the same device; the count of devices moves on
    // only after it, so that no report spans the two.
    const bool same = m_pty->devicePath() == before;
    const quint32 opened = m_link->devicesOpened();
    QVERIFY(m_pty->write("cd"));
    QTRY_VERIFY(m_link->InBufferCount() >= (same ? 4 : 2));
    if (same) {
        QCOMPARE(m_link->Input(), QByteArray("ab"));
        QCOMPARE(m_link->devicesOpened(), opened + 1);
    }
    QByteArray got;
    QTRY_VERIFY((got += m_link->Input()).size() >= 2);
    QCOMPARE(got, QByteArray("cd"));
    QVERIFY(m_link->Output("n"));
    QCOMPARE(m_pty->read(1), QByteArray("n"));
}

void TestSerialLink::streamAcrossReopenCycles()
{
    openOn(3);
    constexpr int kTotal = 6000;
    int sent = 0;
    QByteArray received;
    int cycles = 0;

    QTimer writer, reopen, poll;
    connect(&writer, &QTimer::timeout, this, [&] {
        QByteArray chunk;
        for (int i = 0; i < 60 && sent < kTotal; ++i, ++sent)
            chunk += char(sent % 251);
        m_pty->write(chunk);
    });
    connect(&reopen, &QTimer::timeout, this, [&] {
        ReopenLink(*m_link, u"3"_s);
        ++cycles;
    });
    connect(&poll, &QTimer::timeout, this, [&] {
        if (m_link->CommEvent() == CommEvents::kReceive && m_link->InBufferCount() > 0)
            received += m_link->Input();
    });
    writer.start(5);
    reopen.start(23);
    poll.start(10);
    QTRY_VERIFY_WITH_TIMEOUT(sent == kTotal, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), kTotal, 5000);
    QVERIFY(cycles >= 20);
    for (int i = 0; i < kTotal; ++i)
        QCOMPARE(quint8(received[i]), quint8(i % 251));
}

void TestSerialLink::cookedLineStaysRawInEveryGap()
{
    // A terminal nobody made raw, as a fresh ttyS or ttyUSB starts.
    m_link.reset();
    m_pty = std::make_unique<Pty>(Pty::Line::Cooked);
    QVERIFY(m_pty->linkAs(m_ports.path(), 3));
    const unsigned cooked = m_pty->localModes();
    QVERIFY(cooked & ECHO);
    m_link = std::make_unique<SerialLink>(m_ports.path());
    openOn(3);
    // Echo turned back on by another program is set back by the line's own
    // guard, with no tick in between.
    termios line{};
    QCOMPARE(::tcgetattr(m_pty->controlFd(), &line), 0);
    line.c_lflag |= ECHO;
    QCOMPARE(::tcsetattr(m_pty->controlFd(), TCSANOW, &line), 0);
    QTRY_VERIFY(!(m_pty->localModes() & ECHO));

    // CR, DEL, ^C, ^D, ^U, ^W, ^Z, ^S, ^Q and letters, sent in each re-open gap.
    const QByteArray keys = QByteArray::fromHex("0D7F0304151719131161620A");
    QByteArray sent, received, echoed;
    for (int cycle = 0; cycle < 20; ++cycle) {
        QVERIFY(m_link->setPortOpen(false));
        const QByteArray chunk = keys + QByteArray::number(cycle);
        QVERIFY(m_pty->write(chunk));
        sent += chunk;
        echoed += m_pty->read(1, 50); // an echo would come back now
        QVERIFY(m_link->setPortOpen(true));
        QTRY_VERIFY((received += m_link->Input()).size() >= sent.size());
    }
    echoed += m_pty->read(0, 50);
    QCOMPARE(echoed.toHex(), QByteArray());
    QCOMPARE(received.toHex(), sent.toHex());

    // Given back as it was found.
    m_link.reset();
    QCOMPARE(m_pty->localModes(), cooked);
}

void TestSerialLink::terminalTakenBySessionIsLetGo()
{
    openOn(3);
    QVERIFY(m_pty->becomeSessionTerminal());
    QTimer reopen;
    connect(&reopen, &QTimer::timeout, this, [&] { ReopenLink(*m_link, u"3"_s); });
    reopen.start(100);
    QTRY_VERIFY_WITH_TIMEOUT(!m_link->PortOpen(), waitLimit(3 * PortHold::kLookEveryMs));
    QCOMPARE(m_link->portStatus().state, PortState::LetGo);

    // What the session's user types never reaches the tool.
    QVERIFY(m_pty->write("password\r"));
    QSignalSpy ticks(&reopen, &QTimer::timeout);
    QTRY_VERIFY(ticks.size() >= 5);
    QVERIFY(!m_link->PortOpen());
    QCOMPARE(m_link->portStatus().state, PortState::LetGo);
    QCOMPARE(m_link->InBufferCount(), qint16(0));
    QVERIFY(m_link->Input().isEmpty());
}

void TestSerialLink::heldAgainAfterAHangUp()
{
    openOn(3);
    const int other = ::open(QFile::encodeName(m_pty->devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(other >= 0);
    QCOMPARE(::ioctl(other, TIOCVHANGUP), 0);
    ::close(other);
    // Let go at Qt's read error, and named for what it is.
    QTRY_VERIFY_WITH_TIMEOUT(!m_link->PortOpen(), waitLimit(2 * kReopenEveryMs));
    QCOMPARE(m_link->portStatus().state, PortState::HungUp);
    // Held again at the next tick; where only root may open it again, the tooltip keeps saying why.
    reopen(*m_link, u"3"_s);
    QCOMPARE(m_link->portStatus().state, ::geteuid() == 0 ? PortState::Open : PortState::HungUp);
    QVERIFY(m_pty->write("after"));
    QByteArray got;
    QTRY_VERIFY(!m_link->PortOpen() || (got += m_link->Input()).size() >= 5);
}

void TestSerialLink::anotherUserCannotTakeIt()
{
    if (::geteuid() != 0)
        QSKIP("needs root, to act as a second user");
    openOn(3);
    const QByteArray device = QFile::encodeName(m_pty->devicePath());
    QCOMPARE(::chmod(device.constData(), 0666), 0);
    // Both names others use for it, where the tool writes its locks.
    const QString folder = PortHold::systemLockFolders().value(0);
    const QByteArray locks[] = {
            QFile::encodeName(folder + u"/LCK.."_s + m_pty->devicePath().mid(5).replace(u'/', u'_')),
            QFile::encodeName(folder + u"/LCK.."_s + QFileInfo(m_pty->devicePath()).fileName())};
    const pid_t child = ::fork();
    if (child == 0) {
        // For 5 s, as fast as it can: create either lock, open the device, read.
        constexpr uid_t kNobody = 65534;
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(100);
        int won = 0;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000) {
            for (const QByteArray &lock : locks) {
                const int fd = ::open(lock.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                won |= fd >= 0 ? 1 : 0;
                if (fd >= 0 && ::close(fd) == 0)
                    ::unlink(lock.constData()); // the machine's lock folder is everyone's
            }
            const int fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            char byte;
            won |= fd >= 0 ? 2 : 0;
            won |= fd >= 0 && ::read(fd, &byte, 1) == 1 ? 4 : 0;
            if (fd >= 0)
                ::close(fd);
        }
        ::_exit(won);
    }
    // Whatever the outcome, nothing of the second user's stays in the machine's lock folder.
    const auto leftovers = qScopeGuard([&] {
        for (const QByteArray &lock : locks)
            if (QFileInfo(QFile::decodeName(lock)).size() == 0)
                QFile::remove(QFile::decodeName(lock));
    });
    Cycle cycle(*m_link, *m_pty, "0123456789", 20);
    int status = 0;
    bool ended = false;
    QTRY_VERIFY_WITH_TIMEOUT(ended || (ended = ::waitpid(child, &status, WNOHANG) == child), 10000);
    cycle.timer.stop();
    QTRY_COMPARE(cycle.received += m_link->Input(), cycle.sent);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0); // no lock made, no open, no byte read
    QCOMPARE(cycle.closedTicks, 0);
    QCOMPARE(m_link->portStatus().state, PortState::Open);
}

void TestSerialLink::outOfDescriptorsKeepsItRaw()
{
    m_link.reset();
    m_pty = std::make_unique<Pty>(Pty::Line::Cooked);
    QVERIFY(m_pty->linkAs(m_ports.path(), 3));
    m_link = std::make_unique<SerialLink>(m_ports.path());
    openOn(3);

    // Every descriptor number below the limit taken.
    std::optional<DescriptorsTaken> taken(std::in_place, m_pty->devicePath());
    QVERIFY(taken->lowered());
    QByteArray echoed;
    {
        Cycle cycle(*m_link, *m_pty, QByteArray::fromHex("0D7F030415611B"), 100);
        // Until a look at the lock files has found no descriptor to spare.
        QTRY_VERIFY_WITH_TIMEOUT(m_link->portStatus().outOfFiles, waitLimit(3 * PortHold::kLookEveryMs));
        cycle.timer.stop();
        echoed = m_pty->read(0, 100);
        // The last chunk may not have reached the link yet: wait for it.
        QTRY_COMPARE(cycle.received += m_link->Input(), cycle.sent);
        QCOMPARE(cycle.closedTicks, 0);
    }
    const PortStatus status = m_link->portStatus();
    taken.reset();
    QCOMPARE(echoed.toHex(), QByteArray());
    QCOMPARE(status.state, PortState::Open);
    QVERIFY(status.outOfFiles);
}

void TestSerialLink::thousandReopensLeakNothing()
{
    openOn(3);
    // Warm up allocations that happen once.
    for (int i = 0; i < 50; ++i)
        reopen(*m_link, u"3"_s);
    const int fds = openDescriptors();
    [[maybe_unused]] const qint64 rss = residentKiB();
    for (int i = 0; i < 1000; ++i) {
        reopen(*m_link, u"3"_s);
        if (i % 100 == 0)
            QVERIFY(m_pty->write("x")); // with traffic now and then
        QCoreApplication::processEvents();
    }
    QVERIFY(m_link->PortOpen());
    QCOMPARE(openDescriptors(), fds);
#ifndef __SANITIZE_ADDRESS__ // ASan's quarantine holds freed memory on purpose
    QVERIFY2(residentKiB() - rss < 1024, qPrintable(u"RSS grew by %1 KiB"_s.arg(residentKiB() - rss)));
#endif
    QByteArray got;
    QTRY_VERIFY((got += m_link->Input()).size() >= 10);
    QCOMPARE(got, QByteArray(10, 'x'));
}

QTEST_GUILESS_MAIN(TestSerialLink)
#include "tst_seriallink.moc"
