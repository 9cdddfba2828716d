#pragma once

#include <termios.h>

// The BA's line in the terminal driver's terms.
namespace LineMode {

// Raw bytes at the line settings, from the first byte on: no echo, no CR to
// LF, no erase, interrupt or flow-control characters.
termios raw(const termios &from);

// The whole of two settings: flags, control characters and speeds.
bool same(const termios &a, const termios &b);

// Whether `line` is the line `meant` in all the BA needs of it: every input,
// output and local flag, the framing, the speeds and VMIN/VTIME. What a driver
// adjusts on its own, and control characters a raw line never uses, aside.
bool keeps(const termios &line, const termios &meant);

} // namespace LineMode
