#include "form1design.h"

#include "accessiblelabel.h"
#include "controltable.h"
#include "logbox.h"

#include <QApplication>
#include <QGroupBox>
#include <QHash>
#include <QMap>
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

// Hands the control to the window under the protocol's name for it.
template<typename Widget>
Widget *place(Controls &controls, const ControlSpec &design, Widget *widget)
{
    if (design.control)
        controls.put(*design.control, widget);
    return widget;
}

QWidget *makeWidget(const ControlSpec &design, QWidget *container, Controls &controls)
{
    const QString caption = QString::fromLatin1(design.caption);
    switch (design.kind) {
    case Kind::Frame: return new QGroupBox(caption, container);
    case Kind::Label: {
        auto *label = place(controls, design, new QLabel(caption, container));
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
    QHash<QString, QWidget *> containers{{QStringLiteral("Form1"), form}};
    QMap<int, QWidget *> tabOrder;
    for (const ControlSpec &design : controls()) {
        const QString name = QString::fromLatin1(design.name);
        if (design.kind == Kind::Timer) {
            auto *timer = place(built, design, new QTimer(form));
            timer->setObjectName(name);
            timer->setInterval(design.intervalMs);
            continue;
        }
        QWidget *widget = makeWidget(design, containers.value(QString::fromLatin1(design.container)), built);
        widget->setObjectName(name);
        widget->setGeometry(pixels(design.left), pixels(design.top), pixels(design.width), pixels(design.height));
        QFont font = design.pointSize > 0 ? QFont(QString::fromLatin1(kFontFamily)) : QApplication::font();
        if (design.pointSize > 0)
            font.setPointSizeF(design.pointSize);
        widget->setFont(font);
        applyColours(widget, design);
        if (design.flags & Live) {
            // Its own accessible interface, before any default one exists.
            AccessibleLabel::describe(qobject_cast<QLabel *>(widget), QString::fromLatin1(design.description));
        } else {
            // A box is named by its column alone; other controls by their caption.
            const bool box = design.kind == Kind::LineBox || design.kind == Kind::LogBox;
            const char *spoken = design.accessibleName ? design.accessibleName : box ? "" : design.caption;
            if (*spoken)
                widget->setAccessibleName(QString::fromLatin1(spoken));
            if (design.description)
                widget->setAccessibleDescription(QString::fromLatin1(design.description));
        }
        if (design.flags & Hidden)
            widget->setHidden(true);
        if (design.flags & Disabled)
            widget->setEnabled(false);
        if (design.tabPlace > 0)
            tabOrder.insert(design.tabPlace, widget);
        containers.insert(name, widget);
    }

    QWidget *previous = nullptr;
    for (QWidget *next : std::as_const(tabOrder)) {
        if (previous)
            QWidget::setTabOrder(previous, next);
        previous = next;
    }
    return built;
}

void Controls::fail(Control control)
{
    qFatal("control table: control %d is not of the kind asked for", int(control));
}

} // namespace Form1Design
