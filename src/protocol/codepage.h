#pragma once

#include <QChar>

// A received byte as a character, through Windows-1252 (the BA's PC-side
// heritage): ASCII below 0x80, Latin-1 above 0x9F, typographic marks between.
// The five codes 1252 leaves undefined map to the control point of that value.
QChar CharFromDeviceByte(quint8 byte);
