#pragma once

class QCoreApplication;

// SIGINT, SIGTERM and SIGHUP (on Windows: a console's Ctrl-C, Ctrl-Break or
// close, and the end of the session) make the event loop return, so the
// program ends through its normal path: destructors close ports and release
// locks. A signal the program inherited as ignored (nohup) stays ignored, and
// after the first signal a second one ends the program at once, even if it
// hangs. Where the system ends the process before the event loop can return
// (the end of a Windows session), `closeNow` runs first.
void QuitOnSignals(QCoreApplication &app, void (*closeNow)() = nullptr);

#ifdef _WIN32
// The console-event handler QuitOnSignals installs, as Windows calls it, on a
// thread of its own; for a suite that cannot raise console events (under Wine
// it cannot).
int QuitOnConsoleEvent(unsigned long event);
#endif
