#pragma once

#include "deviceprotocol.h"

#include <QPointer>
#include <memory>

class QMessageBox;
class QWidget;

// Asks with a modal warning box, OK and Cancel, Cancel the default. The event
// loop, and with it the timers, keeps running while the box is open.
class MessageBoxPrompt final : public ConfirmPrompt
{
public:
    explicit MessageBoxPrompt(QWidget *parent)
        : m_parent(parent)
    {
    }
    bool confirm(const QString &title, const QString &text) override;

    static std::unique_ptr<QMessageBox> makeBox(QWidget *parent, const QString &title, const QString &text);

private:
    QPointer<QWidget> m_parent;
};
