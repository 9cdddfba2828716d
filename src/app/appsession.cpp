#include "appsession.h"

#include <QList>

#include <cstdio>
#include <cstdlib>

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
