// Start-up time: from starting the process to the window shown. The parent
// starts itself as the child again and again; the child builds the window as
// the tool's main() does and reports when it is exposed.
#include "benchsupport.h"
#include "form1.h"
#include "portselection.h"
#include "seriallink.h"

#include <QApplication>
#include <QProcess>
#include <QTest>

#include <cstring>
#include <ctime>

using namespace Bench;

namespace {
constexpr int kRuns = 15;

qint64 nowNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int child(qint64 startedNs)
{
    int argc = 1;
    char name[] = "calvarin";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Fusion"));
    Form1 window(new SerialLink(DefaultPortFolder()));
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    std::printf("%lld\n", static_cast<long long>(nowNs() - startedNs));
    return 0;
}
} // namespace

int main(int argc, char *argv[])
{
    if (argc == 3 && std::strcmp(argv[1], "--child") == 0)
        return child(std::atoll(argv[2]));

    QCoreApplication app(argc, argv);
    QList<double> ms;
    for (int i = 0; i < kRuns; ++i) {
        QProcess process;
        const qint64 started = nowNs();
        process.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), QString::number(started)});
        if (!process.waitForFinished(10000) || process.exitCode() != 0)
            qFatal("bench_startup: the window did not come up");
        ms << process.readAllStandardOutput().trimmed().toDouble() / 1e6;
    }
    const QString platform = qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb"));
    table(QStringLiteral("Start-up: process start to window shown"),
          {QStringLiteral("platform"), QStringLiteral("runs"), QStringLiteral("median (ms)"),
           QStringLiteral("max (ms)"), QStringLiteral("target")},
          {{platform, QString::number(kRuns), number(percentile(ms, 50)), number(percentile(ms, 100)),
            QStringLiteral("< 300 ms")}});
    return 0;
}
