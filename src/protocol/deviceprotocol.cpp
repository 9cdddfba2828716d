#include "deviceprotocol.h"

#include "codepage.h"
#include "devicedisplay.h"
#include "devicelink.h"
#include "linesettings.h"

#include <array>
#include <limits>

namespace {

enum class Rendering { Character, Hex };
enum class Action { Replace, Append };

struct Slot
{
    Control field;
    Rendering rendering;
    Action action;
};

// Positions 1..21 of the report.
constexpr std::array<Slot, ReportPosition::kLast> kReportLayout = {{
        {Control::Label5, Rendering::Character, Action::Replace}, // System version
        {Control::Label5, Rendering::Character, Action::Append},
        {Control::Label5, Rendering::Character, Action::Append},
        {Control::Label6, Rendering::Character, Action::Replace}, // Device version
        {Control::Label6, Rendering::Character, Action::Append},
        {Control::Label7, Rendering::Character, Action::Append}, // Validate version; empty here
        {Control::Label7, Rendering::Character, Action::Append},
        {Control::Label7, Rendering::Character, Action::Append},
        {Control::Label7, Rendering::Character, Action::Append},
        {Control::Label14, Rendering::Hex, Action::Replace}, // System value
        {Control::Label14, Rendering::Hex, Action::Append},
        {Control::Label15, Rendering::Hex, Action::Replace}, // Device value
        {Control::Label15, Rendering::Hex, Action::Append},
        {Control::Label16, Rendering::Hex, Action::Replace}, // Validate value
        {Control::Label16, Rendering::Hex, Action::Append},
        {Control::Label17, Rendering::Hex, Action::Replace}, // All Program value
        {Control::Label17, Rendering::Hex, Action::Append},
        {Control::Label18, Rendering::Hex, Action::Replace}, // All ROM value
        {Control::Label18, Rendering::Hex, Action::Append},
        {Control::Label19, Rendering::Hex, Action::Replace}, // User regulation value
        {Control::Label19, Rendering::Hex, Action::Append},
}};

constexpr std::array<Control, 9> kValueFields = {
        Control::Label5,  Control::Label6,  Control::Label7,  Control::Label14, Control::Label15,
        Control::Label16, Control::Label17, Control::Label18, Control::Label19,
};

constexpr quint8 kStartMarker = 0x26;

QString render(quint8 byte, Rendering rendering)
{
    if (rendering == Rendering::Character)
        return QString(CharFromDeviceByte(byte));
    return QString::number(byte, 16).toUpper().rightJustified(2, u'0');
}

} // namespace

DeviceProtocol::DeviceProtocol(DeviceDisplay &display, DeviceLink &link)
    : m_display(display)
    , m_link(link)
{
}

void DeviceProtocol::Timer1Tick()
{
    m_display.stopTimer(Control::Timer1);
    PollReceive();
    m_display.startTimer(Control::Timer1);
}

void DeviceProtocol::PollReceive()
{
    // Half a report from one device is never completed by another's bytes.
    if (const quint32 opened = m_link.devicesOpened(); opened != m_devicesOpened) {
        m_devicesOpened = opened;
        m_state.FieldIndex = ReportPosition::kParked;
    }
    const qint16 event = m_link.CommEvent();
    const qint16 waiting = m_link.InBufferCount();
    if (event != CommEvents::kReceive || waiting <= 0)
        return;
    m_state.RxBytes = m_link.Input();
    for (const char byte : std::as_const(m_state.RxBytes)) {
        if (m_state.TestMode)
            AppendLogByte(static_cast<quint8>(byte));
        else
            FeedReportByte(static_cast<quint8>(byte));
    }
    m_state.RxBytes.clear();
}

void DeviceProtocol::FeedReportByte(quint8 byte)
{
    if (byte == kStartMarker) {
        for (const Control field : kValueFields)
            m_display.setCaption(field, QString());
        m_state.FieldIndex = ReportPosition::kMarker;
    }

    const qint16 position = m_state.FieldIndex;
    if (position >= 1 && position <= ReportPosition::kLast) {
        const Slot &slot = kReportLayout[position - 1];
        const QString rendered = render(byte, slot.rendering);
        m_display.setCaption(slot.field,
                             slot.action == Action::Replace ? rendered : m_display.caption(slot.field) + rendered);
        if (position == ReportPosition::kLast) {
            m_display.setEnabled(Control::Command8, true);
            m_display.setCaption(Control::Label20, Texts::kReportFinished);
        }
    }

    // Held at the top rather than wrapping into the data positions.
    if (m_state.FieldIndex < std::numeric_limits<qint16>::max())
        ++m_state.FieldIndex;
}

void DeviceProtocol::AppendLogByte(quint8 byte)
{
    QString line = QString::number(byte);
    if (m_display.textLength(Control::Text1) != 0)
        line.prepend(QStringLiteral("\r\n"));
    m_display.appendText(Control::Text1, line);
}

void DeviceProtocol::write(const char (&command)[2])
{
    // A byte the closed port refuses is lost; the command carries on as if sent.
    for (const char byte : command)
        (void)m_link.Output(QByteArray(1, byte));
}

void DeviceProtocol::EnterTestMode()
{
    m_display.setText(Control::Text1, QString());
    m_display.setEnabled(Control::Command1, true);
    write(Commands::kEnterTestMode);
    m_state.TestMode = true;
    m_display.setEnabled(Control::Command8, false);
    m_display.setCaption(Control::Label20, Texts::kInsertCard);
}

void DeviceProtocol::LeaveTestMode()
{
    m_state.TestMode = false;
    write(Commands::kLeaveTestMode);
    m_state.FieldIndex = ReportPosition::kParked;
    m_display.setEnabled(Control::Command1, false);
    m_display.setEnabled(Control::Command8, true);
    // The length check keeps a long log from being copied for the comparison.
    const bool echoOnly = m_display.textLength(Control::Text1) == Texts::kEchoOnlyLog.size()
            && m_display.text(Control::Text1) == Texts::kEchoOnlyLog;
    m_display.setCaption(Control::Label20, echoOnly ? Texts::kResetToResume : Texts::kResumed);
}

void DeviceProtocol::ClearEeprom(ConfirmPrompt &prompt)
{
    if (prompt.confirm(Texts::kConfirmTitle, Texts::kConfirmClearEeprom))
        write(Commands::kClearEeprom);
}

void DeviceProtocol::ClearVersionFields()
{
    for (const Control field : kValueFields)
        m_display.setCaption(field, QString());
}

void DeviceProtocol::ClearLog()
{
    m_display.setText(Control::Text1, QString());
}
