#include "porthold.h"

#include <QCoreApplication>

// Windows opens a COM port for one program at a time: while the tool has it
// open, another program's open fails, and the tool's fails while another has
// it (reported as in use). In the re-open gap nothing holds it, since holding
// a handle would keep the tool's own next open out. There are no lock files
// and no controlling terminals to look for.
struct PortHold::State
{
    QString device;
};

PortHold::PortHold(QStringList /*lockFolders*/)
    : d(std::make_unique<State>())
{
}

PortHold::~PortHold() = default;

PortStatus PortHold::acquire(const QString &device)
{
    d->device = device;
    return {device, device.isEmpty() ? PortState::NoDevice : PortState::Open, 0, {}};
}

void PortHold::release()
{
    d->device.clear();
}

bool PortHold::holds(const QString &device) const
{
    return !device.isEmpty() && device == d->device;
}

void PortHold::beforeOpen()
{
}

void PortHold::afterClose()
{
}

QStringList PortHold::systemLockFolders()
{
    return {};
}

PortHold::Lock PortHold::readLock(const QString & /*lockFile*/)
{
    return {};
}

QByteArray PortHold::programName()
{
    return QCoreApplication::applicationName().toUtf8();
}
