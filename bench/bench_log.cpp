// How the test-mode log keeps up as it grows: the real poll into the real
// log widget, 96 bytes a poll (one poll's worth at 9600 baud).
#include "benchsupport.h"
#include "deviceprotocol.h"
#include "form1.h"
#include "memorydisplay.h"
#include "memorylink.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

using namespace Bench;

namespace {
constexpr int kBytesPerPoll = 96;
constexpr int kTotalBytes = 5'000'000;
constexpr qint64 kShiftLines = 960LL * 3600 * 8; // 8 hours at 9600 baud
constexpr int kBurstBytes = 1 << 20;
// The rewriting baseline grows with the square of the log; 100 polls show it.
constexpr int kBaselineBytes = 9'600;
constexpr int kEdgePolls = 1000;

QByteArray pollBytes(int poll)
{
    QByteArray bytes(kBytesPerPoll, 0);
    for (int i = 0; i < kBytesPerPoll; ++i)
        bytes[i] = char((poll * kBytesPerPoll + i) & 0xFF);
    return bytes;
}

struct Result
{
    double bytesPerSecond = 0;
    double slowestEarlyMs = 0;
    double slowestLateMs = 0;
    QList<QString> rss;
    double rssAt1M = 0, rssAtEnd = 0, clearMs = 0, rssAfterClear = 0;
};

// The window in test mode on an in-memory link, its timers stopped: the
// benchmark drives the polls.
struct TestModeWindow
{
    MemoryLink *link = new MemoryLink;
    Form1 window{link};

