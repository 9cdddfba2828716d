// The whole tool on a real serial stack: the window on the offscreen platform,
// SerialLink on a pseudo-terminal, and the simulated BA at the other end.
#include "basimulator.h"
#include "benchsupport.h"
#include "form1.h"
#include "linewriter.h"
#include "naivelink.h"
#include "numberedstream.h"
#include "porthold.h"
#include "portclaim.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Bench;

namespace {

// The simulated BA wired to the controlling side of a claimed port.
class BenchDevice
{
public:
    BenchDevice(const QString &folder, int port, int pace = BaSimulator::kLineBytesPerSecond)
        : m_claim(PortClaim::claim(folder, port, &m_error))
        , m_ba(BaIdentity{}, pace)
    {
        if (!m_claim)
            qFatal("cannot claim port %d: %s", port, qPrintable(m_error));
        m_line = std::make_unique<LineWriter>(m_claim->controlFd());
        QObject::connect(&m_ba, &BaSimulator::transmit, [this](const QByteArray &b) { send(b); });
    }

    void send(const QByteArray &bytes) { m_line->send(bytes); }
    bool idle() const { return m_line->idle(); }
    BaSimulator &ba() { return m_ba; }
    QString devicePath() const { return m_claim->devicePath(); }

private:
    QString m_error;
    std::optional<PortClaim> m_claim;
    BaSimulator m_ba;
    std::unique_ptr<LineWriter> m_line;
};

void waitFor(const std::function<bool()> &done, const char *what, int ms = 5000)
{
    if (!QTest::qWaitFor(done, ms))
        qFatal("bench_serial: timed out waiting for %s", what);
}

QString caption(const Form1 &window, const char *name)
{
    return window.findChild<QLabel *>(QString::fromLatin1(name))->text();
}

void reportLatency(const QString &folder, int reports)
{
    BenchDevice device(folder, 1);
    Form1 window(new SerialLink(folder));
    window.show();
    waitFor([&] { return window.link().PortOpen(); }, "the port to open");

    const QByteArray report = device.ba().identity().report();
    QList<double> latencies;
    QElapsedTimer sent;
    bool waiting = false;
    // Runs right after each poll: the window's own Timer1 slot was connected first.
    QObject::connect(window.findChild<QTimer *>(QStringLiteral("Timer1")), &QTimer::timeout, [&] {
        if (waiting && caption(window, "Label20") == QStringLiteral("BA Reset Finish")) {
            latencies << double(sent.nsecsElapsed()) / 1e6;
            waiting = false;
        }
    });
    QRandomGenerator random(7);
    for (int i = 0; i < reports; ++i) {
        window.setCaption(Control::Label20, QString());
        QTest::qWait(random.bounded(100)); // any phase against the poll
        device.send(report);
        sent.start();
        waiting = true;
        (void)QTest::qWaitFor([&] { return !waiting; }, 2000); // a miss shows in the count
    }
    table(QStringLiteral("Report latency: last report byte written to \"BA Reset Finish\" shown"),
          {QStringLiteral("reports"), QStringLiteral("p50 (ms)"), QStringLiteral("p99 (ms)"),
           QStringLiteral("max (ms)"), QStringLiteral("target")},
          {{QString::number(latencies.size())
                    + (latencies.size() < reports ? QStringLiteral(" (some lost)") : QString()),
            number(percentile(latencies, 50)), number(percentile(latencies, 99)), number(percentile(latencies, 100)),
            QStringLiteral("p99 <= 110 ms (poll every 100 ms)")}});
}

struct StreamResult
{
    qint64 sent = 0, logged = 0, lost = 0, disorder = 0;
    int cycles = 0;
};

StreamResult streamThrough(Form1 &window, BenchDevice &device, int rate, int seconds)
{
    window.protocol().EnterTestMode();
    window.protocol().ClearLog();
    int cycles = 0;
    auto *timer2 = window.findChild<QTimer *>(QStringLiteral("Timer2"));
    const auto counter = QObject::connect(timer2, &QTimer::timeout, [&] { ++cycles; });
    const qint64 before = device.ba().streamed();
    device.ba().startStream(rate);
    QTest::qWait(seconds * 1000);
    device.ba().startStream(0);
    // Let the line and two polls drain what is in flight.
    waitFor([&] { return device.idle(); }, "the stream to drain", 10000);
    QTest::qWait(400);
    QObject::disconnect(counter);

    StreamResult r;
    r.sent = device.ba().streamed() - before;
    r.cycles = cycles;
    const NumberedStream stream = NumberedStream::of(window.text(Control::Text1), before);
    r.logged = stream.lines;
    r.lost = stream.lost + std::max<qint64>(0, before + r.sent - stream.next);
    r.disorder = stream.disorder;
    window.protocol().LeaveTestMode();
    window.protocol().ClearLog();
    return r;
}

void streamLoss(const QString &folder, int seconds)
{
    QList<QStringList> rows;
    const auto row = [&](const QString &link, int rate, const StreamResult &r) {
        rows << QStringList{link,
                            QString::number(rate),
                            number(double(r.sent) / seconds, 0),
                            QString::number(seconds),
                            QString::number(r.cycles),
                            QString::number(r.sent),
                            QString::number(r.logged),
                            QString::number(r.lost),
                            QString::number(r.disorder)};
    };
    {
        BenchDevice device(folder, 2);
        Form1 window(new SerialLink(folder));
        window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("2"));
        window.show();
        waitFor([&] { return window.link().PortOpen(); }, "the port to open");
        for (const int rate : {960, 9'600, 96'000})
            row(QStringLiteral("SerialLink"), rate, streamThrough(window, device, rate, seconds));
    }
    {
        BenchDevice device(folder, 3);
        Form1 window(new NaiveLink(device.devicePath()));
        window.show();
        waitFor([&] { return window.link().PortOpen(); }, "the port to open");
        row(QStringLiteral("baseline: plain close and reopen"), 960, streamThrough(window, device, 960, seconds));
    }
    table(QStringLiteral("Test-mode stream across the 500 ms re-open cycle"),
          {QStringLiteral("link"), QStringLiteral("bytes/s asked"), QStringLiteral("bytes/s sent"),
           QStringLiteral("seconds"), QStringLiteral("re-opens"), QStringLiteral("sent"), QStringLiteral("logged"),
           QStringLiteral("lost"), QStringLiteral("duplicated or out of order")},
          rows);
}

