// The ways a Windows session ends the tool: a console's Ctrl-C, Ctrl-Break or
// close, and the end of the session (WM_ENDSESSION), which must close the port
// before Windows ends the process. Wine gives a process no console that
// GenerateConsoleCtrlEvent reaches, so console events are handed to the
// installed handler on a thread of its own, as Windows does.
#include "quitonsignals.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <thread>
#include <windows.h>

namespace {
int g_closed = 0;
void closeNow()
{
    ++g_closed;
}
} // namespace

class TestEndSession : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void ends_data();
    void ends();
};

void TestEndSession::initTestCase()
{
    QuitOnSignals(*QCoreApplication::instance(), closeNow);
}

void TestEndSession::ends_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("quits");
    QTest::addColumn<bool>("closesFirst");
    QTest::newRow("Ctrl-C") << QStringLiteral("ctrl-c") << true << false;
    QTest::newRow("Ctrl-Break") << QStringLiteral("ctrl-break") << true << false;
    QTest::newRow("the console closes") << QStringLiteral("console closed") << true << false;
    QTest::newRow("the session ends") << QStringLiteral("end session") << true << true;
    QTest::newRow("the end of the session is called off") << QStringLiteral("end called off") << false << false;
}

void TestEndSession::ends()
{
    QFETCH(QString, how);
    QFETCH(bool, quits);
    QFETCH(bool, closesFirst);
    g_closed = 0;
    std::thread console;
    if (how == QStringLiteral("ctrl-c"))
        console = std::thread(QuitOnConsoleEvent, CTRL_C_EVENT);
    else if (how == QStringLiteral("ctrl-break"))
        console = std::thread(QuitOnConsoleEvent, CTRL_BREAK_EVENT);
    else if (how == QStringLiteral("console closed"))
        console = std::thread(QuitOnConsoleEvent, CTRL_CLOSE_EVENT);
    else
        QVERIFY(::PostThreadMessageW(::GetCurrentThreadId(), WM_ENDSESSION, how == QStringLiteral("end session"),
                                     ENDSESSION_LOGOFF));
    // The event loop ends at once, or goes on until the timeout says it did not.
    bool timedOut = false;
    QTimer::singleShot(2000, [&] {
        timedOut = true;
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    if (console.joinable())
        console.join();
    QCOMPARE(!timedOut, quits);
    QCOMPARE(g_closed, closesFirst ? 1 : 0);
    QCoreApplication::processEvents(); // the pending timeout, if any, goes now
}

QTEST_GUILESS_MAIN(TestEndSession)
#include "tst_endsession.moc"
