#include "quitonsignals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <windows.h>

namespace {
// Windows ends the process when the handler of a closed console, a log-off or
// a shutdown returns; meanwhile the event loop ends and main() closes the port.
constexpr DWORD kCloseGraceMs = 4000;

// Windows runs it on a thread of its own.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    return QuitOnConsoleEvent(event);
}

// The session ends (log-off, shutdown): Windows ends the process as soon as
// WM_ENDSESSION has been answered, so the port is closed before that.
class EndSessionFilter final : public QAbstractNativeEventFilter
{
public:
    explicit EndSessionFilter(void (*closeNow)())
        : m_closeNow(closeNow)
    {
    }
    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) override
    {
        if (eventType != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message == WM_ENDSESSION && msg->wParam) {
            if (m_closeNow)
                m_closeNow();
            QCoreApplication::quit();
        }
        return false;
    }

private:
    void (*m_closeNow)();
};
} // namespace

int QuitOnConsoleEvent(unsigned long event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        QMetaObject::invokeMethod(QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
            ::Sleep(kCloseGraceMs);
        return TRUE;
    default:
        return FALSE;
    }
}

void QuitOnSignals(QCoreApplication &app, void (*closeNow)())
{
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    app.installNativeEventFilter(new EndSessionFilter(closeNow));
}
