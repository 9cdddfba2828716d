#include "quitonsignals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <windows.h>

namespace {
// The session ends (log-off, shutdown): Windows may end the process as soon
// as WM_ENDSESSION is answered, and waits for nothing else of it. The port is
// closed here, and the process ends at once with exit code 0 rather than
// being killed later. Ended without the DLLs' teardown: from inside the
// window procedure that would run under the loader lock while Qt's threads
// are cut off mid-step, and could hang the log-off. Nothing is left to save.
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
            ::TerminateProcess(::GetCurrentProcess(), 0);
        }
        return false;
    }

private:
    void (*m_closeNow)();
};
} // namespace

void QuitOnSignals(QCoreApplication &app, void (*closeNow)())
{
    app.installNativeEventFilter(new EndSessionFilter(closeNow));
}
