#pragma once

#include "devicedisplay.h"

#include <array>
#include <variant>

class LogEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QWidget;

namespace Form1Design {

// The controls the window works with, as build() made them, reached by the
// device protocol's names for them. The control table says which row is which.
class Controls
{
public:
    using Made = std::variant<std::monostate, QLabel *, QPushButton *, QLineEdit *, LogEdit *, QTimer *>;

    template<typename T>
    T *get(Control control) const
    {
        T *const *made = std::get_if<T *>(&m_made[size_t(control)]);
        if (!made)
            fail(control);
        return *made;
    }
    void put(Control control, Made made) { m_made[size_t(control)] = made; }

private:
    [[noreturn]] static void fail(Control control);

    std::array<Made, kControlCount> m_made;
};

// Builds the window as designed on `form`: every control of the control
// table with its geometry, font, colours, initial state, accessible name and
// place in the tab order, the timers (stopped), and the form's own caption,
// icon, size and ground.
Controls build(QWidget *form);

} // namespace Form1Design
