#pragma once

#include "deviceprotocol.h"

// Answers the confirmation as the test says, and remembers what it was asked.
struct ScriptedPrompt final : ConfirmPrompt
{
    bool answer = false;
    QString title, text;
    int asked = 0;

    bool confirm(const QString &t, const QString &x) override
    {
        ++asked;
        title = t;
        text = x;
        return answer;
    }
};
