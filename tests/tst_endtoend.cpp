#include "form1.h"
#include "locknames.h"
#include "pseudoterminal.h"
#include "seriallink.h"
#include "scriptedprompt.h"
#include "plaintooltip.h"
#include "simprocess.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextDocumentFragment>
#include <QTest>
#include <QTimer>

#include <memory>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

namespace {
// Waits around a simulator's end and restart: on a loaded machine a process
// takes seconds to start or to be seen gone.
constexpr int kRestartMs = 20'000;

} // namespace

// The real window on the real serial stack against the simulated BA. Every
// test gets its own simulator and window, and waits for whole states only: a
// complete report, or the exact log.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_ports;
    std::unique_ptr<SimProcess> m_sim;
    ScriptedPrompt *m_prompt = nullptr;
    std::unique_ptr<Form1> m_window;

    QString caption(const char *name) const { return m_window->findChild<QLabel *>(QString::fromLatin1(name))->text(); }
    QPushButton *button(const char *name) const
    {
        return m_window->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    QString log() const { return m_window->text(Control::Text1); }
    // The simulated BA reset; its whole report is on screen.
    bool reportShown()
    {
        m_window->setCaption(Control::Label20, QString());
        m_sim->press('r');
        return QTest::qWaitFor([this] { return caption("Label20") == u"BA Reset Finish"_s; }, kRestartMs);
    }
    void enterTestMode()
    {
        QVERIFY(reportShown());
        QTest::mouseClick(button("Command8"), Qt::LeftButton);
        QTRY_VERIFY2(m_sim->said(u"received 6E 14: enter test mode"_s), qPrintable(m_sim->output()));
        QTRY_COMPARE(log(), u"110\r\n20"_s);
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void resetShowsTheReport();
    void echoOnlyTestModeAsksForAReset();
    void cardReadingsResumeNormalMode();
    void clearEeprom_data();
    void clearEeprom();
    void recoversFromAPortWithNoDevice();
    void simulatorRefuses_data();
    void simulatorRefuses();
    void simulatorKilledInTestModeThenRestarted();
    void strangersTerminalIsNeverOpened();
    void hungUpLineIsHeldAgain();
    void signalEndsItWithoutATrace_data();
    void signalEndsItWithoutATrace();
};

void TestEndToEnd::initTestCase()
{
    QApplication::setStyle(u"Fusion"_s);
}

void TestEndToEnd::init()
{
    m_ports = std::make_unique<QTemporaryDir>();
    QVERIFY(m_ports->isValid());
    m_sim = std::make_unique<SimProcess>();
    QVERIFY2(m_sim->start(m_ports->path(), 1), qPrintable(m_sim->output()));
    auto prompt = std::make_unique<ScriptedPrompt>();
    m_prompt = prompt.get();
    m_window = std::make_unique<Form1>(new SerialLink(m_ports->path()), std::move(prompt));
    m_window->show();
    QTRY_VERIFY(m_window->link().PortOpen());
}

void TestEndToEnd::cleanup()
{
    m_window.reset();
    m_sim->stop();
    QVERIFY(!QFile::exists(m_ports->filePath(u"com1"_s)));
    QVERIFY(!QFile::exists(m_ports->filePath(u"com1.lock"_s)));
    m_sim.reset();
    m_ports.reset();
}

void TestEndToEnd::resetShowsTheReport()
{
    // As the demo starts: a report asked for before the tool holds the line
    // arrives, whatever the open flushes.
    m_sim->stop();
    QVERIFY2(m_sim->start(m_ports->path(), 1, {u"--report-on-start"_s}), qPrintable(m_sim->output()));
    QTRY_COMPARE_WITH_TIMEOUT(caption("Label20"), u"BA Reset Finish"_s, kRestartMs);
    QCOMPARE(caption("Label5"), u"1.0"_s);
    QCOMPARE(caption("Label6"), u"02"_s);
    QCOMPARE(caption("Label7"), u"V103"_s);
    QCOMPARE(caption("Label14"), u"1234"_s);
    QCOMPARE(caption("Label19"), u"0A0B"_s);
    QVERIFY(button("Command8")->isEnabled());
}

void TestEndToEnd::echoOnlyTestModeAsksForAReset()
{
    enterTestMode();
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QTRY_VERIFY(m_sim->said(u"received 63 63: leave test mode"_s));
    QCOMPARE(caption("Label20"), u"Please Reset BA To Resume Normal Mode"_s);
}

void TestEndToEnd::cardReadingsResumeNormalMode()
{
    enterTestMode();
    m_sim->press('c');
    QTRY_COMPARE(log(),
                 u"110\r\n20\r\n5\r\n12\r\n25\r\n42\r\n62\r\n85\r\n107\r\n128\r\n148\r\n167\r\n"
                 "184\r\n198\r\n209"_s);
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QCOMPARE(caption("Label20"), u"BA Resume Normal Mode"_s);

    // Out of test mode the BA takes no white card.
    QTRY_VERIFY(m_sim->said(u"received 63 63: leave test mode"_s));
    m_sim->press('c');
    QTRY_VERIFY(m_sim->said(u"card: ignored, not in test mode"_s));
}

void TestEndToEnd::clearEeprom_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addRow("cancel") << false;
    QTest::addRow("ok") << true;
}

