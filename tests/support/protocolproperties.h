#pragma once

#include <QByteArray>
#include <QString>

// Runs the device protocol through a script decoded from arbitrary bytes:
// polls of received bytes, split anywhere, with test-mode entry and exit and
// the clear commands in between, as the window's buttons allow them. Returns
// an empty text when every invariant held, else what broke.
//
// Script: an opcode byte, then its operands.
//   op % 8 < 4  receive: the next byte gives a length (0..63), then that many bytes
//   op % 8 == 4 "VR Adjust"    op % 8 == 5 test-mode "Exit"
//   op % 8 == 6 "Clear" of the version panel    op % 8 == 7 "Clear" of the log
QString CheckProtocolScript(const QByteArray &script);
