// The Windows tool under Wine against the Linux simulated BA: COM1 of the Wine
// profile is mapped to ba-sim's pseudo-terminal, and the scripted technician
// (the real window on SerialLink, built for Windows) works through a report,
// a test with the white card and a numbered stream across 20 re-opens, while
// a second copy started on the same port waits its turn.
//
// The Windows build's ctest runs this Linux program; it finds the technician
// in TECHNICIAN, Wine's runner in WINE_RUN and the profile in WINEPREFIX.
#include "simprocess.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
constexpr int kStepMs = 30'000;
// About twenty re-opens of the 500 ms cycle.
constexpr int kStreamMs = 10'000;
const QString kWine = u"/usr/lib/wine/wine64"_s;
} // namespace

class TestWineEndToEnd : public QObject
{
    Q_OBJECT

private:
    QProcess m_technician;
    QString m_said;

    // Waits for a line the technician says that starts with `start`.
    std::optional<QString> heard(const QString &start, int ms = kStepMs)
    {
        std::optional<QString> line;
        (void)QTest::qWaitFor(
                [&] {
                    m_said += QString::fromLocal8Bit(m_technician.readAllStandardOutput());
                    for (const QString &l : m_said.split(u'\n'))
                        if (l.startsWith(start) && !line)
                            line = l.trimmed();
                    return line.has_value() || m_technician.state() == QProcess::NotRunning;
                },
                ms);
        return line;
    }

private Q_SLOTS:
    void aTechniciansSession();
};

void TestWineEndToEnd::aTechniciansSession()
{
    const QString technician = qEnvironmentVariable("TECHNICIAN");
    if (technician.isEmpty() || qEnvironmentVariableIsEmpty("WINEPREFIX"))
        QSKIP("needs TECHNICIAN and WINEPREFIX; the Windows build's ctest sets them");
    QTemporaryDir ports;
    SimProcess sim;
    QVERIFY2(sim.start(ports.path(), 1), qPrintable(sim.output()));
    const QString pty = QFileInfo(ports.filePath(u"com1"_s)).symLinkTarget();
    QCOMPARE(QProcess::execute(
                     kWine,
                     {u"reg"_s, u"add"_s, u"HKLM\\Software\\Wine\\Ports"_s, u"/v"_s, u"COM1"_s, u"/d"_s, pty, u"/f"_s}),
             0);
    QProcess::execute(u"/usr/lib/wine/wineserver"_s, {u"-k"_s}); // it reads the ports when it starts

    m_technician.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_technician.start(
            qEnvironmentVariable("WINE_RUN"),
            {technician, u"--port"_s, u"1"_s, u"--script"_s, u"open,report,adjust,log,exit,adjust,stream,exit"_s});
    const auto transcript = [&] { return (m_said + u"\n--- ba-sim:\n"_s + sim.output()).toLocal8Bit(); };
    QVERIFY2(heard(u"held COM1"_s), transcript().constData());
    // Wine lets a second open of a pty through, as some USB-serial drivers do:
    // the tool's own guard keeps the second copy out.
    QProcess second;
    QByteArray secondSaid;
    const auto secondSays = [&](const char *what) {
        return (secondSaid += second.readAllStandardOutput()).contains(what);
    };
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    second.start(qEnvironmentVariable("WINE_RUN"), {technician, u"--port"_s, u"1"_s, u"--script"_s, u"open"_s});
    QTRY_VERIFY2_WITH_TIMEOUT(secondSays("status COM1: in use by another copy of this tool"), transcript().constData(),
                              kStepMs);

    sim.press('r');
    const auto report = heard(u"report "_s);
    QVERIFY2(report, transcript().constData());
    QCOMPARE(*report, u"report 1.0|02|V103|1234|5678|9ABC|DEF0|0102|0A0B"_s);
    QTRY_VERIFY2_WITH_TIMEOUT(sim.said(u"received 6E 14: enter test mode"_s), transcript().constData(), kStepMs);

    // The white card's readings, after the BA's echo of the enter command.
    sim.press('c');
    const auto log = heard(u"log "_s);
    QVERIFY2(log, transcript().constData());
    QCOMPARE(*log, u"log 110,20,5,12,25,42,62,85,107,128,148,167,184,198,209"_s);
    QTRY_VERIFY2_WITH_TIMEOUT(sim.said(u"received 63 63: leave test mode"_s), transcript().constData(), kStepMs);

    // A numbered stream at the line's rate through about twenty re-opens.
    QTRY_VERIFY2_WITH_TIMEOUT(sim.output().count(u"received 6E 14"_s) == 2, transcript().constData(), kStepMs);
    sim.press('s');
    QTest::qWait(kStreamMs);
    sim.press('s');
    QTRY_VERIFY2(sim.said(u"stream stopped after "_s), transcript().constData());
    const QString stopped = sim.output().section(u"stream stopped after "_s, 1).section(u' ', 0, 0);
    const auto verdict = heard(u"logged "_s);
    QVERIFY2(verdict, transcript().constData());
    QCOMPARE(*verdict, u"logged %1 lost 0 disorder 0"_s.arg(stopped));
    QVERIFY2(!secondSays("held"), "the second copy held COM1 beside the first");
    QTRY_VERIFY2_WITH_TIMEOUT(sim.output().count(u"received 63 63"_s) == 2, transcript().constData(), kStepMs);

    QVERIFY2(heard(u"done"_s), transcript().constData());
    QVERIFY(m_technician.waitForFinished(kStepMs));
    QCOMPARE(m_technician.exitCode(), 0);
    // The second copy takes the port once the first has let it go.
    QTRY_VERIFY2_WITH_TIMEOUT(secondSays("held COM1"), secondSaid.constData(), kStepMs);
    QVERIFY(second.waitForFinished(kStepMs));
}

QTEST_GUILESS_MAIN(TestWineEndToEnd)
#include "tst_wine_endtoend.moc"
