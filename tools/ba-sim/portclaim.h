#pragma once

#include <QString>
#include <optional>

// A pseudo-terminal published as port N: the link comN in the port folder
// points at its device side, and an flock on comN.lock beside it says that a
// live simulator owns the link. The claim keeps its own handle on the device
// side, so the tool closing and reopening the port never hangs the line up.
class PortClaim
{
public:
    // Returns nothing, and says why in `error`, when the port can't be claimed.
    static std::optional<PortClaim> claim(const QString &folder, int port, QString *error);

    PortClaim(PortClaim &&other) noexcept;
    PortClaim &operator=(PortClaim &&) = delete;
    ~PortClaim();

    int controlFd() const { return m_master; }
    QString devicePath() const { return m_device; }
    QString linkPath() const { return m_link; }

    // Removes the link if it is still ours, and the lock. Safe to call twice.
    void release();

private:
    PortClaim() = default;

    int m_master = -1;
    int m_deviceFd = -1;
    QString m_device;
    QString m_link;
    QString m_lockPath;
    int m_lockFd = -1;
};
