#include "quitonsignals.h"

#include <QCoreApplication>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;

// Each case runs in a child process of its own, since it changes how the
// process takes signals.
class TestQuitOnSignals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void signals_data();
    void signals();
};

namespace {
enum : int { kPassed = 0, kFailed = 1, kNoQuit = 3 };

int runCase(const QString &name)
{
    if (name == u"errno kept"_s) {
        QuitOnSignals(*QCoreApplication::instance());
        // With its pipe gone the handler's write fails and sets errno.
        for (int fd = 3; fd < 1024; ++fd) {
            struct stat st = {};
            if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode))
                ::close(fd);
        }
        errno = ERANGE;
        ::raise(SIGINT);
        return errno == ERANGE ? kPassed : kFailed;
    }
    if (name.startsWith(u"inherited SIG_IGN kept"_s)) {
        // nohup: still ignored when taken over, and after the first signal
        // to quit has put the others back to their defaults.
        ::signal(SIGHUP, SIG_IGN);
        QuitOnSignals(*QCoreApplication::instance());
        ::raise(SIGHUP);
        ::raise(name.endsWith(u"SIGINT"_s) ? SIGINT : SIGTERM);
        struct sigaction now = {};
        ::sigaction(SIGHUP, nullptr, &now);
        return now.sa_handler == SIG_IGN ? kPassed : kFailed;
    }
    // The first signal ends the event loop, the second the program.
    QuitOnSignals(*QCoreApplication::instance());
    QTimer::singleShot(5000, [] { ::_exit(kNoQuit); });
    ::raise(SIGTERM);
    QCoreApplication::exec();
    ::raise(SIGTERM);
    return kFailed;
}
} // namespace

void TestQuitOnSignals::signals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("exitCode"); // -1: killed by SIGTERM
    QTest::newRow("errno kept") << u"errno kept"_s << int(kPassed);
    QTest::newRow("inherited SIG_IGN kept, then SIGTERM") << u"inherited SIG_IGN kept, then SIGTERM"_s << int(kPassed);
    QTest::newRow("inherited SIG_IGN kept, then SIGINT") << u"inherited SIG_IGN kept, then SIGINT"_s << int(kPassed);
    QTest::newRow("second signal ends it") << u"second signal ends it"_s << -1;
}

void TestQuitOnSignals::signals()
{
    QFETCH(QString, name);
    QFETCH(int, exitCode);
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(runCase(name));
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    if (exitCode < 0) {
        QVERIFY2(WIFSIGNALED(status), qPrintable(u"exit code %1"_s.arg(WEXITSTATUS(status))));
        QCOMPARE(WTERMSIG(status), SIGTERM);
    } else {
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), exitCode);
    }
}

QTEST_GUILESS_MAIN(TestQuitOnSignals)
#include "tst_quitonsignals.moc"