void TestEndToEnd::clearEeprom()
{
    QFETCH(bool, ok);
    m_prompt->answer = ok;
    const auto count = [this](const QString &line) { return int(m_sim->output().count(line)); };
    button("Command4")->click();
    // A byte sent after the command shows the line has delivered everything before it.
    QVERIFY(m_window->link().Output("&"));
    QTRY_COMPARE(count(u"received 26"_s), 1);
    QCOMPARE(count(u"clear EEPROM"_s), ok ? 1 : 0);
    QVERIFY(reportShown());
    QCOMPARE(caption("Label14"), ok ? u"FFFF"_s : u"1234"_s);
}

void TestEndToEnd::recoversFromAPortWithNoDevice()
{
    auto *box = m_window->findChild<QLineEdit *>(u"Text2"_s);
    box->setText(u"2"_s); // no simulator there
    QTRY_VERIFY(!m_window->link().PortOpen());
    QTRY_VERIFY(plainToolTip(box).endsWith(u": no such device"_s));
    box->setText(u"1"_s);
    QTRY_VERIFY(m_window->link().PortOpen());
    QVERIFY(reportShown());
}

void TestEndToEnd::simulatorRefuses_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("why");
    QTest::addRow("a claimed port") << 1 << QStringList{} << u"already exists and is not ours"_s;
    QTest::addRow("a port out of range") << 256 << QStringList{} << u"outside 1-255"_s;
    QTest::addRow("a timer that overflows") << 2 << QStringList{u"--reset-every"_s, u"2147484"_s}
                                            << u"--reset-every needs a whole number from 1 to 2147483"_s;
}

void TestEndToEnd::simulatorRefuses()
{
    QFETCH(int, port);
    QFETCH(QStringList, options);
    QFETCH(QString, why);
    SimProcess second;
    QVERIFY(!second.start(m_ports->path(), port, options));
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 1);
    QVERIFY2(second.output().contains(why), qPrintable(second.output()));
    QCOMPARE(second.output().count(u'\n'), 1);
    // The first simulator's link is untouched.
    QVERIFY(QFile::exists(m_ports->filePath(u"com1"_s)));
}

void TestEndToEnd::simulatorKilledInTestModeThenRestarted()
{
    enterTestMode();
    m_sim->kill();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->link().PortOpen(), kRestartMs);
    QCOMPARE(log(), u"110\r\n20"_s);

    // Nobody holds its lock any more, so a new simulator may take the port over.
    QVERIFY2(m_sim->start(m_ports->path(), 1), qPrintable(m_sim->output()));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->link().PortOpen(), kRestartMs);
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QTRY_VERIFY(m_sim->said(u"received 63 63: leave test mode"_s));
    QCOMPARE(log(), u"110\r\n20"_s);
    QVERIFY(reportShown());
}

