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

namespace {

// Same order as the Control enum.
constexpr std::array<const char *, 16> kControlNames = {
    "Label5", "Label6", "Label7",
    "Label14", "Label15", "Label16", "Label17", "Label18", "Label19",
    "Label20", "Text1", "Text2", "Command1", "Command8", "Timer1", "Timer2",
};

} // namespace

Form1::Form1(DeviceLink *link, std::unique_ptr<ConfirmPrompt> prompt, QWidget *parent)
    : QWidget(parent)
    , m_link(link)
    , m_prompt(prompt ? std::move(prompt) : std::make_unique<MessageBoxPrompt>(this))
    , m_protocol(*this, *link)
{
    Form1Design::build(this);
    m_link->setParent(this);
    m_link->setObjectName(QStringLiteral("MSComm1"));

    findControls();
    bindHandlers();
    load();
    centreOnScreen();
}

Form1::~Form1() = default;

void Form1::findControls()
{
    for (size_t i = 0; i < kControlNames.size(); ++i)
        m_controls[i] = findChild<QObject *>(QString::fromLatin1(kControlNames[i]));
    // Built as a LogEdit; without a meta-object of its own, it is found as what it derives from.
    m_log = new LogBox(static_cast<LogEdit *>(findChild<QPlainTextEdit *>(QStringLiteral("Text1"))));
    m_portBox = findChild<QLineEdit *>(QStringLiteral("Text2"));
}

void Form1::bindHandlers()
{
    const auto button = [this](const char *name) {
        return findChild<QPushButton *>(QString::fromLatin1(name));
    };
    connect(button("Command8"), &QPushButton::clicked, this, [this] { m_protocol.EnterTestMode(); });
    connect(button("Command1"), &QPushButton::clicked, this, [this] { m_protocol.LeaveTestMode(); });
    connect(button("Command4"), &QPushButton::clicked, this, [this] { m_protocol.ClearEeprom(*m_prompt); });
    connect(button("Command6"), &QPushButton::clicked, this, [this] { m_protocol.ClearVersionFields(); });
    connect(button("Command2"), &QPushButton::clicked, this, [this] { m_protocol.ClearLog(); });
    connect(button("Command3"), &QPushButton::clicked, qApp, &QCoreApplication::quit);

    connect(timer(Control::Timer1), &QTimer::timeout, this, &Form1::Timer1Tick);
    connect(timer(Control::Timer2), &QTimer::timeout, this, [this] {
        ReopenLink(*m_link, m_portBox->text());
        // Why nothing arrives, for whoever hovers over the box; the window stays
        // silent. Paths are data, never markup.
        const QString why = Qt::convertFromPlainText(
                PortBoxToolTip(m_portBox->text(), m_link->CommPort(), m_link->portStatus()));
        if (m_portBox->toolTip() != why)
            m_portBox->setToolTip(why);
    });

    m_portBox->installEventFilter(this);
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
    findChild<QWidget *>(QStringLiteral("Text1"))->setFocus();
}

void Form1::centreOnScreen()
{
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
}

QObject *Form1::object(Control control) const
{
    return m_controls[static_cast<size_t>(control)];
}

QLabel *Form1::label(Control control) const
{
    return qobject_cast<QLabel *>(object(control));
}

QTimer *Form1::timer(Control control) const
{
    return qobject_cast<QTimer *>(object(control));
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
    return box == Control::Text2 ? m_portBox->text() : m_log->text();
}

void Form1::setText(Control box, const QString &text)
{
    if (box == Control::Text2)
        m_portBox->setText(text);
    else
        m_log->setText(text);
}

qsizetype Form1::textLength(Control box) const
{
    return box == Control::Text2 ? m_portBox->text().size() : m_log->textLength();
}

void Form1::appendText(Control box, QStringView text)
{
    if (box == Control::Text2)
        m_portBox->setText(m_portBox->text().append(text));
    else
        m_log->append(text);
}

void Form1::setReadOnly(Control box, bool readOnly)
{
    if (box == Control::Text2)
        m_portBox->setReadOnly(readOnly);
    else
        findChild<QPlainTextEdit *>(QStringLiteral("Text1"))->setReadOnly(readOnly);
}

void Form1::setEnabled(Control button, bool enabled)
{
    qobject_cast<QWidget *>(object(button))->setEnabled(enabled);
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
    if (watched == m_portBox) {
        if (event->type() == QEvent::KeyPress) {
            if (const auto readOnly = PortKeyFilter::readOnlyOnKeyDown(
                        VirtualKeyCode(*static_cast<QKeyEvent *>(event))))
                m_portBox->setReadOnly(*readOnly);
        } else if (event->type() == QEvent::KeyRelease) {
            m_portBox->setReadOnly(PortKeyFilter::readOnlyOnKeyUp(
                    VirtualKeyCode(*static_cast<QKeyEvent *>(event))));
        } else if (event->type() == QEvent::FocusIn) {
            // A key released while the focus was elsewhere never reached us.
            m_portBox->setReadOnly(false);
        }
    }
    return QWidget::eventFilter(watched, event);
}
