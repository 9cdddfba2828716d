#pragma once

class QCoreApplication;

// SIGINT, SIGTERM and SIGHUP make the event loop return, so the program ends
// through its normal path: destructors close ports and release locks. A
// signal the program inherited as ignored (nohup) stays ignored, and after the
// first signal a second one ends the program at once, even if it hangs.
// SIGCHLD goes back to its default, whatever was inherited.
//
// On Windows a program with a window gets no signals and no console's
// events; the end of the session is what ends it from outside: `closeNow`
// runs, and the process ends at once with exit code 0.
void QuitOnSignals(QCoreApplication &app, void (*closeNow)() = nullptr);