// Two copies of the tool on one port, the second started after the first:
// who logs the stream, and how often the port changes hands.
void twoInstances(const QString &folder)
{
    constexpr int kBytes = 9'600;
    BenchDevice device(folder, 5);
    QList<std::shared_ptr<Form1>> windows;
    for (int i = 0; i < 2; ++i) {
        auto window = std::make_shared<Form1>(new SerialLink(folder));
        window->findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("5"));
        window->show();
        if (i == 0)
            waitFor([&] { return window->link().PortOpen(); }, "the port to open");
        window->protocol().EnterTestMode();
        windows << window;
    }
    for (const auto &window : std::as_const(windows))
        window->protocol().ClearLog();
    // The second copy's opens are the hand-overs; one lasts until its next tick.
    int handOvers = 0;
    QObject::connect(windows[1]->findChild<QTimer *>(QStringLiteral("Timer2")), &QTimer::timeout,
                     [&] { handOvers += windows[1]->link().PortOpen() ? 1 : 0; });
    device.ba().startStream(BaSimulator::kLineBytesPerSecond);
    waitFor([&] { return device.ba().streamed() >= kBytes; }, "the stream", 30000);
    device.ba().startStream(0);
    waitFor([&] { return device.idle(); }, "the stream to drain", 10000);
    QTest::qWait(400);
    const auto logged = [&](int i) {
        return windows[i]->text(Control::Text1).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts).size();
    };
    table(QStringLiteral("Two copies of the tool on one port, 960 bytes/s"),
          {QStringLiteral("sent"), QStringLiteral("first logged"), QStringLiteral("second logged"),
           QStringLiteral("hand-overs"), QStringLiteral("target")},
          {{QString::number(device.ba().streamed()), QString::number(logged(0)), QString::number(logged(1)),
            QString::number(handOvers), QStringLiteral("first logs all, second 0, 0 hand-overs")}});
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void idleCost(const QString &folder, int seconds)
{
    auto device = std::make_unique<BenchDevice>(folder, 4);
    Form1 window(new SerialLink(folder));
    window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("4"));
    window.show();
    waitFor([&] { return window.link().PortOpen(); }, "the port to open");

    QList<QStringList> rows;
    const auto measure = [&](const QString &what) {
        const double cpu = cpuSeconds();
        QElapsedTimer wall;
        wall.start();
        // The event loop alone: QTest::qWait would add a wake-up of its own every 10 ms.
        QEventLoop idle;
        QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
        idle.exec();
        const double percent = 100.0 * (cpuSeconds() - cpu) / (double(wall.elapsed()) / 1000.0);
        rows << QStringList{what, QString::number(seconds), number(percent, 2), number(statusMiB("VmRSS"), 0),
                            QStringLiteral("CPU <= 0.3%")};
    };
    measure(QStringLiteral("port open, BA silent"));
    // Unplugged under an open port: the descriptor dies, the link lets go.
    device.reset();
    waitFor([&] { return !window.link().PortOpen(); }, "the port to close");
    measure(QStringLiteral("device gone while open"));
    // A number with nothing behind it: the open fails every half second.
    window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("250"));
    measure(QStringLiteral("port number with no device"));
    // Someone's shell behind the number: refused at every tick after a look at /proc.
    Pty shell;
    if (shell.becomeSessionTerminal() && shell.linkAs(folder, 6)) {
        window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("6"));
        measure(QStringLiteral("port is a session's terminal"));
    }
    // The same, with 2,000 more processes for a look at /proc to wade through.
    if (window.link().portStatus().state == PortState::SessionTerminal) {
        QList<pid_t> crowd;
        for (int i = 0; i < 2000; ++i) {
            const pid_t child = ::fork();
            if (child == 0) {
                for (;;)
                    ::pause();
            }
            if (child > 0)
                crowd << child;
        }
        measure(QStringLiteral("port refused with 2,000 extra processes: a session's terminal"));
        rows.last().last() = QStringLiteral("CPU <= 0.3%");
        // Held by a program that locks with flock alone (picocom, tio): the
        // look at /proc finds nobody, and the open is refused after it.
        const QString flockRow = QStringLiteral("port refused with 2,000 extra processes: another program's flock");
        Pty held;
        const int fd = ::open(QFile::encodeName(held.devicePath()).constData(), O_RDWR | O_NOCTTY);
        const char *failed = fd < 0                   ? "open"
                : ::flock(fd, LOCK_EX | LOCK_NB) != 0 ? "flock"
                : !held.linkAs(folder, 9)             ? "link"
                                                      : nullptr;
        if (failed) {
            // Said in the table rather than left out of it.
            rows << QStringList{flockRow, QStringLiteral("-"),
                                QStringLiteral("not measured: %1 of %2 failed: %3")
                                        .arg(QLatin1String(failed), held.devicePath(),
                                             QString::fromLocal8Bit(std::strerror(errno))),
                                QStringLiteral("-"), QStringLiteral("CPU <= 0.3%")};
        } else {
            window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("9"));
            measure(flockRow);
            rows.last().last() = QStringLiteral("CPU <= 0.3%");
        }
        if (fd >= 0)
            ::close(fd);
        for (const pid_t child : std::as_const(crowd)) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }
    table(QStringLiteral("Idle cost"),
          {QStringLiteral("state"), QStringLiteral("seconds"), QStringLiteral("CPU %"), QStringLiteral("RSS (MiB)"),
           QStringLiteral("target")},
          rows);
}

