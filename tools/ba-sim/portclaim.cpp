#include "portclaim.h"

#include "linesettings.h"
#include "portselection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
// Tries at a lock file that other simulators keep removing and making anew.
constexpr int kLockAttempts = 5;
} // namespace

std::optional<PortClaim> PortClaim::claim(const QString &folder, int port, QString *error)
{
    if (port < LineSettings::kMinPort || port > LineSettings::kMaxPort) {
        *error = QStringLiteral("port %1 is outside %2-%3")
                         .arg(port)
                         .arg(LineSettings::kMinPort)
                         .arg(LineSettings::kMaxPort);
        return std::nullopt;
    }
    if (!QDir().mkpath(folder) || ::access(QFile::encodeName(folder).constData(), W_OK) != 0) {
        *error = QStringLiteral("cannot write the port folder %1").arg(folder);
        return std::nullopt;
    }

    PortClaim claim;
    if (!claim.openLine(error))
        return std::nullopt;

    const QString link = QDir(folder).filePath(PortLinkName(port));
    const QString notOurs = QStringLiteral("%1 already exists and is not ours; not replacing it").arg(link);
    // A running simulator holds comN.lock. One that exists with nobody holding
    // it was left by a simulator that was killed, and so was its link.
    const QByteArray lockName = QFile::encodeName(link + QStringLiteral(".lock"));
    bool freshLock = false;
    // A simulator that ends removes its lock file while holding it: a lock
    // taken on a file no longer on disk is taken again on the one that is.
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        if (claim.m_lockFd >= 0)
            ::close(claim.m_lockFd);
        claim.m_lockFd = ::open(lockName.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        freshLock = claim.m_lockFd >= 0;
        if (!freshLock)
            claim.m_lockFd = ::open(lockName.constData(), O_RDWR | O_CLOEXEC);
        if (claim.m_lockFd < 0) {
            if (errno == ENOENT)
                continue;
            *error = QStringLiteral("cannot create %1").arg(QFile::decodeName(lockName));
            return std::nullopt;
        }
        if (::flock(claim.m_lockFd, LOCK_EX | LOCK_NB) != 0) {
            *error = notOurs;
            return std::nullopt;
        }
        struct stat held = {}, onDisk = {};
        if (::fstat(claim.m_lockFd, &held) == 0 && ::stat(lockName.constData(), &onDisk) == 0
            && held.st_dev == onDisk.st_dev && held.st_ino == onDisk.st_ino)
            break;
        ::close(std::exchange(claim.m_lockFd, -1));
    }
    if (claim.m_lockFd < 0) {
        *error = QStringLiteral("%1 keeps changing; not claiming it").arg(QFile::decodeName(lockName));
        return std::nullopt;
    }
    claim.m_lockPath = QFile::decodeName(lockName);

    const QByteArray linkName = QFile::encodeName(link);
    const QByteArray target = QFile::encodeName(claim.m_device);
    if (!freshLock && QFileInfo(link).isSymLink())
        ::unlink(linkName.constData());
    // symlink() fails when the name exists: a link made by hand is never replaced.
    if (::symlink(target.constData(), linkName.constData()) != 0) {
        *error = errno == EEXIST ? notOurs : QStringLiteral("cannot create %1").arg(link);
        return std::nullopt; // the destructor drops the lock file again
    }
    claim.m_link = link;
    return claim;
}

bool PortClaim::openLine(QString *error)
{
    int device = -1;
    char name[256] = {};
    if (::openpty(&m_master, &device, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    // The line stays raw while nobody has it open: the master keeps the terminal alive.
    termios raw{};
    ::tcgetattr(device, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(device, TCSANOW, &raw);
    ::close(device);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_device = QString::fromLocal8Bit(name);
    return true;
}

bool PortClaim::lockedOut() const
{
    const int fd = ::open(QFile::encodeName(m_device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY;
    int exclusive = 0;
    const bool locked = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return locked;
}

bool PortClaim::renew(QString *error)
{
    const int old = m_master;
    if (!openLine(error)) {
        m_master = old;
        return false;
    }
    ::close(old);
    // Replaced in one step, so the tool never finds no link at all.
    const QByteArray fresh = QFile::encodeName(m_link + QStringLiteral(".new"));
    ::unlink(fresh.constData());
    if (::symlink(QFile::encodeName(m_device).constData(), fresh.constData()) != 0
        || ::rename(fresh.constData(), QFile::encodeName(m_link).constData()) != 0) {
        *error = QStringLiteral("cannot replace %1: %2").arg(m_link, QString::fromLocal8Bit(::strerror(errno)));
        return false;
    }
    return true;
}

PortClaim::PortClaim(PortClaim &&other) noexcept
    : m_master(std::exchange(other.m_master, -1))
    , m_device(std::move(other.m_device))
    , m_link(std::exchange(other.m_link, {}))
    , m_lockPath(std::exchange(other.m_lockPath, {}))
    , m_lockFd(std::exchange(other.m_lockFd, -1))
{
}

PortClaim::~PortClaim()
{
    release();
    if (m_master >= 0)
        ::close(m_master);
}

void PortClaim::release()
{
    if (!m_link.isEmpty() && QFileInfo(m_link).symLinkTarget() == m_device)
        ::unlink(QFile::encodeName(m_link).constData());
    m_link.clear();
    if (!m_lockPath.isEmpty())
        ::unlink(QFile::encodeName(m_lockPath).constData());
    m_lockPath.clear();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
    m_lockFd = -1;
}
