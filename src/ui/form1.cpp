#include "form1.h"

#include "devicelink.h"
#include "form1design.h"
#include "keycodes.h"
#include "logbox.h"
#include "messageboxprompt.h"
#include "portselection.h"
#include "portstatustext.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTextDocument>
#include <QTimer>

Form1::Form1(DeviceLink *link, std::unique_ptr<ConfirmPrompt> prompt, QWidget *parent)
    : QWidget(parent)
    , m_link(link)
    , m_prompt(prompt ? std::move(prompt) : std::make_unique<MessageBoxPrompt>(this))
    , m_protocol(*this, *link)
    , m_ui(Form1Design::build(this))
    , m_log(new LogBox(m_ui.Text1))
{
    m_link->setParent(this);
    m_link->setObjectName(QStringLiteral("MSComm1"));

    bindHandlers();
    load();
    centreOnScreen();
}

Form1::~Form1() = default;

void Form1::bindHandlers()
{
    connect(m_ui.Command8, &QPushButton::clicked, this, [this] { m_protocol.EnterTestMode(); });
    connect(m_ui.Command1, &QPushButton::clicked, this, [this] { m_protocol.LeaveTestMode(); });
    connect(m_ui.Command4, &QPushButton::clicked, this, [this] { m_protocol.ClearEeprom(*m_prompt); });
    connect(m_ui.Command6, &QPushButton::clicked, this, [this] { m_protocol.ClearVersionFields(); });
    connect(m_ui.Command2, &QPushButton::clicked, this, [this] { m_protocol.ClearLog(); });
    connect(m_ui.Command3, &QPushButton::clicked, qApp, &QCoreApplication::quit);

    connect(m_ui.Timer1, &QTimer::timeout, this, &Form1::Timer1Tick);
    connect(m_ui.Timer2, &QTimer::timeout, this, [this] {
        ReopenLink(*m_link, m_ui.Text2->text());
        // Why nothing arrives, for whoever hovers over the box; the window stays
        // silent. Paths are data, never markup.
        const QString why = Qt::convertFromPlainText(
                PortBoxToolTip(m_ui.Text2->text(), m_link->CommPort(), m_link->portStatus()));
        if (m_ui.Text2->toolTip() != why)
            m_ui.Text2->setToolTip(why);
    });

    m_ui.Text2->installEventFilter(this);
}

void Form1::load()
{
    setWindowTitle(windowTitle()
                   + QStringLiteral(" V%1.%2.%3")
                             .arg(CALVARIN_VERSION_MAJOR)
                             .arg(CALVARIN_VERSION_MINOR)
                             .arg(CALVARIN_VERSION_PATCH));
    m_ui.Timer1->start();
    m_ui.Timer2->start();
    m_ui.Text1->setFocus();
}

void Form1::centreOnScreen()
{
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

QLabel *Form1::label(Control control) const
{
    switch (control) {
    case Control::Label5: return m_ui.Label5;
    case Control::Label6: return m_ui.Label6;
    case Control::Label7: return m_ui.Label7;
    case Control::Label14: return m_ui.Label14;
    case Control::Label15: return m_ui.Label15;
    case Control::Label16: return m_ui.Label16;
    case Control::Label17: return m_ui.Label17;
    case Control::Label18: return m_ui.Label18;
    case Control::Label19: return m_ui.Label19;
    case Control::Label20: return m_ui.Label20;
    default: return nullptr;
    }
}

QWidget *Form1::widget(Control control) const
{
    switch (control) {
    case Control::Text1: return m_ui.Text1;
    case Control::Text2: return m_ui.Text2;
    case Control::Command1: return m_ui.Command1;
    case Control::Command8: return m_ui.Command8;
    default: return label(control);
    }
}

QTimer *Form1::timer(Control control) const
{
    return control == Control::Timer1 ? m_ui.Timer1 : control == Control::Timer2 ? m_ui.Timer2 : nullptr;
}

QString Form1::caption(Control control) const
{
    return label(control)->text();
}

void Form1::setCaption(Control control, const QString &caption)
{
    label(control)->setText(caption);
}

void Form1::Timer1Tick()
{
    m_protocol.Timer1Tick();
    m_log->flush(); // the poll is over: show what it logged, in one edit
}

QString Form1::text(Control box) const
{
    return box == Control::Text2 ? m_ui.Text2->text() : m_log->text();
}

void Form1::setText(Control box, const QString &text)
{
    if (box == Control::Text2)
        m_ui.Text2->setText(text);
    else
        m_log->setText(text);
}

qsizetype Form1::textLength(Control box) const
{
    return box == Control::Text2 ? m_ui.Text2->text().size() : m_log->textLength();
}

void Form1::appendText(Control box, QStringView text)
{
    if (box == Control::Text2)
        m_ui.Text2->setText(m_ui.Text2->text().append(text));
    else
        m_log->append(text);
}

void Form1::setReadOnly(Control box, bool readOnly)
{
    if (box == Control::Text2)
        m_ui.Text2->setReadOnly(readOnly);
    else
        m_ui.Text1->setReadOnly(readOnly);
}

void Form1::setEnabled(Control button, bool enabled)
{
    widget(button)->setEnabled(enabled);
}

void Form1::stopTimer(Control control)
{
    timer(control)->stop();
}

void Form1::startTimer(Control control)
{
    timer(control)->start();
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_ui.Text2) {
        if (event->type() == QEvent::KeyPress) {
            if (const auto readOnly = PortKeyFilter::readOnlyOnKeyDown(
                        VirtualKeyCode(*static_cast<QKeyEvent *>(event))))
                m_ui.Text2->setReadOnly(*readOnly);
        } else if (event->type() == QEvent::KeyRelease) {
            m_ui.Text2->setReadOnly(PortKeyFilter::readOnlyOnKeyUp(VirtualKeyCode(*static_cast<QKeyEvent *>(event))));
        } else if (event->type() == QEvent::FocusIn) {
            // A key released while the focus was elsewhere never reached us.
            m_ui.Text2->setReadOnly(false);
        }
    }
    return QWidget::eventFilter(watched, event);
}