// A line nobody made raw, as a fresh ttyS or ttyUSB boots: the BA sends CR,
// DEL, ^C, ^D, ^U, ^W and letters through the re-open cycle. First the window
// at the line's rate; then the link alone, with the BA's bytes sent in 50 ms
// gaps between close and open, as a slow machine or a real UART stretches them.
void cookedLine(const QString &folder, int seconds)
{
    const QByteArray keys = QByteArray::fromHex("0D7F0304151761626364");
    QList<QStringList> rows;
    const auto row = [&](const QString &how, int reopens, const QByteArray &sent, const QByteArray &logged,
                         const QByteArray &echoed) {
        rows << QStringList{how,
                            QString::number(reopens),
                            QString::number(sent.size()),
                            QString::number(logged.size()),
                            QString::number(echoed.size()),
                            logged == sent ? QStringLiteral("yes") : QStringLiteral("no"),
                            QStringLiteral("0 echoed, all logged as sent")};
    };
    {
        Pty ba(Pty::Line::Cooked);
        ba.linkAs(folder, 7);
        Form1 window(new SerialLink(folder));
        window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("7"));
        window.show();
        waitFor([&] { return window.link().PortOpen(); }, "the port to open");
        window.protocol().EnterTestMode();
        ba.read(2, 1000); // the enter command
        window.protocol().ClearLog();
        QByteArray sent, echoed;
        QTimer writer, reader;
        QObject::connect(&writer, &QTimer::timeout, [&] {
            ba.write(keys);
            sent += keys;
        });
        QObject::connect(&reader, &QTimer::timeout, [&] { echoed += ba.read(0, 0); });
        writer.start(10); // about the line's 960 bytes/s
        reader.start(5);
        QTest::qWait(seconds * 1000);
        writer.stop();
        QTest::qWait(400);
        reader.stop();
        echoed += ba.read(0, 100);
        QByteArray logged;
        for (const QString &line : window.text(Control::Text1).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            logged += char(line.toInt());
        row(QStringLiteral("window, %1 s at the line's rate").arg(seconds), seconds * 2, sent, logged, echoed);
    }
    {
        constexpr int kReopens = 20;
        Pty ba(Pty::Line::Cooked);
        ba.linkAs(folder, 8);
        SerialLink link(folder);
        (void)link.setCommPort(8);
        (void)link.setPortOpen(true);
        QByteArray sent, logged, echoed;
        for (int i = 0; i < kReopens; ++i) {
            (void)link.setPortOpen(false);
            ba.write(keys);
            sent += keys;
            echoed += ba.read(keys.size(), 50);
            (void)link.setPortOpen(true);
            (void)QTest::qWaitFor([&] { return (logged += link.Input()).size() >= sent.size(); }, 200);
        }
        row(QStringLiteral("link, bytes sent in 50 ms gaps"), kReopens, sent, logged, echoed);
    }
    table(QStringLiteral("A cooked line across the re-open cycle"),
          {QStringLiteral("how"), QStringLiteral("re-opens"), QStringLiteral("sent"), QStringLiteral("logged"),
           QStringLiteral("echoed back to the device"), QStringLiteral("logged exactly as sent"),
           QStringLiteral("target")},
          rows);
}

