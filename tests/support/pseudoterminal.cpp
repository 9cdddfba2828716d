#include "pseudoterminal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

Pty::Pty(Line line)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_device, name, nullptr, nullptr) != 0) {
        m_master = m_device = -1;
        return;
    }
    termios settings{};
    ::tcgetattr(m_device, &settings);
    if (line == Line::Raw)
        ::cfmakeraw(&settings);
    else
        settings.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    ::tcsetattr(m_device, TCSANOW, &settings);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = QString::fromLocal8Bit(name);
}

Pty::Pty(const QString &ptmx)
{
    m_master = ::open(QFile::encodeName(ptmx).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int index = -1;
    if (m_master < 0 || ::unlockpt(m_master) != 0 || ::ioctl(m_master, TIOCGPTN, &index) != 0
        || (m_device = ::ioctl(m_master, TIOCGPTPEER, O_RDWR | O_NOCTTY)) < 0) {
        vanish();
        return;
    }
    m_path = QFileInfo(ptmx).dir().filePath(QString::number(index));
}

Pty::~Pty()
{
    vanish();
}

unsigned Pty::localModes() const
{
    termios settings{};
    return ::tcgetattr(m_device, &settings) == 0 ? unsigned(settings.c_lflag) : 0;
}

bool Pty::linkAs(const QString &folder, int port) const
{
    QDir().mkpath(folder);
    const QString link = QDir(folder).filePath(QStringLiteral("com%1").arg(port));
    QFile::remove(link);
    return QFile::link(m_path, link);
}

bool Pty::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EAGAIN) {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QByteArray Pty::read(int atLeast, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    do {
        char buffer[4096];
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n > 0) {
            bytes.append(buffer, n);
            continue;
        }
        if (bytes.size() >= atLeast)
            break;
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, 10);
    } while (clock.elapsed() < timeoutMs);
    return bytes;
}

bool Pty::becomeSessionTerminal()
{
    int ready[2];
    if (m_device < 0 || ::pipe(ready) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exit. A person's shell
        // has its terminal, and none of the devices the tool has.
        const unsigned low = unsigned(std::min(m_device, ready[1])), high = unsigned(std::max(m_device, ready[1]));
        ::close_range(3, low - 1, 0);
        ::close_range(low + 1, high - 1, 0);
        ::close_range(high + 1, ~0U, 0);
        const char ok = ::setsid() >= 0 && ::ioctl(m_device, TIOCSCTTY, 0) == 0 ? 'y' : 'n';
        [[maybe_unused]] const auto n = ::write(ready[1], &ok, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char ok = 'n';
    const bool answered = child > 0 && ::read(ready[0], &ok, 1) == 1;
    ::close(ready[0]);
    if (child > 0)
        m_sessionLeader = child;
    return answered && ok == 'y';
}

void Pty::closeDeviceSide()
{
    if (m_device >= 0)
        ::close(m_device);
    m_device = -1;
}

void Pty::vanish()
{
    if (m_sessionLeader > 0) {
        ::kill(pid_t(m_sessionLeader), SIGKILL);
        ::waitpid(pid_t(m_sessionLeader), nullptr, 0);
        m_sessionLeader = -1;
    }
    if (m_device >= 0)
        ::close(m_device);
    if (m_master >= 0)
        ::close(m_master);
    m_master = m_device = -1;
}
