#pragma once

#include <QByteArray>
#include <QString>

// A pseudo-terminal playing the BA's end of the line. The device side is what
// the tool opens; this object writes and reads on the controlling side and
// holds its own handle on the device side, as a real serial device stays put
// while the tool closes and reopens it.
class Pty
{
public:
    // Raw, as the simulated BA sets its line; or as the kernel makes a fresh
    // terminal: cooked, with echo, CR to LF, erase and interrupt characters.
    enum class Line { Raw, Cooked };

    explicit Pty(Line line = Line::Raw);
    // One of another devpts instance (a container's), through its `ptmx`.
    explicit Pty(const QString &ptmx);
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    bool isValid() const { return m_master >= 0; }
    int controlFd() const { return m_master; }
    // The device side's local modes (ECHO, ICANON, ...) as they stand now.
    unsigned localModes() const;
    QString devicePath() const { return m_path; }

    // Publishes the device as port `port` in `folder` (replacing an old link).
    bool linkAs(const QString &folder, int port) const;

    bool write(const QByteArray &bytes);
    // Whatever the tool has written so far, waiting up to timeoutMs for `atLeast` bytes.
    QByteArray read(int atLeast = 0, int timeoutMs = 2000);
    // Only the tool has the device side open from now on, as a BA on a real
    // line; another process holding it would keep the tool out.
    void closeDeviceSide();
    // The device goes away: both handles close, the tool's reads fail.
    void vanish();
    // Makes the device the controlling terminal of a child in a session of its
    // own, as a person's shell would have it. The child lives as long as this.
    bool becomeSessionTerminal();

private:
    int m_master = -1;
    int m_device = -1;
    QString m_path;
    qint64 m_sessionLeader = -1;
};
