#pragma once

#include "portstatus.h"

#include <QString>

// How the window words the link's state for the technician.

// One line for the port box's tooltip: the device and its state. Long paths
// are shortened in the middle.
QString PortStatusText(const PortStatus &status);

// The port box's tooltip, as plain text: what PortStatusText says of the port
// in force, and first, when the box's text was not taken as a port number, that
// it was ignored.
QString PortBoxToolTip(const QString &boxText, qint16 port, const PortStatus &status);
