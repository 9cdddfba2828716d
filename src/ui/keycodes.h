#pragma once

class QKeyEvent;

// The Windows virtual-key code of a key event: the port box filters on these
// codes, not on the characters keys produce. 0 for keys without one.
int VirtualKeyCode(const QKeyEvent &event);
