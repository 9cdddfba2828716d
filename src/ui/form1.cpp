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
    , m_log(new LogBox(m_ui.get<LogEdit>(Control::Text1)))
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
    const auto clicked = [this](Control button, auto handler) {
        connect(m_ui.get<QPushButton>(button), &QPushButton::clicked, this, handler);
    };
    clicked(Control::Command8, [this] { m_protocol.EnterTestMode(); });
    clicked(Control::Command1, [this] { m_protocol.LeaveTestMode(); });
    clicked(Control::Command4, [this] { m_protocol.ClearEeprom(*m_prompt); });
    clicked(Control::Command6, [this] { m_protocol.ClearVersionFields(); });
    clicked(Control::Command2, [this] { m_protocol.ClearLog(); });
    connect(button(Control::Command3), &QPushButton::clicked, qApp, &QCoreApplication::quit);

    connect(timer(Control::Timer1), &QTimer::timeout, this, &Form1::Timer1Tick);
    connect(timer(Control::Timer2), &QTimer::timeout, this, [this] {
        ReopenLink(*m_link, portBox()->text());
        // Why nothing arrives, for whoever hovers over the box; the window stays
        // silent. Paths are data, never markup.
        const QString why = Qt::convertFromPlainText(
                PortBoxToolTip(portBox()->text(), m_link->CommPort(), m_link->portStatus()));
        if (portBox()->toolTip() != why)
            portBox()->setToolTip(why);
    });

    portBox()->installEventFilter(this);
}

void Form1::load()
{
    setWindowTitle(windowTitle()
                   + QStringLiteral(" V%1.%2.%3")
                             .arg(CALVARIN_VERSION_MAJOR)
                             .arg(CALVARIN_VERSION_MINOR)
                             .arg(CALVARIN_VERSION_PATCH));
    timer(Control::Timer1)->start();
    timer(Control::Timer2)->start();
    m_ui.get<LogEdit>(Control::Text1)->setFocus();
}

void Form1::centreOnScreen()
{
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

QLabel *Form1::label(Control control) const
{
    return m_ui.get<QLabel>(control);
}

QPushButton *Form1::button(Control control) const
{
    return m_ui.get<QPushButton>(control);
}

QTimer *Form1::timer(Control control) const
{
    return m_ui.get<QTimer>(control);
}

QLineEdit *Form1::portBox() const
{
    return m_ui.get<QLineEdit>(Control::Text2);
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
    return box == Control::Text2 ? portBox()->text() : m_log->text();
}

void Form1::setText(Control box, const QString &text)
{
    if (box == Control::Text2)
        portBox()->setText(text);
    else
        m_log->setText(text);
}

qsizetype Form1::textLength(Control box) const
{
    return box == Control::Text2 ? portBox()->text().size() : m_log->textLength();
}

void Form1::appendText(Control box, QStringView text)
{
    if (box == Control::Text2)
        portBox()->setText(portBox()->text().append(text));
    else
        m_log->append(text);
}

void Form1::setReadOnly(Control box, bool readOnly)
{
    if (box == Control::Text2)
        portBox()->setReadOnly(readOnly);
    else
        m_ui.get<LogEdit>(Control::Text1)->setReadOnly(readOnly);
}

void Form1::setEnabled(Control button, bool enabled)
{
    this->button(button)->setEnabled(enabled);
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
    if (watched == portBox()) {
        if (event->type() == QEvent::KeyPress) {
            if (const auto readOnly = PortKeyFilter::readOnlyOnKeyDown(
                        VirtualKeyCode(*static_cast<QKeyEvent *>(event))))
                portBox()->setReadOnly(*readOnly);
        } else if (event->type() == QEvent::KeyRelease) {
            portBox()->setReadOnly(PortKeyFilter::readOnlyOnKeyUp(VirtualKeyCode(*static_cast<QKeyEvent *>(event))));
        } else if (event->type() == QEvent::FocusIn) {
            // A key released while the focus was elsewhere never reached us.
            portBox()->setReadOnly(false);
        }
    }
    return QWidget::eventFilter(watched, event);
}
