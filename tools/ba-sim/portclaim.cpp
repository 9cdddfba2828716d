#include "portclaim.h"

#include "linesettings.h"
#include "portselection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {
// A simulator that was killed outright leaves a link into /dev/pts behind
// whose device is gone; that one may be replaced. Anything else is someone's.
bool isStaleSimulatorLink(const QString &link)
{
    const QFileInfo info(link);
    return info.isSymLink() && !info.exists()
            && info.symLinkTarget().startsWith(QStringLiteral("/dev/pts/"));
}
} // namespace

std::optional<PortClaim> PortClaim::claim(const QString &folder, int port, QString *error)
{
    if (port < LineSettings::kMinPort || port > LineSettings::kMaxPort) {
        *error = QStringLiteral("port %1 is outside %2-%3")
                         .arg(port).arg(LineSettings::kMinPort).arg(LineSettings::kMaxPort);
        return std::nullopt;
    }
    if (!QDir().mkpath(folder) || ::access(QFile::encodeName(folder).constData(), W_OK) != 0) {
        *error = QStringLiteral("cannot write the port folder %1").arg(folder);
        return std::nullopt;
    }

    PortClaim claim;
    char name[256] = {};
    if (::openpty(&claim.m_master, &claim.m_deviceFd, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1")
                         .arg(QString::fromLocal8Bit(::strerror(errno)));
        return std::nullopt;
    }
    termios raw{};
    ::tcgetattr(claim.m_deviceFd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(claim.m_deviceFd, TCSANOW, &raw);
    ::fcntl(claim.m_master, F_SETFL, ::fcntl(claim.m_master, F_GETFL) | O_NONBLOCK);
    claim.m_device = QString::fromLocal8Bit(name);

    const QString link = QDir(folder).filePath(PortLinkName(port));
    const QByteArray linkName = QFile::encodeName(link);
    const QByteArray target = QFile::encodeName(claim.m_device);
    // symlink() fails when the name exists, so two simulators can't both win.
    if (::symlink(target.constData(), linkName.constData()) != 0 && errno == EEXIST
        && isStaleSimulatorLink(link) && ::unlink(linkName.constData()) == 0) {
        errno = 0;
        ::symlink(target.constData(), linkName.constData());
    }
    if (QFileInfo(link).symLinkTarget() != claim.m_device) {
        *error = QFileInfo(link).isSymLink() || QFileInfo::exists(link)
                ? QStringLiteral("%1 already exists and is not ours; not replacing it").arg(link)
                : QStringLiteral("cannot create %1").arg(link);
        return std::nullopt;
    }
    claim.m_link = link;
    return claim;
}

PortClaim::PortClaim(PortClaim &&other) noexcept
    : m_master(std::exchange(other.m_master, -1))
    , m_deviceFd(std::exchange(other.m_deviceFd, -1))
    , m_device(std::move(other.m_device))
    , m_link(std::exchange(other.m_link, {}))
{
}

PortClaim::~PortClaim()
{
    release();
    if (m_deviceFd >= 0)
        ::close(m_deviceFd);
    if (m_master >= 0)
        ::close(m_master);
}

void PortClaim::release()
{
    if (m_link.isEmpty())
        return;
    if (QFileInfo(m_link).symLinkTarget() == m_device)
        ::unlink(QFile::encodeName(m_link).constData());
    m_link.clear();
}
