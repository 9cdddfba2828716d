#pragma once

#include <QString>
#include <optional>

class DeviceLink;

// The port box's text as a port number: a plain run of digits (leading zeros
// allowed) whose value fits a 16-bit signed integer. Anything else has no value.
std::optional<qint16> PortNumberFromText(const QString &text);

// Timer2: closes the port if open and opens it again on the number in the port
// box. Every failure is ignored; the next step runs regardless and the next
// tick tries again.
void ReopenLink(DeviceLink &link, const QString &portBoxText);
// Timer2's interval, milliseconds.
inline constexpr int kReopenEveryMs = 500;

// Port box key filter, on Windows-style virtual-key codes. Returns the box's
// new read-only state, or nothing when the key leaves it as it is.
namespace PortKeyFilter {
inline constexpr int kBackspace = 8;
inline constexpr int kDelete = 46;
inline constexpr int kDigit0 = 48;
inline constexpr int kDigit9 = 57;
std::optional<bool> readOnlyOnKeyDown(int keyCode);
inline constexpr bool readOnlyOnKeyUp(int /*keyCode*/)
{
    return false;
}
} // namespace PortKeyFilter

// Where a port number's device link lives: port N is the link "comN" in it.
QString DefaultPortFolder();
QString PortLinkName(int port);
