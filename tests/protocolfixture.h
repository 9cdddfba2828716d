#pragma once

#include "deviceprotocol.h"
#include "memorydisplay.h"
#include "memorylink.h"

#include <QStringList>

// The protocol wired to an in-memory display and link.
struct ProtocolFixture
{
    MemoryDisplay display;
    MemoryLink link;
    DeviceProtocol protocol{display, link};

    // Delivers bytes as one poll's worth.
    void poll(const QByteArray &bytes)
    {
        link.receive(bytes);
        protocol.Timer1Tick();
    }

    void feed(const QByteArray &bytes)
    {
        for (const char byte : bytes)
            protocol.FeedReportByte(static_cast<quint8>(byte));
    }

    QStringList valueFields() const
    {
        QStringList fields;
        for (const Control c : {Control::Label5, Control::Label6, Control::Label7, Control::Label14, Control::Label15,
                                Control::Label16, Control::Label17, Control::Label18, Control::Label19})
            fields << display[c].text;
        return fields;
    }

    QString status() const { return display[Control::Label20].text; }
    QString log() const { return display[Control::Text1].text; }
};

// The BA's report as the manual gives it: "&1.002V103" and twelve value bytes.
inline QByteArray sampleReport()
{
    return QByteArray::fromHex("26312E30303256313033123456789ABCDEF001020A0B");
}

inline const QStringList kSampleFields = {
        QStringLiteral("1.0"),  QStringLiteral("02"),   QStringLiteral("V103"),
        QStringLiteral("1234"), QStringLiteral("5678"), QStringLiteral("9ABC"),
        QStringLiteral("DEF0"), QStringLiteral("0102"), QStringLiteral("0A0B"),
};
