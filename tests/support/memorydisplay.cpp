#include "memorydisplay.h"

const MemoryDisplay::Element &MemoryDisplay::operator[](Control control) const
{
    static const Element kUntouched;
    const auto it = m_elements.constFind(control);
    return it == m_elements.constEnd() ? kUntouched : *it;
}

void MemoryDisplay::stopTimer(Control timer)
{
    auto &element = m_elements[timer];
    element.running = false;
    ++element.stops;
}

void MemoryDisplay::startTimer(Control timer)
{
    auto &element = m_elements[timer];
    element.running = true;
    ++element.starts;
}
