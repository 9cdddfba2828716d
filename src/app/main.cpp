#include "appsession.h"
#include "form1.h"
#include "portselection.h"
#include "quitonsignals.h"
#include "seriallink.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

namespace {
// Qt aborts with a long diagnostic when no window system answers; say it plainly.
bool haveDisplay()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    const auto set = [](const char *name) { return !qEnvironmentVariableIsEmpty(name); };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
#else
    return true;
#endif
}
} // namespace

int main(int /*argc*/, char *argv[])
{
    if (!haveDisplay()) {
        std::fputs("calvarin: no display (DISPLAY and WAYLAND_DISPLAY are unset); "
                   "start it from a desktop session\n",
                   stderr);
        return EXIT_FAILURE;
    }
    // The tool has no command line: Qt's own options (-reverse, -stylesheet)
    // never reach it. The environment still chooses the platform.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    AppSession::guardWindowSystem();
    QApplication app(qtArgc, qtArgv);
    AppSession::windowSystemReached();
    QApplication::setStyle(QStringLiteral("Fusion"));
    // Matches the installed desktop entry, so the desktop shows its icon and name.
    QGuiApplication::setDesktopFileName(QStringLiteral(CALVARIN_APP_ID));
    // Ends as "Exit Tool" does: the window and its port close, exit code 0.
    QuitOnSignals(app, SerialLink::closeAll);
    // A lost display ends the program through exit(), past every destructor.
    std::atexit(SerialLink::closeAll);

    Form1 window(new SerialLink(DefaultPortFolder()));
    window.show();
    return app.exec();
}
