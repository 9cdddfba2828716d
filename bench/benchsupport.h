#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QTextStream>
#include <algorithm>
#include <cstdio>

// Small helpers shared by the benchmark programs.
namespace Bench {

// A field of /proc/self/status in MiB (VmRSS, VmHWM).
inline double statusMiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return 0;
}

inline double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = qsizetype(p / 100.0 * double(values.size() - 1) + 0.5);
    return values[std::clamp<qsizetype>(index, 0, values.size() - 1)];
}

// Prints a Markdown table to stdout.
inline void table(const QString &title, const QStringList &header, const QList<QStringList> &rows)
{
    QTextStream out(stdout);
    out << "\n### " << title << "\n\n| " << header.join(QStringLiteral(" | ")) << " |\n|";
    for (qsizetype i = 0; i < header.size(); ++i)
        out << "---|";
    out << "\n";
    for (const QStringList &row : rows)
        out << "| " << row.join(QStringLiteral(" | ")) << " |\n";
    out.flush();
}

inline QString number(double value, int decimals = 1)
{
    return QString::number(value, 'f', decimals);
}

} // namespace Bench
