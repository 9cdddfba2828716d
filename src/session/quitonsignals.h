#pragma once

class QCoreApplication;

// SIGINT, SIGTERM and SIGHUP make the event loop return, so the program ends
// through its normal path: destructors close ports and release locks. A signal
// the program inherited as ignored (nohup) stays ignored, and after the first
// signal a second one ends the program at once, even if it hangs.
void QuitOnSignals(QCoreApplication &app);
