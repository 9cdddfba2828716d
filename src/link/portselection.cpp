#include "portselection.h"

#include "devicelink.h"

#include <QStandardPaths>
#include <limits>

std::optional<qint16> PortNumberFromText(const QString &text)
{
    if (text.isEmpty())
        return std::nullopt;
    qint32 value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > std::numeric_limits<qint16>::max())
            return std::nullopt;
    }
    return static_cast<qint16>(value);
}

void ReopenLink(DeviceLink &link, const QString &portBoxText)
{
    if (link.PortOpen())
        (void)link.setPortOpen(false);
    if (const auto number = PortNumberFromText(portBoxText))
        (void)link.setCommPort(*number);
    (void)link.setPortOpen(true);
}

std::optional<bool> PortKeyFilter::readOnlyOnKeyDown(int keyCode)
{
    std::optional<bool> readOnly;
    if (keyCode < kDigit0 || keyCode > kDigit9)
        readOnly = true;
    if (keyCode == kBackspace)
        readOnly = false;
    if (keyCode == kDelete)
        readOnly = false;
    return readOnly;
}

QString DefaultPortFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/calvarin/ports");
}

QString PortLinkName(int port)
{
    return QStringLiteral("com%1").arg(port);
}
