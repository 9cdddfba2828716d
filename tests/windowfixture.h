#pragma once

#include "form1.h"
#include "memorylink.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QLineEdit>

// The real window on an in-memory link.
struct WindowFixture
{
    MemoryLink *link = new MemoryLink;
    Form1 window{link};

    template<typename T = QWidget>
    T *child(const char *name) const
    {
        return window.findChild<T *>(QString::fromLatin1(name));
    }
    QPushButton *button(const char *name) const { return child<QPushButton>(name); }
    QString caption(const char *name) const { return child<QLabel>(name)->text(); }
    QPlainTextEdit *log() const { return child<QPlainTextEdit>("Text1"); }
    DeviceProtocol &protocol() { return window.protocol(); }
};
