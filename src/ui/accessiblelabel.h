#pragma once

#include <QString>

class QLabel;

// Labels whose text the device fills in (the status line and the nine value
// fields) are read to an accessibility client by their current text, which
// may be empty, never by their frame's title, and described by what they show.
namespace AccessibleLabel {
void describe(QLabel *label, const QString &description);
} // namespace AccessibleLabel
