#pragma once

#include <termios.h>

// The BA's line in the terminal driver's terms.
namespace LineMode {

// Raw bytes at the line settings, from the first byte on: no echo, no CR to
// LF, no erase, interrupt or flow-control characters.
termios raw(const termios &from);

// The whole of two settings: flags, control characters and speeds.
bool same(const termios &a, const termios &b);

} // namespace LineMode
