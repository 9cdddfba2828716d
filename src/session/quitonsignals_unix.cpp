#include "quitonsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
constexpr int kQuitSignals[] = {SIGINT, SIGTERM, SIGHUP};

int g_signalPipe[2] = {-1, -1};
// Which of kQuitSignals we handle; one inherited as ignored (nohup) stays so.
volatile sig_atomic_t g_handled[std::size(kQuitSignals)] = {};

void onSignal(int)
{
    const int savedErrno = errno;
    // The first signal asks the event loop to end; if the program hangs, the
    // next one ends it outright.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    for (size_t i = 0; i < std::size(kQuitSignals); ++i)
        if (g_handled[i])
            ::sigaction(kQuitSignals[i], &fallback, nullptr);
    const char byte = 'q';
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}
} // namespace

void QuitOnSignals(QCoreApplication &app, void (* /*closeNow*/)())
{
    // A launcher may pass SIGCHLD on ignored, which takes away the exit status
    // of every child the program waits for.
    ::signal(SIGCHLD, SIG_DFL);
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char drained[16];
        while (::read(g_signalPipe[0], drained, sizeof drained) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kQuitSignals); ++i) {
        struct sigaction inherited = {};
        ::sigaction(kQuitSignals[i], nullptr, &inherited);
        if (inherited.sa_handler == SIG_IGN)
            continue;
        g_handled[i] = 1;
        ::sigaction(kQuitSignals[i], &action, nullptr);
    }
}
