// How the test-mode log keeps up as it grows: the real poll into the real
// log widget, 96 bytes a poll (one poll's worth at 9600 baud).
#include "benchsupport.h"
#include "deviceprotocol.h"
#include "form1.h"
#include "memorydisplay.h"
#include "memorylink.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

using namespace Bench;

namespace {
constexpr int kBytesPerPoll = 96;
constexpr int kTotalBytes = 1'000'000;
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
};

// `rewrite`: the naive log that sets the whole text again for every byte.
Result run(int totalBytes, bool rewrite)
{
    auto *link = new MemoryLink;
    Form1 window(link);
    window.show();
    for (const char *name : {"Timer1", "Timer2"})
        window.findChild<QTimer *>(QString::fromLatin1(name))->stop();
    window.protocol().EnterTestMode();

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
            window.protocol().Timer1Tick();
        }
        QCoreApplication::processEvents(); // the window repaints as it would between polls
        pollMs << double(one.nsecsElapsed()) / 1e6;
        const qint64 bytes = qint64(p + 1) * kBytesPerPoll;
        for (const qint64 mark : {10'000, 100'000, 1'000'000})
            if (bytes - kBytesPerPoll < mark && bytes >= mark)
                result.rss << QStringLiteral("%1k: %2").arg(mark / 1000).arg(number(statusMiB("VmRSS"), 0));
        if (p + 1 == polls)
            result.rss << QStringLiteral("end: %1").arg(number(statusMiB("VmRSS"), 0));
    }
    result.bytesPerSecond = double(polls * kBytesPerPoll) / (double(total.nsecsElapsed()) / 1e9);
    result.slowestEarlyMs = *std::max_element(pollMs.begin(), pollMs.begin() + std::min<qsizetype>(kEdgePolls, pollMs.size()));
    result.slowestLateMs = *std::max_element(pollMs.end() - std::min<qsizetype>(kEdgePolls, pollMs.size()), pollMs.end());
    return result;
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
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));

    const Result baseline = run(kBaselineBytes, true);
    const Result appended = run(kTotalBytes, false);

    table(QStringLiteral("Test-mode log growth (offscreen, 96 bytes a poll)"),
          {QStringLiteral("log"), QStringLiteral("bytes"), QStringLiteral("bytes/s"),
           QStringLiteral("slowest of first 1000 polls (ms)"), QStringLiteral("slowest of last 1000 polls (ms)"),
           QStringLiteral("RSS at bytes logged (MiB)"), QStringLiteral("target")},
          {{QStringLiteral("appended once a poll"), QString::number(kTotalBytes),
            number(appended.bytesPerSecond, 0), number(appended.slowestEarlyMs, 2),
            number(appended.slowestLateMs, 2), appended.rss.join(QStringLiteral(", ")),
            QStringLiteral(">= 100000 bytes/s; late poll <= 10 ms and <= 2x early; <= 400 MiB")},
           {QStringLiteral("baseline: whole text rewritten per byte"), QString::number(kBaselineBytes),
            number(baseline.bytesPerSecond, 0), number(baseline.slowestEarlyMs, 2),
            number(baseline.slowestLateMs, 2), baseline.rss.join(QStringLiteral(", ")),
            QStringLiteral("-")}});
    table(QStringLiteral("Cost of one appended log line, in-memory display"),
          {QStringLiteral("log lines"), QStringLiteral("ns per AppendLogByte")},
          {{QStringLiteral("10,000"), number(appendNs(10'000), 0)},
           {QStringLiteral("1,000,000"), number(appendNs(1'000'000), 0)}});
    return 0;
}
