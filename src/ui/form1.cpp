#include "form1.h"

#include "accessiblelabel.h"
#include "controltable.h"
#include "devicelink.h"
#include "keycodes.h"
#include "logbox.h"
#include "messageboxprompt.h"
#include "portselection.h"

#include <QApplication>
#include <QGroupBox>
#include <QHash>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

using namespace Form1Design;

namespace {

// Same order as the Control enum.
constexpr std::array<const char *, 16> kControlNames = {
    "Label5", "Label6", "Label7",
    "Label14", "Label15", "Label16", "Label17", "Label18", "Label19",
    "Label20", "Text1", "Text2", "Command1", "Command8", "Timer1", "Timer2",
};

int pixels(int twips)
{
    return twips / kTwipsPerPixel;
}

QColor designColour(quint32 value)
{
    constexpr quint32 kSystemFlag = 0x80000000;
    if (value & kSystemFlag) {
        const QPalette palette = QApplication::palette();
        switch (value) {
        case kSysMenuText: return palette.color(QPalette::WindowText);
        case kSysHighlightText: return palette.color(QPalette::HighlightedText);
        case kSysButtonText: return palette.color(QPalette::ButtonText);
        default: return palette.color(QPalette::Window);
        }
    }
    return QColor(int(value & 0xFF), int((value >> 8) & 0xFF), int((value >> 16) & 0xFF));
}

void applyColours(QWidget *widget, const ControlSpec &design)
{
    if (design.ground == kDefaultColour)
        return;
    QPalette palette = widget->palette();
    if (design.kind == Kind::LogBox) {
        palette.setColor(QPalette::Base, designColour(design.ground));
        palette.setColor(QPalette::Text, designColour(design.text));
    } else {
        palette.setColor(QPalette::Window, designColour(design.ground));
        palette.setColor(QPalette::WindowText, designColour(design.text));
        widget->setAutoFillBackground(true);
    }
    widget->setPalette(palette);
}

QWidget *makeWidget(const ControlSpec &design, QWidget *container)
{
    const QString caption = QString::fromLatin1(design.caption);
    switch (design.kind) {
    case Kind::Frame:
        return new QGroupBox(caption, container);
    case Kind::Label: {
        auto *label = new QLabel(caption, container);
        label->setTextFormat(Qt::PlainText); // device bytes are not markup
        label->setWordWrap(true);
        label->setIndent(0); // a framed label otherwise pushes its text off the top edge
        label->setAlignment(Qt::AlignTop
                            | ((design.flags & AlignLeft) ? Qt::AlignLeft : Qt::AlignHCenter));
        if (design.flags & Bordered) {
            label->setFrameShape(QFrame::Box);
            label->setFrameShadow(QFrame::Plain);
            label->setLineWidth(1);
        }
        return label;
    }
    case Kind::Button: {
        auto *button = new QPushButton(caption, container);
        button->setAutoDefault(false);
        return button;
    }
    case Kind::LineBox:
        return new QLineEdit(caption, container);
    case Kind::LogBox: {
        auto *box = new LogEdit(caption, container);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box->setTabChangesFocus(true);
        // Every appended byte would otherwise sit in the undo stack as well.
        box->setUndoRedoEnabled(false);
        return box;
    }
    case Kind::Option: {
        auto *option = new QRadioButton(caption, container);
        option->setChecked(design.flags & Checked);
        return option;
    }
    case Kind::Timer:
        break;
    }
    return nullptr;
}

} // namespace

Form1::Form1(DeviceLink *link, std::unique_ptr<ConfirmPrompt> prompt, QWidget *parent)
    : QWidget(parent)
    , m_link(link)
    , m_prompt(prompt ? std::move(prompt) : std::make_unique<MessageBoxPrompt>(this))
    , m_protocol(*this, *link)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kDesignCaption));
    setWindowIcon(QIcon(QStringLiteral(":/calvarin/calvarin.xpm")));
    setFixedSize(pixels(kClientWidthTwips), pixels(kClientHeightTwips));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, designColour(kFormGround));
    setPalette(palette);
    setAutoFillBackground(true);

    m_link->setParent(this);
    m_link->setObjectName(QStringLiteral("MSComm1"));

    buildControls();
    bindHandlers();
    load();
    centreOnScreen();
}

Form1::~Form1() = default;

void Form1::buildControls()
{
    QHash<QString, QWidget *> containers{{QStringLiteral("Form1"), this}};
    for (const ControlSpec &design : controls()) {
        const QString name = QString::fromLatin1(design.name);
        if (design.kind == Kind::Timer) {
            auto *timer = new QTimer(this);
            timer->setObjectName(name);
            timer->setInterval(design.intervalMs);
            continue;
        }
        QWidget *widget = makeWidget(design, containers.value(QString::fromLatin1(design.container)));
        widget->setObjectName(name);
        widget->setGeometry(pixels(design.left), pixels(design.top),
                            pixels(design.width), pixels(design.height));
        QFont font = design.pointSize > 0 ? QFont(QString::fromLatin1(kFontFamily)) : QApplication::font();
        if (design.pointSize > 0)
            font.setPointSizeF(design.pointSize);
        widget->setFont(font);
        applyColours(widget, design);
        const auto spoken = std::find_if(accessibility().begin(), accessibility().end(),
                                         [&](const AccessibleSpec &s) { return name == QLatin1String(s.name); });
        // Live labels get their own accessible interface below, before any default one exists.
        const bool live = spoken != accessibility().end() && spoken->liveText;
        if (design.kind != Kind::LineBox && design.kind != Kind::LogBox && *design.caption && !live)
            widget->setAccessibleName(QString::fromLatin1(design.caption));
        if (design.flags & Hidden)
            widget->setHidden(true);
        if (design.flags & Disabled)
            widget->setEnabled(false);
        if (design.kind == Kind::Frame)
            containers.insert(name, widget);
    }

    for (const AccessibleSpec &spoken : accessibility()) {
        auto *widget = findChild<QWidget *>(QString::fromLatin1(spoken.name));
        if (spoken.liveText) {
            AccessibleLabel::describe(static_cast<QLabel *>(widget), QString::fromLatin1(spoken.description));
            continue;
        }
        if (spoken.accessibleName)
            widget->setAccessibleName(QString::fromLatin1(spoken.accessibleName));
        if (spoken.description)
            widget->setAccessibleDescription(QString::fromLatin1(spoken.description));
    }

    const auto order = tabOrder();
    for (size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(findChild<QWidget *>(QString::fromLatin1(order[i - 1])),
                             findChild<QWidget *>(QString::fromLatin1(order[i])));

    for (size_t i = 0; i < kControlNames.size(); ++i)
        m_controls[i] = findChild<QObject *>(QString::fromLatin1(kControlNames[i]));
    // Made as a LogEdit above; without a meta-object of its own, it is found as what it derives from.
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
