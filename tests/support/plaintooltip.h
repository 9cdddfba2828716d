#pragma once

#include <QTextDocumentFragment>
#include <QWidget>

// A tooltip as the technician reads it: the window hands it over as rich text.
inline QString plainToolTip(const QWidget *widget)
{
    return QTextDocumentFragment::fromHtml(widget->toolTip()).toPlainText();
}
