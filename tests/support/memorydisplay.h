#pragma once

#include "devicedisplay.h"

#include <QHash>

// The display operations over plain values.
class MemoryDisplay final : public DeviceDisplay
{
public:
    struct Element
    {
        QString text;
        bool enabled = true;
        bool readOnly = false;
        bool running = true;
        int starts = 0;
        int stops = 0;
    };

    Element &operator[](Control control) { return m_elements[control]; }
    const Element &operator[](Control control) const;
    int appends = 0;

    QString caption(Control label) const override { return (*this)[label].text; }
    void setCaption(Control label, const QString &caption) override { m_elements[label].text = caption; }
    QString text(Control box) const override { return (*this)[box].text; }
    void setText(Control box, const QString &text) override { m_elements[box].text = text; }
    qsizetype textLength(Control box) const override { return (*this)[box].text.size(); }
    void appendText(Control box, QStringView text) override
    {
        ++appends;
        m_elements[box].text.append(text);
    }
    void setReadOnly(Control box, bool readOnly) override { m_elements[box].readOnly = readOnly; }
    void setEnabled(Control button, bool enabled) override { m_elements[button].enabled = enabled; }
    void stopTimer(Control timer) override;
    void startTimer(Control timer) override;

private:
    QHash<Control, Element> m_elements;
};
