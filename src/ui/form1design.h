#pragma once

class QWidget;

namespace Form1Design {

// Builds the window as designed on `form`: every control of the control
// table with its geometry, font, colours, initial state, accessible name and
// place in the tab order, the timers (stopped), and the form's own caption,
// icon, size and ground. The log box is a LogEdit.
void build(QWidget *form);

} // namespace Form1Design
