#pragma once

#include "portstatus.h"

#include <QSerialPort>
#include <QString>

// What each system's serial port needs beyond Qt's: the one place in the link
// that knows whether it runs on Linux or Windows.
namespace SerialQuirks {

// The device that port number `port` opens: the link "comN" in the port
// folder, else /dev/ttyS{N-1}; COMN on Windows. Empty when a link names a
// device that is gone.
QString devicePath(qint16 port, const QString &portFolder);

// The system's own number for the error that is being reported right now.
int lastError();
// Why an open failed, from Qt's error and the system's number behind it.
PortStatus failedOpen(const QString &device, QSerialPort::SerialPortError error, int systemError);

// A port that never says new data has come still gets it from reads started
// this often; 0 where the port says so itself.
int readKickMs();
// Whether bytes handed to Qt and flushed have reached the system.
bool writeDelivered(QSerialPort &serial, bool flushed);
// Before the port closes: lets a read in flight finish, so what it took from
// the driver is kept.
void settleBeforeClose(QSerialPort &serial);
void afterClose(QSerialPort &serial);
// A read error from a port that is in fact still there.
bool stillAnswers(QSerialPort &serial);

} // namespace SerialQuirks
