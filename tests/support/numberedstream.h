#pragma once

#include <QStringView>
#include <QtGlobal>

// The numbered stream 0, 1, ... 255, 0, ... as a log reads it back, values
// with CR LF between them: a forward jump is a loss, anything else disorder.
struct NumberedStream
{
    qint64 lines = 0, lost = 0, disorder = 0;
    qint64 next = 0; // the number the next value should carry

    void add(int value)
    {
        ++lines;
        const int ahead = (value - int(next & 0xFF) + 256) % 256;
        if (ahead == 0) {
            ++next;
        } else if (ahead < 128) {
            lost += ahead;
            next += ahead + 1;
        } else {
            ++disorder;
        }
    }

    // Read from the text as it is, without splitting it: a shift's log has
    // tens of millions of lines.
    static NumberedStream of(QStringView log, qint64 first = 0)
    {
        NumberedStream stream;
        stream.next = first;
        for (qsizetype i = 0; i < log.size();) {
            int value = 0;
            for (; i < log.size() && log[i].isDigit(); ++i)
                value = value * 10 + log[i].digitValue();
            i += 2; // CR LF
            stream.add(value);
        }
        return stream;
    }
};