void TestEndToEnd::strangersTerminalIsNeverOpened()
{
    m_sim->kill();
    QTRY_VERIFY_WITH_TIMEOUT(!m_window->link().PortOpen(), kRestartMs);
    // The kernel hands the killed simulator's pty number to someone's shell.
    Pty stranger;
    QVERIFY(stranger.becomeSessionTerminal());
    const QString com1 = m_ports->filePath(u"com1"_s);
    QVERIFY(QFile::remove(com1));
    QVERIFY(QFile::link(stranger.devicePath(), com1));

    auto *box = m_window->findChild<QLineEdit *>(u"Text2"_s);
    QSignalSpy ticks(m_window->findChild<QTimer *>(u"Timer2"_s), &QTimer::timeout);
    for (int tick = 0; tick < 3; ++tick) {
        QVERIFY(ticks.wait());
        QVERIFY(!m_window->link().PortOpen());
    }
    QCOMPARE(plainToolTip(box), stranger.devicePath() + u": not a serial port: some session's terminal"_s);
    QVERIFY(stranger.read(0, 0).isEmpty());

    QVERIFY2(m_sim->start(m_ports->path(), 1), qPrintable(m_sim->output()));
    QTRY_VERIFY_WITH_TIMEOUT(m_window->link().PortOpen(), kRestartMs);
    QVERIFY(reportShown());
    QVERIFY(stranger.read(0, 0).isEmpty());
}

void TestEndToEnd::hungUpLineIsHeldAgain()
{
    // A hang-up from another descriptor: the tool lets go, and the line (a
    // new one from the simulator, where the old stays exclusive) is held again.
    const quint32 before = m_window->link().devicesOpened();
    const int other = ::open(QFile::encodeName(m_window->link().portStatus().device).constData(),
                             O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(other >= 0);
    QCOMPARE(::ioctl(other, TIOCVHANGUP), 0);
    ::close(other);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->link().PortOpen() && m_window->link().devicesOpened() > before, kRestartMs);
    QVERIFY(reportShown());
}

void TestEndToEnd::signalEndsItWithoutATrace_data()
{
    QTest::addColumn<int>("signal");
    QTest::addRow("SIGINT") << SIGINT;
    QTest::addRow("SIGTERM") << SIGTERM;
    QTest::addRow("SIGHUP") << SIGHUP;
}

void TestEndToEnd::signalEndsItWithoutATrace()
{
    QFETCH(int, signal);
    // The tool itself, on a device that nobody else has open.
    QTemporaryDir home;
    Pty device;
    device.closeDeviceSide();
    QVERIFY(device.linkAs(home.filePath(u"calvarin/ports"_s), 1));
    QProcess tool;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_DATA_HOME"_s, home.path());
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    tool.setProcessEnvironment(env);
    const auto held = [&device] {
        const int fd = ::open(QFile::encodeName(device.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool busy = fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (fd >= 0)
            ::close(fd);
        return busy;
    };
    const QString lockName = pathLockName(device.devicePath());

    for (int run = 0; run < 2; ++run) {
        tool.start(QStringLiteral(CALVARIN_PATH), {});
        QVERIFY(tool.waitForStarted());
        QTRY_VERIFY(held());
        ::kill(pid_t(tool.processId()), signal);
        QVERIFY(tool.waitForFinished(5000));
        QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
        QCOMPARE(tool.exitCode(), 0);
        QVERIFY(!held());
        for (const QString &folder : {u"/run/lock"_s, u"/var/lock"_s})
            QVERIFY(!QFile::exists(folder + u'/' + lockName));
    }
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