    TestModeWindow()
    {
        window.show();
        for (const char *name : {"Timer1", "Timer2"})
            window.findChild<QTimer *>(QString::fromLatin1(name))->stop();
        window.protocol().EnterTestMode();
    }
};

// `rewrite`: the naive log that sets the whole text again for every byte.
Result run(int totalBytes, bool rewrite)
{
    TestModeWindow bench;
    MemoryLink *link = bench.link;
    Form1 &window = bench.window;

    const int polls = (totalBytes + kBytesPerPoll - 1) / kBytesPerPoll;
    QList<double> pollMs;
    Result result;
    QElapsedTimer total, one;
    total.start();
    for (int p = 0; p < polls; ++p) {
        one.start();
        if (rewrite) {
            for (const char byte : pollBytes(p)) {
                const QString old = window.text(Control::Text1);
                const QString decimal = QString::number(quint8(byte));
                window.setText(Control::Text1, old.isEmpty() ? decimal : old + QStringLiteral("\r\n") + decimal);
            }
        } else {
            link->receive(pollBytes(p));
            window.Timer1Tick();
        }
        QCoreApplication::processEvents(); // the window repaints as it would between polls
        pollMs << double(one.nsecsElapsed()) / 1e6;
        const qint64 bytes = qint64(p + 1) * kBytesPerPoll;
        for (const qint64 mark : {10'000, 100'000, 1'000'000})
            if (bytes - kBytesPerPoll < mark && bytes >= mark) {
                result.rss << QStringLiteral("%1k: %2").arg(mark / 1000).arg(number(statusMiB("VmRSS"), 0));
                result.rssAt1M = statusMiB("VmRSS");
            }
        if (p + 1 == polls) {
            result.rssAtEnd = statusMiB("VmRSS");
            result.rss << QStringLiteral("end: %1").arg(number(result.rssAtEnd, 0));
        }
    }
    result.bytesPerSecond = double(polls * kBytesPerPoll) / (double(total.nsecsElapsed()) / 1e9);
    result.slowestEarlyMs = *std::max_element(pollMs.begin(),
                                              pollMs.begin() + std::min<qsizetype>(kEdgePolls, pollMs.size()));
    result.slowestLateMs = *std::max_element(pollMs.end() - std::min<qsizetype>(kEdgePolls, pollMs.size()),
                                             pollMs.end());

    // "Clear" of the "Rs232 Data" frame, and the repaint after it.
    QElapsedTimer clear;
    clear.start();
    window.findChild<QPushButton *>(QStringLiteral("Command2"))->click();
    QCoreApplication::processEvents();
    result.clearMs = double(clear.nsecsElapsed()) / 1e6;
    result.rssAfterClear = statusMiB("VmRSS");
    return result;
}

// How long the event loop is blocked when one poll finds a whole backlog.
double burstMs(int bytes)
{
    TestModeWindow bench;
    Form1 &window = bench.window;
    QCoreApplication::processEvents();
    QByteArray backlog(bytes, 0);
    for (int i = 0; i < bytes; ++i)
        backlog[i] = char(i & 0xFF);
    bench.link->receive(backlog);
    QElapsedTimer blocked;
    blocked.start();
    window.Timer1Tick();
    QCoreApplication::processEvents();
    const double ms = double(blocked.nsecsElapsed()) / 1e6;
    if (window.textLength(Control::Text1) != window.text(Control::Text1).size())
        qFatal("bench_log: the burst's log is inconsistent");
    return ms;
}

// Fills the log to `lines` lines in bursts, as a backlog would arrive.
void fillLog(TestModeWindow &bench, qint64 lines)
{
    constexpr int kFillBytes = 1 << 20;
    for (qint64 done = 0; done < lines; done += kFillBytes) {
        const int bytes = int(std::min<qint64>(kFillBytes, lines - done));
        QByteArray backlog(bytes, 0);
        for (int i = 0; i < bytes; ++i)
            backlog[i] = char((done + i) & 0xFF);
        bench.link->receive(backlog);
        bench.window.Timer1Tick();
    }
    QCoreApplication::processEvents();
}

// The log's scroll bar at `lines` logged `perPoll` bytes a poll (the BA's
// pace, or a backlog in one poll): its range plus one page, against the lines.
QStringList scrollBarRow(int lines, int perPoll)
{
    TestModeWindow bench;
    for (int done = 0; done < lines; done += perPoll) {
        QByteArray bytes(std::min(perPoll, lines - done), 0);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char((done + i) & 0xFF);
        bench.link->receive(bytes);
        bench.window.Timer1Tick();
        QCoreApplication::processEvents(); // the flush, and a paint now and then
    }
    const QScrollBar *bar = bench.window.findChild<QPlainTextEdit *>(QStringLiteral("Text1"))->verticalScrollBar();
    return {QString::number(lines), QString::number(perPoll), QString::number(bar->maximum()),
            QString::number(bar->pageStep()), QString::number(bar->maximum() + bar->pageStep() - lines)};
}

struct Stall
{
    double p99Ms = 0, maxMs = 0;
};

// The technician types into the log while the BA streams at the line's rate:
// the longest the event loop stands still around each key, from a 5 ms clock.
Stall typingStall(qint64 lines, int keys)
{
    TestModeWindow bench;
    fillLog(bench, lines);
    auto *box = bench.window.findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    box->setFocus();
    QTimer stream;
    int poll = 0;
    QObject::connect(&stream, &QTimer::timeout, [&] {
        bench.link->receive(pollBytes(poll++));
        bench.window.Timer1Tick();
    });
    stream.start(100);

    QElapsedTimer clock;
    clock.start();
    QList<qint64> ticks;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { ticks << clock.nsecsElapsed(); });
    watch.start(5);
    QList<qint64> keyTimes;
    QTimer typist;
    QObject::connect(&typist, &QTimer::timeout, [&] {
        keyTimes << clock.nsecsElapsed();
        QTest::keyClick(box, Qt::Key_A);
    });
    typist.start(250);
    QTest::qWait(250 * keys + 300);
    typist.stop();
    watch.stop();
    stream.stop();

    QList<double> stalls;
    for (const qint64 key : std::as_const(keyTimes)) {
        double worst = 0;
        for (qsizetype i = 1; i < ticks.size(); ++i)
            if (ticks[i] > key && ticks[i - 1] < key + 100'000'000)
                worst = std::max(worst, double(ticks[i] - ticks[i - 1]) / 1e6 - 5.0);
        stalls << std::max(0.0, worst);
    }
    return {percentile(stalls, 99), percentile(stalls, 100)};
}