// The once-a-second check that a held port has not become a session's
// terminal, timed in a process as large as the tool grows with a shift's
// log; the memory here stands in for the log's.
void terminalCheck()
{
    constexpr int kChecks = 10;
    QList<QStringList> rows;
    for (const qsizetype mib : {qsizetype(0), qsizetype(300), qsizetype(1024)}) {
        QByteArray ballast(mib << 20, '\1');
        Pty pty;
        PortHold hold;
        // The serial port's open, as the link does it.
        const int fd = !hold.prepare(pty.devicePath())
                ? ::open(QFile::encodeName(pty.devicePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK)
                : -1;
        if (fd < 0 || hold.take(fd))
            qFatal("bench_serial: cannot hold %s", qPrintable(pty.devicePath()));
        QList<double> times;
        for (int i = 0; i < kChecks; ++i) {
            QThread::msleep(1010); // the check is due again
            for (qsizetype page = 0; page < ballast.size(); page += 4096)
                ballast[page] = char(i); // the log's pages, written meanwhile
            QElapsedTimer clock;
            clock.start();
            if (hold.check())
                qFatal("bench_serial: the held port was let go");
            times << double(clock.nsecsElapsed()) / 1e6;
        }
        hold.letGo([fd] { ::close(fd); });
        rows << QStringList{QString::number(mib),
                            number(statusMiB("VmRSS"), 0),
                            QString::number(kChecks),
                            number(percentile(times, 50), 2),
                            number(percentile(times, 100), 2),
                            QStringLiteral("max <= 2 ms at any size")};
    }
    table(QStringLiteral("Checking once a second that a held port is no session's terminal"),
          {QStringLiteral("log-sized memory (MiB)"), QStringLiteral("RSS (MiB)"), QStringLiteral("checks"),
           QStringLiteral("median (ms)"), QStringLiteral("max (ms)"), QStringLiteral("target")},
          rows);
}

// A shift, run: 8 hours of the BA streaming at 960 bytes/s, from the simulated
// BA through SerialLink into the window, at a hundred times the line's rate.
void shift(const QString &folder, bool quick)
{
    const qint64 kShiftBytes = 960LL * 3600 * 8 / (quick ? 100 : 1);
    constexpr int kRate = 100 * BaSimulator::kLineBytesPerSecond;
    constexpr qint64 kLastMinuteMs = 60'000;
    BenchDevice device(folder, 10, kRate);
    Form1 window(new SerialLink(folder));
    window.findChild<QLineEdit *>(QStringLiteral("Text2"))->setText(QStringLiteral("10"));
    window.show();
    waitFor([&] { return window.link().PortOpen(); }, "the port to open");
    window.protocol().EnterTestMode();
    window.protocol().ClearLog();

    // Each poll timed from its timer's event to the end of the window's own slot.
    struct PollClock : QObject
    {
        QElapsedTimer poll;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Timer)
                poll.start();
            return false;
        }
    } clock;
    auto *timer1 = window.findChild<QTimer *>(QStringLiteral("Timer1"));
    timer1->installEventFilter(&clock);
    QElapsedTimer run;
    QList<std::pair<qint64, double>> polls; // when, how long (ms)
    const auto timed = [&] { polls.append({run.elapsed(), double(clock.poll.nsecsElapsed()) / 1e6}); };
    QObject::connect(timer1, &QTimer::timeout, timed);

    run.start();
    device.ba().startStream(kRate);
    waitFor([&] { return device.ba().streamed() >= kShiftBytes; }, "the shift's stream", 4 * 3600 * 1000);
    device.ba().startStream(0);
    const qint64 streamMs = run.elapsed();
    waitFor([&] { return device.idle(); }, "the stream to drain", 60'000);
    QTest::qWait(400);
    const qint64 sent = device.ba().streamed();

    const NumberedStream stream = NumberedStream::of(window.text(Control::Text1));
    const qint64 lines = stream.lines, disorder = stream.disorder;
    const qint64 lost = stream.lost + std::max<qint64>(0, sent - stream.next);
    const double rssEnd = statusMiB("VmRSS");
    double slowestLastMinute = 0;
    for (const auto &[at, ms] : std::as_const(polls))
        if (at >= streamMs - kLastMinuteMs && at <= streamMs)
            slowestLastMinute = std::max(slowestLastMinute, ms);

    // A typed key at the end of the log, with the BA still streaming.
    auto *box = window.findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    box->setFocus();
    box->moveCursor(QTextCursor::End);
    device.ba().startStream(BaSimulator::kLineBytesPerSecond);
    QList<double> keys;
    for (int key = 0; key < 20; ++key) {
        QElapsedTimer stall;
        stall.start();
        QTest::keyClick(box, Qt::Key_X);
        QCoreApplication::processEvents();
        keys << double(stall.nsecsElapsed()) / 1e6;
        QTest::qWait(50);
    }
    device.ba().startStream(0);
    QElapsedTimer clear;
    clear.start();
    window.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
    QCoreApplication::processEvents();
    const double clearMs = double(clear.nsecsElapsed()) / 1e6;

    table(QStringLiteral("A shift, run: %1 hours at 960 bytes/s through SerialLink into the window, at %2 bytes/s")
                  .arg(quick ? 0.08 : 8)
                  .arg(kRate),
          {QStringLiteral("figure"), QStringLiteral("measured"), QStringLiteral("target")},
          {{QStringLiteral("bytes sent / lines logged"),
            QStringLiteral("%1 / %2 (%3 lost, %4 out of order)").arg(sent).arg(lines).arg(lost).arg(disorder),
            QStringLiteral("0 lost")},
           {QStringLiteral("time to stream it"), QStringLiteral("%1 s").arg(number(double(streamMs) / 1000, 0)),
            QStringLiteral("<= 2880 s (10x the line's rate)")},
           {QStringLiteral("RSS at the end"), QStringLiteral("%1 MiB").arg(number(rssEnd, 0)),
            QStringLiteral("<= 2.5 GiB (stretch <= 1.2 GiB)")},
           {QStringLiteral("longest poll in the last minute"),
            QStringLiteral("%1 ms").arg(number(slowestLastMinute, 1)), QStringLiteral("-")},
           {QStringLiteral("typed key's stall at the end"),
            QStringLiteral("p99 %1 ms, max %2 ms").arg(number(percentile(keys, 99)), number(percentile(keys, 100))),
            QStringLiteral("p99 <= 16 ms")},
           {QStringLiteral("Clear"),
            QStringLiteral("%1 ms (RSS after: %2 MiB)").arg(number(clearMs, 0), number(statusMiB("VmRSS"), 0)),
            QStringLiteral("<= 500 ms")}});
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    // --quick: a short run to check the benchmark itself. Names of sections
    // (latency, stream, copies, cooked, idle, probe, shift) run only those;
    // the shift runs only when named, from scripts/bench.
    QStringList args = QApplication::arguments().mid(1);
    const bool quick = args.removeAll(QStringLiteral("--quick")) > 0;
    const auto wanted = [&](const char *section) { return args.isEmpty() || args.contains(QLatin1String(section)); };
    QTemporaryDir folder;

    if (wanted("latency"))
        reportLatency(folder.path(), quick ? 20 : 200);
    if (wanted("stream"))
        streamLoss(folder.path(), quick ? 3 : 20);
    if (wanted("copies"))
        twoInstances(folder.path());
    if (wanted("cooked"))
        cookedLine(folder.path(), 6);
    if (wanted("idle"))
        idleCost(folder.path(), quick ? 5 : 60);
    if (wanted("probe"))
        terminalCheck();
    if (args.contains(QLatin1String("shift")))
        shift(folder.path(), quick);
    return 0;
}
