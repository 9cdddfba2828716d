#include "accessiblelabel.h"

#include <QAccessibleWidget>
#include <QLabel>

namespace {

const char kDescriptionProperty[] = "calvarinAccessibleDescription";

class LiveLabel final : public QAccessibleWidget
{
public:
    explicit LiveLabel(QLabel *label)
        : QAccessibleWidget(label, QAccessible::StaticText)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        const auto *label = static_cast<const QLabel *>(widget());
        switch (t) {
        case QAccessible::Name:
            // An empty label would otherwise borrow its group box's title.
            return label->text();
        case QAccessible::Description: return label->property(kDescriptionProperty).toString();
        default: return QAccessibleWidget::text(t);
        }
    }
};

QAccessibleInterface *liveLabelFactory(const QString &className, QObject *object)
{
    if (className != QLatin1String("QLabel") || !object || !object->property(kDescriptionProperty).isValid())
        return nullptr;
    return new LiveLabel(static_cast<QLabel *>(object));
}

} // namespace

void AccessibleLabel::describe(QLabel *label, const QString &description)
{
    static const bool installed = [] {
        QAccessible::installFactory(liveLabelFactory);
        return true;
    }();
    Q_UNUSED(installed);
    label->setProperty(kDescriptionProperty, description);
    label->setAccessibleName(QString());
    // A label made with a caption already has Qt's own interface; the next
    // query makes ours.
    QAccessibleInterface *current = QAccessible::queryAccessibleInterface(label);
    if (current && !dynamic_cast<LiveLabel *>(current))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(current));
}