// 10 MB with 100,000 line breaks of every kind, pasted into the middle of a
// 1M-line log; then the BA's next bytes arrive.
std::pair<double, double> pasteIntoTheMiddle()
{
    TestModeWindow bench;
    fillLog(bench, 1'000'000);
    auto *box = bench.window.findChild<QPlainTextEdit *>(QStringLiteral("Text1"));
    const QString breaks[] = {QStringLiteral("\r\n"), QStringLiteral("\n"), QStringLiteral("\r"),
                              QString(QChar::LineSeparator), QString(QChar::ParagraphSeparator)};
    QString paste;
    paste.reserve(10'000'000);
    for (int line = 0; line < 100'000; ++line)
        paste += QString(100 - breaks[line % 5].size(), QChar(u'0' + line % 10)) + breaks[line % 5];
    QGuiApplication::clipboard()->setText(paste);
    QTextCursor middle(box->document()->findBlockByNumber(box->document()->blockCount() / 2));
    box->setTextCursor(middle);
    box->setFocus();

    const qsizetype before = bench.window.textLength(Control::Text1);
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
    QCoreApplication::processEvents();
    const double pasteMs = double(clock.nsecsElapsed()) / 1e6;
    if (bench.window.textLength(Control::Text1) - before < paste.size())
        qFatal("bench_log: the paste did not arrive (%lld characters)",
               static_cast<long long>(bench.window.textLength(Control::Text1) - before));
    clock.start();
    bench.link->receive(QByteArray(10, 7));
    bench.window.Timer1Tick();
    QCoreApplication::processEvents();
    return {pasteMs, double(clock.nsecsElapsed()) / 1e6};
}

// Cost of one AppendLogByte on the in-memory display once the log has `lines` lines.
double appendNs(int lines)
{
    MemoryDisplay display;
    MemoryLink link;
    DeviceProtocol protocol(display, link);
    for (int i = 0; i < lines; ++i)
        protocol.AppendLogByte(quint8(i));
    constexpr int kSamples = 10'000;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kSamples; ++i)
        protocol.AppendLogByte(quint8(i));
    return double(clock.nsecsElapsed()) / kSamples;
}
// The technician's typing and pasting in a long log.
void hands(bool quick)
{
    QList<QStringList> handRows;
    for (const qint64 lines : {5'000'000LL, 20'000'000LL}) {
        if (quick && lines > 5'000'000)
            continue;
        const Stall stall = typingStall(lines, quick ? 10 : 40);
        handRows << QStringList{QStringLiteral("stall per typed key at %1M lines, BA streaming").arg(lines / 1'000'000),
                                QStringLiteral("p99 %1 ms, max %2 ms").arg(number(stall.p99Ms), number(stall.maxMs)),
                                QStringLiteral("p99 <= 16 ms")};
    }
    const auto [pasteMs, flushMs] = pasteIntoTheMiddle();
    handRows << QStringList{QStringLiteral("10 MB pasted into a 1M-line log, then the next flush"),
                            QStringLiteral("%1 ms (paste %2 ms, flush %3 ms)")
                                    .arg(number(pasteMs + flushMs, 0), number(pasteMs, 0), number(flushMs, 0)),
                            QStringLiteral("<= 2000 ms in all")};
    table(QStringLiteral("The log under the technician's hands (offscreen)"),
          {QStringLiteral("figure"), QStringLiteral("measured"), QStringLiteral("target")}, handRows);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    // --quick: the log's own figures only, without the slow baseline and the
    // 20M-line log. --hands: only the technician's typing and pasting.
    // --scroll: only the scroll bar's rows.
    const bool quick = QCoreApplication::arguments().contains(QStringLiteral("--quick"));
    const bool handsOnly = QCoreApplication::arguments().contains(QStringLiteral("--hands"));
    if (handsOnly) {
        hands(quick);
        return 0;
    }
    QList<QStringList> scrollRows;
    for (const int perPoll : {kBytesPerPoll, 1 << 20})
        for (const int lines : {1'000, 20'000, 200'000, 1'000'000})
            scrollRows << scrollBarRow(lines, perPoll);
    table(QStringLiteral("The log's scroll bar"),
          {QStringLiteral("lines logged"), QStringLiteral("bytes a poll"), QStringLiteral("maximum"),
           QStringLiteral("page"), QStringLiteral("maximum + page - lines (target: -1 to 1)")},
          scrollRows);
    if (QCoreApplication::arguments().contains(QStringLiteral("--scroll")))
        return 0;
    const Result appended = run(kTotalBytes, false);
    const double burst = burstMs(kBurstBytes);
    QList<QStringList> growthRows{{QStringLiteral("appended once a poll"), QString::number(kTotalBytes),
                                   number(appended.bytesPerSecond, 0), number(appended.slowestEarlyMs, 2),
                                   number(appended.slowestLateMs, 2), appended.rss.join(QStringLiteral(", ")),
                                   QStringLiteral(">= 100000 bytes/s; late poll <= 10 ms and <= 2x early")}};
    if (!quick) {
        const Result baseline = run(kBaselineBytes, true);
        growthRows << QStringList{QStringLiteral("baseline: whole text rewritten per byte"),
                                  QString::number(kBaselineBytes),
                                  number(baseline.bytesPerSecond, 0),
                                  number(baseline.slowestEarlyMs, 2),
                                  number(baseline.slowestLateMs, 2),
                                  baseline.rss.join(QStringLiteral(", ")),
                                  QStringLiteral("-")};
    }
    table(QStringLiteral("Test-mode log growth (offscreen, 96 bytes a poll)"),
          {QStringLiteral("log"), QStringLiteral("bytes"), QStringLiteral("bytes/s"),
           QStringLiteral("slowest of first 1000 polls (ms)"), QStringLiteral("slowest of last 1000 polls (ms)"),
           QStringLiteral("RSS at bytes logged (MiB)"), QStringLiteral("target")},
          growthRows);

    const double perLineBytes = (appended.rssAtEnd - appended.rssAt1M) * 1024 * 1024 / (kTotalBytes - 1'000'000);
    const double shiftGiB = (appended.rssAt1M * 1024 * 1024 + perLineBytes * double(kShiftLines - 1'000'000))
            / (1024.0 * 1024 * 1024);
    table(QStringLiteral("A shift's log: memory, bursts and clearing"),
          {QStringLiteral("figure"), QStringLiteral("measured"), QStringLiteral("target")},
          {{QStringLiteral("RSS at 1M logged lines"), number(appended.rssAt1M, 0) + QStringLiteral(" MiB"),
            QStringLiteral("<= 120 MiB")},
           {QStringLiteral("growth per logged line, 1M to 5M lines"), number(perLineBytes, 0) + QStringLiteral(" B"),
            QStringLiteral("<= 80 B (stretch <= 40 B)")},
           {QStringLiteral("throughput, 96 bytes a poll, to 5M lines"),
            number(appended.bytesPerSecond, 0) + QStringLiteral(" B/s"), QStringLiteral(">= 100000 B/s")},
           {QStringLiteral("slowest of the last 1000 polls at 5M lines"),
            number(appended.slowestLateMs, 2) + QStringLiteral(" ms (first 1000: ") + number(appended.slowestEarlyMs, 2)
                    + QStringLiteral(" ms)"),
            QStringLiteral("<= 10 ms and <= 2x the first 1000")},
           {QStringLiteral("event loop blocked by a 1 MiB burst in one poll"), number(burst, 0) + QStringLiteral(" ms"),
            QStringLiteral("<= 250 ms")},
           {QStringLiteral("\"Clear\" of a 5M-line log"),
            number(appended.clearMs, 0) + QStringLiteral(" ms (RSS after: ") + number(appended.rssAfterClear, 0)
                    + QStringLiteral(" MiB)"),
            QStringLiteral("<= 500 ms")},
           {QStringLiteral("8-hour shift at 960 B/s (27.65M lines), projected"),
            number(shiftGiB, 2) + QStringLiteral(" GiB"), QStringLiteral("<= 2.5 GiB (stretch <= 1.2 GiB)")}});
    hands(quick);
    table(QStringLiteral("Cost of one appended log line, in-memory display"),
          {QStringLiteral("log lines"), QStringLiteral("ns per AppendLogByte")},
          {{QStringLiteral("10,000"), number(appendNs(10'000), 0)},
           {QStringLiteral("1,000,000"), number(appendNs(1'000'000), 0)}});
    return 0;
}
