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

void build(QWidget *form)
{
    form->setObjectName(QStringLiteral("Form1"));
    form->setWindowTitle(QString::fromLatin1(kDesignCaption));
    form->setWindowIcon(QIcon(QStringLiteral(":/calvarin/calvarin.xpm")));
    form->setFixedSize(pixels(kClientWidthTwips), pixels(kClientHeightTwips));
    QPalette palette = form->palette();
    palette.setColor(QPalette::Window, designColour(kFormGround));
    form->setPalette(palette);
    form->setAutoFillBackground(true);

    QHash<QString, QWidget *> containers{{QStringLiteral("Form1"), form}};
    for (const ControlSpec &design : controls()) {
        const QString name = QString::fromLatin1(design.name);
        if (design.kind == Kind::Timer) {
            auto *timer = new QTimer(form);
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
        auto *widget = form->findChild<QWidget *>(QString::fromLatin1(spoken.name));
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
        QWidget::setTabOrder(form->findChild<QWidget *>(QString::fromLatin1(order[i - 1])),
                             form->findChild<QWidget *>(QString::fromLatin1(order[i])));
}

} // namespace Form1Design
