#pragma once

class QCoreApplication;

// SIGINT, SIGTERM and SIGHUP make the event loop return, so the program ends
// through its normal path: destructors close ports and release locks.
void QuitOnSignals(QCoreApplication &app);
