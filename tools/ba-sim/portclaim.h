#pragma once

#include <QString>
#include <optional>

// A pseudo-terminal published as port N: the link comN in the port folder
// points at its device side, and an flock on comN.lock beside it says that a
// live simulator owns the link. The claim keeps only the controlling side
// open: the device side is the tool's alone, and while nobody has it open the
// line is silent.
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

    // Whether the device side, which nobody has open now, is still exclusive
    // to an open that hung up: the kernel then refuses every later open.
    bool lockedOut() const;
    // A fresh pseudo-terminal under the same link; the old one goes.
    bool renew(QString *error);

    // Removes the link if it is still ours, and the lock. Safe to call twice.
    void release();

private:
    PortClaim() = default;

    bool openLine(QString *error);

    int m_master = -1;
    QString m_device;
    QString m_link;
    QString m_lockPath;
    int m_lockFd = -1;
};
