#include "form1design.h"

#include "accessiblelabel.h"
#include "controltable.h"
#include "logbox.h"

#include <QApplication>
#include <QGroupBox>
#include <QHash>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

namespace Form1Design {

namespace {

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

// Hands the control to the window where the table says; a row whose slot
// holds another type is a mistake in the table.
template<typename Widget>
Widget *place(Controls &controls, const ControlSpec &design, Widget *widget)
{
    if (const auto *slot = std::get_if<Widget * Controls::*>(&design.slot))
        controls.**slot = widget;
    else if (!std::holds_alternative<std::monostate>(design.slot))
        qFatal("control table: %s is not what its slot holds", design.name);
    return widget;
}

// The widgets made so far, by name, for the accessibility and tab-order tables.
struct Made
{
    QHash<QString, QWidget *> widgets;
    QHash<QString, QLabel *> labels;
};

QWidget *makeWidget(const ControlSpec &design, QWidget *container, Controls &controls, Made &made)
{
    const QString caption = QString::fromLatin1(design.caption);
    switch (design.kind) {
    case Kind::Frame: return new QGroupBox(caption, container);
    case Kind::Label: {
        auto *label = place(controls, design, new QLabel(caption, container));
        made.labels.insert(QString::fromLatin1(design.name), label);
        label->setTextFormat(Qt::PlainText); // device bytes are not markup
        label->setWordWrap(true);
        label->setIndent(0); // a framed label otherwise pushes its text off the top edge
        label->setAlignment(Qt::AlignTop | ((design.flags & AlignLeft) ? Qt::AlignLeft : Qt::AlignHCenter));
        if (design.flags & Bordered) {
            label->setFrameShape(QFrame::Box);
            label->setFrameShadow(QFrame::Plain);
            label->setLineWidth(1);
        }
        return label;
    }
    case Kind::Button: {
        auto *button = place(controls, design, new QPushButton(caption, container));
        button->setAutoDefault(false);
        return button;
    }
    case Kind::LineBox: return place(controls, design, new QLineEdit(caption, container));
    case Kind::LogBox: {
        auto *box = place(controls, design, new LogEdit(caption, container));
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
    case Kind::Timer: break;
    }
    return nullptr;
}

} // namespace

Controls build(QWidget *form)
{
    form->setObjectName(QStringLiteral("Form1"));
    form->setWindowTitle(QString::fromLatin1(kDesignCaption));
    form->setWindowIcon(QIcon(QStringLiteral(":/calvarin/calvarin.xpm")));
    form->setFixedSize(pixels(kClientWidthTwips), pixels(kClientHeightTwips));
    QPalette palette = form->palette();
    palette.setColor(QPalette::Window, designColour(kFormGround));
    form->setPalette(palette);
    form->setAutoFillBackground(true);

    Controls built;
    Made made;
    made.widgets.insert(QStringLiteral("Form1"), form);
    for (const ControlSpec &design : controls()) {
        const QString name = QString::fromLatin1(design.name);
        if (design.kind == Kind::Timer) {
            auto *timer = place(built, design, new QTimer(form));
            timer->setObjectName(name);
            timer->setInterval(design.intervalMs);
            continue;
        }
        QWidget *widget = makeWidget(design, made.widgets.value(QString::fromLatin1(design.container)), built, made);
        widget->setObjectName(name);
        widget->setGeometry(pixels(design.left), pixels(design.top), pixels(design.width), pixels(design.height));
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
        made.widgets.insert(name, widget);
    }

    for (const AccessibleSpec &spoken : accessibility()) {
        const QString name = QString::fromLatin1(spoken.name);
        if (spoken.liveText) {
            AccessibleLabel::describe(made.labels.value(name), QString::fromLatin1(spoken.description));
            continue;
        }
        QWidget *widget = made.widgets.value(name);
        if (spoken.accessibleName)
            widget->setAccessibleName(QString::fromLatin1(spoken.accessibleName));
        if (spoken.description)
            widget->setAccessibleDescription(QString::fromLatin1(spoken.description));
    }

    const auto order = tabOrder();
    for (size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(made.widgets.value(QString::fromLatin1(order[i - 1])),
                             made.widgets.value(QString::fromLatin1(order[i])));
    return built;
}

} // namespace Form1Design
