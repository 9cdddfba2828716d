#pragma once

class QCoreApplication;

// How the program starts and ends outside the window's own events.
namespace AppSession {

// Until windowSystemReached(), a window system that can't be reached ends the
// program with one line on stderr and exit code 1, not an abort and a core.
void guardWindowSystem();
void windowSystemReached();

// SIGINT, SIGTERM and SIGHUP end the program as "Exit Tool" does: the event
// loop returns, the window and its port close, and the exit code is 0.
void quitOnSignals(QCoreApplication &app);

} // namespace AppSession
