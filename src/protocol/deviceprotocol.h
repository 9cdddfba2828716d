#pragma once

#include "devicestate.h"

#include <QString>

class DeviceDisplay;
class DeviceLink;

// The one question the tool asks. The window answers it with a message box,
// tests answer it directly.
class ConfirmPrompt
{
public:
    virtual ~ConfirmPrompt() = default;
    // True only for an explicit OK.
    virtual bool confirm(const QString &title, const QString &text) = 0;
};

namespace Commands {
// Two bytes each, written one at a time.
inline constexpr char kEnterTestMode[2] = {0x6E, 0x14};
inline constexpr char kLeaveTestMode[2] = {0x63, 0x63};
inline constexpr char kClearEeprom[2] = {0x6E, 0x16};
} // namespace Commands

namespace Texts {
inline const QString kReportFinished = QStringLiteral("BA Reset Finish");
inline const QString kInsertCard = QStringLiteral("Please Insert WhiteCard Into BA");
inline const QString kResetToResume = QStringLiteral("Please Reset BA To Resume Normal Mode");
inline const QString kResumed = QStringLiteral("BA Resume Normal Mode");
// What the log holds when the BA echoed the enter-test-mode bytes and nothing else.
inline const QString kEchoOnlyLog = QStringLiteral("110\r\n20");
inline const QString kConfirmTitle = QStringLiteral("Calvarin");
inline const QString kConfirmClearEeprom = QStringLiteral("Will clear ''EEPORM Data'', are you sure?");
} // namespace Texts

// The BA's side of the tool: decodes its report, logs test-mode bytes and
// carries out the technician's commands. Runs on the GUI thread only.
class DeviceProtocol final
{
public:
    DeviceProtocol(DeviceDisplay &display, DeviceLink &link);

    const DeviceState &state() const { return m_state; }

    // Timer1 tick: no poll can start while one runs.
    void Timer1Tick();
    void PollReceive();
    void FeedReportByte(quint8 byte);
    void AppendLogByte(quint8 byte);

    // Command8 "VR Adjust".
    void EnterTestMode();
    // Command1 "Exit" of the "Test Mode" frame.
    void LeaveTestMode();
    // Command4 "Clear EEPORM": writes only after an explicit OK.
    void ClearEeprom(ConfirmPrompt &prompt);
    // Command6 "Clear" of the "Software Version" frame.
    void ClearVersionFields();
    // Command2 "Clear" of the "Rs232 Data" frame.
    void ClearLog();

private:
    void write(const char (&command)[2]);

    DeviceDisplay &m_display;
    DeviceLink &m_link;
    DeviceState m_state;
    quint32 m_devicesOpened = 0; // as the link last counted them
};
