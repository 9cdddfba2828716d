#include "portstatustext.h"

#include "linesettings.h"
#include "portselection.h"

namespace {
// Beyond this a path is shortened in the middle, so the tooltip fits a screen.
constexpr qsizetype kMaxPathCharacters = 80;

QString shortPath(const QString &path)
{
    if (path.size() <= kMaxPathCharacters)
        return path;
    const qsizetype head = (kMaxPathCharacters - 1) / 2;
    const qsizetype tail = kMaxPathCharacters - 1 - head;
    return path.left(head) + QChar(0x2026) + path.right(tail);
}
} // namespace

QString PortStatusText(const PortStatus &status)
{
    const QString lock = shortPath(status.lockFile);
    QString state;
    switch (status.state) {
    case PortState::Unknown: return QStringLiteral("Not opened yet");
    case PortState::Open:
        // Held all the same; a replug or a new number would fail until some are closed.
        state = status.outOfFiles ? QStringLiteral("open; too many open files") : QStringLiteral("open");
        if (status.lineContested)
            state += QStringLiteral("; another program keeps changing the line");
        break;
    case PortState::Looking: state = QStringLiteral("not opened yet: looking at who else has it"); break;
    case PortState::UsersUnknown: state = QStringLiteral("not opened: can't tell who else has it"); break;
    case PortState::NoDevice: state = QStringLiteral("no such device"); break;
    case PortState::InUse:
        state = status.pid > 0 ? QStringLiteral("in use by process %1").arg(status.pid)
                               : QStringLiteral("in use by another program");
        break;
    case PortState::LockUnreadable:
        state = QStringLiteral("in use: %1 is not a lock file that can be read").arg(lock);
        break;
    case PortState::StaleLock:
        state = QStringLiteral("in use: stale lock file %1 of process %2, which this user may not remove")
                        .arg(lock)
                        .arg(status.pid);
        break;
    case PortState::NoPermission: state = QStringLiteral("no permission (is the user in the dialout group?)"); break;
    case PortState::NotSerial: state = QStringLiteral("not a serial port"); break;
    case PortState::SessionTerminal: state = QStringLiteral("not a serial port: some session's terminal"); break;
    case PortState::LetGo: state = QStringLiteral("let go: it became some session's terminal"); break;
    case PortState::TerminalUnknown:
        state = QStringLiteral("let go: can't tell whether some session has it as its terminal");
        break;
    case PortState::HungUp: state = QStringLiteral("hung up; opened again when the system allows it"); break;
    case PortState::LineLocked: state = QStringLiteral("let go: the line is locked by another program"); break;
    case PortState::TooManyFiles: state = QStringLiteral("too many open files"); break;
    case PortState::InUseByCopy: state = QStringLiteral("in use by another copy of this tool"); break;
    case PortState::Failed: state = QStringLiteral("can't open: %1").arg(qt_error_string(status.error)); break;
    }
    return QStringLiteral("%1: %2").arg(
            status.device.isEmpty() ? QStringLiteral("no device") : shortPath(status.device), state);
}

QString PortBoxToolTip(const QString &boxText, qint16 port, const PortStatus &status)
{
    const QString text = PortStatusText(status);
    const auto number = PortNumberFromText(boxText);
    if (number && *number == port)
        return text;
    return QStringLiteral("\"%1\" is not a port number %2-%3; still on port %4 (%5)")
            .arg(shortPath(boxText))
            .arg(LineSettings::kMinPort)
            .arg(LineSettings::kMaxPort)
            .arg(port)
            .arg(text);
}
