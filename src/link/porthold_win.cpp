#include "porthold.h"

#include <windows.h>

// Windows itself opens a COM port for one program at a time, but not every
// driver refuses a second open (Wine on a pseudo-terminal doesn't, nor does a
// USB-serial driver that allows shared opens). A named mutex per port keeps it
// to one copy of this tool, for as long as the port is held. There are no lock
// files and no controlling terminals to respect.
namespace {
// Global: a copy in another user's session counts too. When it exists with
// that user's rights, opening it is refused, which means the same.
const QString kMutexPrefix = QStringLiteral("Global\\calvarin-port-");
} // namespace

struct PortHold::State
{
    PortStatus status(PortState state) const { return {device, state, 0, {}}; }
    void letGo(const std::function<void()> &closePort = {})
    {
        // The port closes before the guard goes, so no copy gets in between.
        if (closePort)
            closePort();
        if (mutex) {
            ::ReleaseMutex(mutex);
            ::CloseHandle(mutex);
        }
        mutex = nullptr;
        port = nullptr;
        device.clear();
    }

    QString device;
    HANDLE mutex = nullptr;
    HANDLE port = nullptr;
};

PortHold::PortHold(QStringList /*lockFolders*/, std::function<void()> /*answered: nothing is looked at*/)
    : d(std::make_unique<State>())
{
}

PortHold::~PortHold()
{
    d->letGo();
}

Refusal PortHold::prepare(const QString &device)
{
    d->letGo();
    if (device.isEmpty())
        return PortStatus{device, PortState::NoDevice, 0, {}};
    d->device = device;
    const std::wstring name = (kMutexPrefix + device.toUpper()).toStdWString();
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD created = ::GetLastError();
    if (!mutex) {
        PortStatus status = d->status(created == ERROR_ACCESS_DENIED ? PortState::InUseByCopy : PortState::Failed);
        status.error = int(created);
        d->device.clear();
        return status;
    }
    const DWORD waited = ::WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        ::CloseHandle(mutex);
        const PortStatus status = d->status(PortState::InUseByCopy);
        d->device.clear();
        return status;
    }
    d->mutex = mutex;
    return {};
}

Refusal PortHold::take(qintptr handle)
{
    d->port = reinterpret_cast<HANDLE>(handle);
    return {};
}

Refusal PortHold::check()
{
    // A removed USB adapter's handle stops answering.
    COMSTAT queues{};
    DWORD lineErrors = 0;
    const bool answers = d->port && ::ClearCommError(d->port, &lineErrors, &queues);
    return answers ? Refusal() : d->status(PortState::NoDevice);
}

Refusal PortHold::lost()
{
    return {};
}

Refusal PortHold::guardLine()
{
    // The line is the port's own; nobody else can change it while it is open.
    return d->port ? Refusal() : d->status(PortState::NoDevice);
}

PortStatus PortHold::held() const
{
    return d->status(PortState::Open);
}

void PortHold::letGo(const std::function<void()> &closePort)
{
    d->letGo(closePort);
}

bool PortHold::holds(const QString &device) const
{
    return d->port && device == d->device;
}

QString PortHold::device() const
{
    return d->port ? d->device : QString();
}

QStringList PortHold::systemLockFolders()
{
    return {};
}
