#include "messageboxprompt.h"

#include <QMessageBox>

std::unique_ptr<QMessageBox> MessageBoxPrompt::makeBox(QWidget *parent, const QString &title, const QString &text)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, title, text, QMessageBox::Ok | QMessageBox::Cancel,
                                             parent);
    box->setDefaultButton(QMessageBox::Cancel);
    box->setEscapeButton(QMessageBox::Cancel);
    return box;
}

bool MessageBoxPrompt::confirm(const QString &title, const QString &text)
{
    const auto box = makeBox(m_parent, title, text);
    return box->exec() == QMessageBox::Ok;
}
