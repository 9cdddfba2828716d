#pragma once

#include <QString>
#include <QStringView>

// The window's controls that the device protocol touches, and the buttons the
// window binds to its commands, by designer name.
enum class Control {
    Label5,
    Label6,
    Label7, // version texts
    Label14,
    Label15,
    Label16,
    Label17,
    Label18,
    Label19,  // two-byte values
    Label20,  // status line
    Text1,    // "Rs232 Data" log
    Text2,    // port number box
    Command1, // test-mode "Exit"
    Command8, // "VR Adjust"
    Timer1,
    Timer2,
    Command2, // "Clear" of the log
    Command3, // "Exit" of the tool
    Command4, // "Clear EEPORM"
    Command6, // "Clear" of the value fields
};
// One past the last control above.
inline constexpr int kControlCount = int(Control::Command6) + 1;

// What the device protocol needs of the window. A fake of a few lines stands
// in for it in tests.
class DeviceDisplay
{
public:
    virtual ~DeviceDisplay() = default;

    virtual QString caption(Control label) const = 0;
    virtual void setCaption(Control label, const QString &caption) = 0;

    // Text boxes. Line breaks are CR LF in what these read and write.
    virtual QString text(Control box) const = 0;
    virtual void setText(Control box, const QString &text) = 0;
    // Length of text(box), without building it.
    virtual qsizetype textLength(Control box) const = 0;
    // Adds to the end in place; the cost must not grow with the text's length.
    virtual void appendText(Control box, QStringView text) = 0;
    virtual void setReadOnly(Control box, bool readOnly) = 0;

    virtual void setEnabled(Control button, bool enabled) = 0;

    virtual void stopTimer(Control timer) = 0;
    virtual void startTimer(Control timer) = 0;
};
