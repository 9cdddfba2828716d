#include "appsession.h"

#include <QCoreApplication>
#include <QList>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

QtMessageHandler g_previousHandler = nullptr;
// Qt's chatter while it looks for a window system; shown only if it finds one.
QList<std::pair<QtMsgType, QString>> *g_startupMessages = nullptr;
QMessageLogContext g_noContext;

void startupHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fputs("calvarin: cannot reach the window system; start it from a desktop session\n", stderr);
        std::_Exit(EXIT_FAILURE);
    }
    if (g_startupMessages)
        g_startupMessages->append({type, message});
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 'q';
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

} // namespace

void AppSession::guardWindowSystem()
{
    g_startupMessages = new QList<std::pair<QtMsgType, QString>>;
    g_previousHandler = qInstallMessageHandler(startupHandler);
}

void AppSession::windowSystemReached()
{
    qInstallMessageHandler(g_previousHandler);
    const auto messages = std::exchange(g_startupMessages, nullptr);
    if (!messages)
        return;
    for (const auto &[type, message] : std::as_const(*messages))
        qt_message_output(type, g_noContext, message);
    delete messages;
}

void AppSession::quitOnSignals(QCoreApplication &app)
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char drained[16];
        while (::read(g_signalPipe[0], drained, sizeof drained) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}
