#pragma once

#include "devicedisplay.h"
#include "deviceprotocol.h"
#include "form1design.h"

#include <QWidget>
#include <memory>

class DeviceLink;
class LogBox;

// The tool's only window. It owns the controls, both timers, the link
// (MSComm1) and the device protocol, and shows the protocol's state through
// the DeviceDisplay operations.
class Form1 final : public QWidget, public DeviceDisplay
{
    Q_OBJECT

public:
    // Takes ownership of the link. Without a prompt, "Clear EEPORM" asks with a
    // message box.
    explicit Form1(DeviceLink *link, std::unique_ptr<ConfirmPrompt> prompt = {}, QWidget *parent = nullptr);
    ~Form1() override;

    using QObject::startTimer;
    using QWidget::setEnabled;

    DeviceProtocol &protocol() { return m_protocol; }
    // Timer1: the poll, then its log lines into the box.
    void Timer1Tick();
    DeviceLink &link() { return *m_link; }
    const DeviceLink &link() const { return *m_link; }

    QString caption(Control label) const override;
    void setCaption(Control label, const QString &caption) override;
    QString text(Control box) const override;
    void setText(Control box, const QString &text) override;
    qsizetype textLength(Control box) const override;
    void appendText(Control box, QStringView text) override;
    void setReadOnly(Control box, bool readOnly) override;
    void setEnabled(Control button, bool enabled) override;
    void stopTimer(Control timer) override;
    void startTimer(Control timer) override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void bindHandlers();
    void load();
    void centreOnScreen();
    QLabel *label(Control control) const;
    QPushButton *button(Control control) const;
    QTimer *timer(Control control) const;
    QLineEdit *portBox() const;

    DeviceLink *m_link = nullptr;
    std::unique_ptr<ConfirmPrompt> m_prompt;
    DeviceProtocol m_protocol;
    Form1Design::Controls m_ui;
    LogBox *m_log = nullptr; // owned by its box
};
