#pragma once

class LogEdit;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QWidget;

namespace Form1Design {

// The controls the window works with, as build() made them, under their
// designer names. The control table says which row fills which.
struct Controls
{
    QLabel *Label5 = nullptr, *Label6 = nullptr, *Label7 = nullptr;
    QLabel *Label14 = nullptr, *Label15 = nullptr, *Label16 = nullptr;
    QLabel *Label17 = nullptr, *Label18 = nullptr, *Label19 = nullptr;
    QLabel *Label20 = nullptr;
    LogEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QPushButton *Command1 = nullptr, *Command2 = nullptr, *Command3 = nullptr;
    QPushButton *Command4 = nullptr, *Command6 = nullptr, *Command8 = nullptr;
    QTimer *Timer1 = nullptr, *Timer2 = nullptr;
};

// Builds the window as designed on `form`: every control of the control
// table with its geometry, font, colours, initial state, accessible name and
// place in the tab order, the timers (stopped), and the form's own caption,
// icon, size and ground.
Controls build(QWidget *form);

} // namespace Form1Design
