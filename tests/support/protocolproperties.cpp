#include "protocolproperties.h"

#include "deviceprotocol.h"
#include "memorydisplay.h"
#include "memorylink.h"

#include <QList>
#include <QRegularExpression>
#include <QStringList>

namespace {

enum class Op { Receive, Enter, Leave, ClearFields, ClearLog };

struct Step
{
    Op op;
    QByteArray bytes;
};

QList<Step> decode(const QByteArray &script)
{
    QList<Step> steps;
    for (qsizetype i = 0; i < script.size();) {
        const int op = quint8(script[i++]) % 8;
        if (op < 4) {
            const qsizetype length = i < script.size() ? quint8(script[i++]) % 64 : 0;
            steps.append({Op::Receive, script.mid(i, length)});
            i += length;
        } else {
            steps.append({Op(op - 3), {}});
        }
    }
    return steps;
}

// Consecutive polls merged into one: the protocol must not care where polls split.
QList<Step> merged(const QList<Step> &steps)
{
    QList<Step> out;
    for (const Step &step : steps) {
        if (step.op == Op::Receive && !out.isEmpty() && out.last().op == Op::Receive)
            out.last().bytes += step.bytes;
        else
            out.append(step);
    }
    return out;
}

const Control kFields[] = {Control::Label5,  Control::Label6,  Control::Label7,  Control::Label14, Control::Label15,
                           Control::Label16, Control::Label17, Control::Label18, Control::Label19};

struct Run
{
    MemoryDisplay display;
    MemoryLink link;
    DeviceProtocol protocol{display, link};
    QByteArray sinceParked; // normal-mode bytes since the parser was last parked
    QStringList expectedLog;

    Run()
    {
        display[Control::Command8].enabled = false;
        display[Control::Command1].enabled = false;
        display[Control::Label20].text = QStringLiteral("Please Reset BA");
    }

    void apply(const Step &step)
    {
        switch (step.op) {
        case Op::Receive:
            if (protocol.state().TestMode) {
                for (const char b : step.bytes)
                    expectedLog << QString::number(quint8(b));
            } else {
                sinceParked += step.bytes;
            }
            link.receive(step.bytes);
            protocol.Timer1Tick();
            break;
        case Op::Enter:
            if (display[Control::Command8].enabled) {
                protocol.EnterTestMode();
                expectedLog.clear();
            }
            break;
        case Op::Leave:
            if (display[Control::Command1].enabled) {
                protocol.LeaveTestMode();
                sinceParked.clear();
            }
            break;
        case Op::ClearFields: protocol.ClearVersionFields(); break;
        case Op::ClearLog:
            protocol.ClearLog();
            expectedLog.clear();
            break;
        }
    }

    QString state() const
    {
        QStringList parts;
        for (const Control c : kFields)
            parts << display[c].text;
        parts << display[Control::Label20].text << display[Control::Text1].text
              << QString::number(protocol.state().FieldIndex) << QString::number(protocol.state().TestMode)
              << QString::number(display[Control::Command8].enabled)
              << QString::number(display[Control::Command1].enabled);
        return parts.join(u'|');
    }

    QString violation() const
    {
        const DeviceState &s = protocol.state();
        if (s.FieldIndex < 0)
            return QStringLiteral("FieldIndex went negative: %1").arg(s.FieldIndex);
        if (s.FieldIndex >= 1 && s.FieldIndex <= 21) {
            // Only by counting up from a marker: it sits FieldIndex bytes back,
            // with no other marker after it.
            const QByteArray tail = sinceParked.right(s.FieldIndex);
            if (tail.size() < s.FieldIndex || tail[0] != 0x26 || tail.mid(1).contains(char(0x26)))
                return QStringLiteral("FieldIndex %1 without a marker %1 bytes back").arg(s.FieldIndex);
        }
        static const QRegularExpression hexPairs(QStringLiteral("^([0-9A-F]{2}){0,2}$"));
        for (const Control c : {Control::Label14, Control::Label15, Control::Label16, Control::Label17,
                                Control::Label18, Control::Label19})
            if (!hexPairs.match(display[c].text).hasMatch())
                return QStringLiteral("value field holds '%1'").arg(display[c].text);
        if (display[Control::Label5].text.size() > 3 || display[Control::Label6].text.size() > 2
            || display[Control::Label7].text.size() > 4)
            return QStringLiteral("a version text is too long");

        const QString log = display[Control::Text1].text;
        if (log != expectedLog.join(QStringLiteral("\r\n")))
            return QStringLiteral("log is '%1'").arg(log.left(80));
        if (!protocol.state().RxBytes.isEmpty())
            return QStringLiteral("RxBytes not emptied after the poll");
        if (display[Control::Command1].enabled != s.TestMode)
            return QStringLiteral("test-mode Exit enabled out of test mode, or the reverse");
        if (display[Control::Command8].enabled && display[Control::Command1].enabled)
            return QStringLiteral("both test-mode buttons enabled");
        static const QStringList statuses = {QStringLiteral("Please Reset BA"), Texts::kReportFinished,
                                             Texts::kInsertCard, Texts::kResetToResume, Texts::kResumed};
        if (!statuses.contains(display[Control::Label20].text))
            return QStringLiteral("status line reads '%1'").arg(display[Control::Label20].text);
        return {};
    }
};

} // namespace

QString CheckProtocolScript(const QByteArray &script)
{
    const QList<Step> steps = decode(script);
    Run split;
    for (const Step &step : steps) {
        split.apply(step);
        if (const QString broken = split.violation(); !broken.isEmpty())
            return broken;
    }
    Run whole;
    for (const Step &step : merged(steps))
        whole.apply(step);
    if (whole.state() != split.state())
        return QStringLiteral("polls split differently end differently:\n%1\n%2").arg(split.state(), whole.state());
    return {};
}
