#include "protocolfixture.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestReportParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sampleReportDecodes();
    void everySplitIntoPollsGivesTheSameResult();
    void markerInsideReportRestartsIt_data();
    void markerInsideReportRestartsIt();
    void completesOnlyAtTheTwentyFirstByte();
    void bytesAfterTheReportAreInert();
    void secondReportReplacesEveryField();
    void startupNoiseIsNotShownAsAReport();
    void counterHoldsAtTheTopWithoutWrapping();
    void rendering_data();
    void rendering();
};

void TestReportParser::sampleReportDecodes()
{
    ProtocolFixture f;
    f.display[Control::Command8].enabled = false;
    f.poll(sampleReport());

    QCOMPARE(f.valueFields(), kSampleFields);
    QCOMPARE(f.status(), QStringLiteral("BA Reset Finish"));
    QVERIFY(f.display[Control::Command8].enabled);
    QCOMPARE(f.protocol.state().FieldIndex, qint16(22));
    QVERIFY(f.protocol.state().RxBytes.isEmpty());
}

void TestReportParser::everySplitIntoPollsGivesTheSameResult()
{
    const QByteArray report = sampleReport();
    // Every pair of cut points: one, two or three polls.
    for (int a = 0; a <= report.size(); ++a) {
        for (int b = a; b <= report.size(); ++b) {
            ProtocolFixture f;
            f.poll(report.left(a));
            f.poll(report.mid(a, b - a));
            f.poll(report.mid(b));
            QCOMPARE(f.valueFields(), kSampleFields);
            QCOMPARE(f.status(), QStringLiteral("BA Reset Finish"));
        }
    }
    // One byte per poll.
    ProtocolFixture f;
    for (const char byte : report)
        f.poll(QByteArray(1, byte));
    QCOMPARE(f.valueFields(), kSampleFields);
}

void TestReportParser::markerInsideReportRestartsIt_data()
{
    QTest::addColumn<int>("position");
    for (int position : {1, 5, 9, 12, 20, 21})
        QTest::addRow("at %d", position) << position;
}

void TestReportParser::markerInsideReportRestartsIt()
{
    QFETCH(int, position);
    ProtocolFixture f;
    f.feed(sampleReport());
    f.display[Control::Label20].text = QStringLiteral("before");
    f.display[Control::Command8].enabled = false;

    QByteArray interrupted = sampleReport().left(position);
    interrupted += char(0x26);
    f.feed(interrupted);
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
    QCOMPARE(f.protocol.state().FieldIndex, qint16(1));

    // What follows is a fresh report from position 1.
    f.feed(sampleReport().mid(1));
    QCOMPARE(f.valueFields(), kSampleFields);
    QCOMPARE(f.status(), QStringLiteral("BA Reset Finish"));
}

void TestReportParser::completesOnlyAtTheTwentyFirstByte()
{
    ProtocolFixture f;
    f.display[Control::Command8].enabled = false;
    f.display[Control::Label20].text = QStringLiteral("Please Reset BA");
    f.feed(sampleReport().left(21)); // marker + 20
    QCOMPARE(f.status(), QStringLiteral("Please Reset BA"));
    QVERIFY(!f.display[Control::Command8].enabled);
    QCOMPARE(f.display[Control::Label19].text, QStringLiteral("0A"));

    f.feed(sampleReport().right(1));
    QCOMPARE(f.status(), QStringLiteral("BA Reset Finish"));
    QVERIFY(f.display[Control::Command8].enabled);
}

void TestReportParser::bytesAfterTheReportAreInert()
{
    ProtocolFixture f;
    f.feed(sampleReport());
    f.display[Control::Label20].text = QStringLiteral("unchanged");
    f.feed(QByteArray::fromHex("41424344FF0001") + QByteArray(100, 'x'));
    QCOMPARE(f.valueFields(), kSampleFields);
    QCOMPARE(f.status(), QStringLiteral("unchanged"));
}

void TestReportParser::secondReportReplacesEveryField()
{
    ProtocolFixture f;
    f.feed(sampleReport());
    f.feed(QByteArray::fromHex("26") + "ABCDEFGHI" + QByteArray::fromHex("FFEEDDCCBBAA998877665544"));
    QCOMPARE(f.valueFields(),
             (QStringList{u"ABC"_s, u"DE"_s, u"FGHI"_s, u"FFEE"_s, u"DDCC"_s, u"BBAA"_s, u"9988"_s, u"7766"_s,
                          u"5544"_s}));
}

void TestReportParser::startupNoiseIsNotShownAsAReport()
{
    ProtocolFixture f;
    f.display[Control::Command8].enabled = false;
    // A half-seen report: 21 bytes with no marker in front.
    f.poll(sampleReport().mid(1));
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
    QVERIFY(!f.display[Control::Command8].enabled);
    QVERIFY(f.status().isEmpty());

    // The next marker starts decoding as usual.
    f.poll(sampleReport());
    QCOMPARE(f.valueFields(), kSampleFields);
}

void TestReportParser::counterHoldsAtTheTopWithoutWrapping()
{
    ProtocolFixture f;
    f.feed(QByteArray(40000, 'x'));
    QCOMPARE(f.protocol.state().FieldIndex, qint16(32767));
    f.feed(QByteArray(30, 'y'));
    QCOMPARE(f.protocol.state().FieldIndex, qint16(32767));
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
    f.feed(sampleReport());
    QCOMPARE(f.valueFields(), kSampleFields);
}

void TestReportParser::rendering_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("byte");
    QTest::addColumn<QString>("expected");
    QTest::addRow("hex low nibble") << 10 << 0x0A << QStringLiteral("0A");
    QTest::addRow("hex zero") << 10 << 0x00 << QStringLiteral("00");
    QTest::addRow("hex upper case") << 10 << 0xB7 << QStringLiteral("B7");
    QTest::addRow("hex max") << 10 << 0xFF << QStringLiteral("FF");
    QTest::addRow("char ascii") << 1 << 0x41 << QStringLiteral("A");
    QTest::addRow("char nul") << 1 << 0x00 << QString(QChar(0));
    QTest::addRow("char 1252 euro") << 1 << 0x80 << QString(QChar(0x20AC));
    QTest::addRow("char 1252 undefined") << 1 << 0x81 << QString(QChar(0x81));
    QTest::addRow("char 1252 Y diaeresis") << 1 << 0x9F << QString(QChar(0x178));
    QTest::addRow("char latin-1") << 1 << 0xE9 << QString(QChar(0xE9));
}

void TestReportParser::rendering()
{
    QFETCH(int, position);
    QFETCH(int, byte);
    QFETCH(QString, expected);
    ProtocolFixture f;
    f.feed(QByteArray(1, 0x26) + QByteArray(position - 1, '0'));
    f.protocol.FeedReportByte(quint8(byte));
    const Control field = position == 1 ? Control::Label5 : Control::Label14;
    QCOMPARE(f.display[field].text, expected);
}

QTEST_APPLESS_MAIN(TestReportParser)
#include "tst_reportparser.moc"
