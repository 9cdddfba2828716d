#pragma once

// How the program starts and ends outside the window's own events.
namespace AppSession {

// Until windowSystemReached(), a window system that can't be reached ends the
// program with one line on stderr and exit code 1, not an abort and a core.
void guardWindowSystem();
void windowSystemReached();

} // namespace AppSession
