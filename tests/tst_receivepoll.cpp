#include "protocolfixture.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestReceivePoll : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void gateLeavesBytesWaiting_data();
    void gateLeavesBytesWaiting();
    void failedReadCountsAsNothing();
    void tickStopsAndRestartsTimer1();
    void logText_data();
    void logText();
    void logStartsAfreshAfterClear();
    void logAppendsInPlace();
    void normalModeHandsEveryByteToTheParserInOrder();
};

void TestReceivePoll::gateLeavesBytesWaiting_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<int>("event");
    QTest::addColumn<QByteArray>("waiting");
    QTest::addRow("nothing waiting") << true << 2 << QByteArray();
    QTest::addRow("port closed") << false << 2 << sampleReport();
    QTest::addRow("last event a line fault") << true << 1000 << sampleReport();
    QTest::addRow("last event a modem line") << true << 5 << sampleReport();
}

void TestReceivePoll::gateLeavesBytesWaiting()
{
    QFETCH(bool, open);
    QFETCH(int, event);
    QFETCH(QByteArray, waiting);
    ProtocolFixture f;
    f.link.receive(waiting);
    f.link.setEvent(qint16(event));
    if (!open)
        (void)f.link.setPortOpen(false);

    f.protocol.Timer1Tick();
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
    QCOMPARE(f.link.InBufferCount(), open ? qint16(waiting.size()) : qint16(0));

    // The bytes stay with the link until a receive event lets a poll take them.
    (void)f.link.setPortOpen(true);
    f.link.receive({});
    f.protocol.Timer1Tick();
    if (!waiting.isEmpty())
        QCOMPARE(f.valueFields(), kSampleFields);
    QCOMPARE(f.link.InBufferCount(), qint16(0));
}

void TestReceivePoll::failedReadCountsAsNothing()
{
    ProtocolFixture f;
    f.link.setReadFails(true);
    f.poll(sampleReport());
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
    QCOMPARE(f.display[Control::Timer1].starts, 1);
}

void TestReceivePoll::tickStopsAndRestartsTimer1()
{
    ProtocolFixture f;
    bool runningDuringPoll = true;
    f.link.onInput = [&] { runningDuringPoll = f.display[Control::Timer1].running; };
    f.poll(sampleReport());
    QVERIFY(!runningDuringPoll);
    QVERIFY(f.display[Control::Timer1].running);
    QCOMPARE(f.display[Control::Timer1].stops, 1);
    QCOMPARE(f.display[Control::Timer1].starts, 1);
}

void TestReceivePoll::logText_data()
{
    QTest::addColumn<QList<QByteArray>>("polls");
    QTest::addColumn<QString>("log");
    QTest::addRow("echo of the enter command") << QList<QByteArray>{QByteArray::fromHex("6E14")} << u"110\r\n20"_s;
    QTest::addRow("extremes") << QList<QByteArray>{QByteArray::fromHex("00FF")} << u"0\r\n255"_s;
    QTest::addRow("one byte") << QList<QByteArray>{QByteArray::fromHex("07")} << u"7"_s;
    QTest::addRow("across polls") << QList<QByteArray>{QByteArray::fromHex("01"), QByteArray(),
                                                       QByteArray::fromHex("0226")}
                                  << u"1\r\n2\r\n38"_s;
}

void TestReceivePoll::logText()
{
    QFETCH(QList<QByteArray>, polls);
    QFETCH(QString, log);
    ProtocolFixture f;
    f.protocol.EnterTestMode();
    for (const QByteArray &bytes : polls)
        f.poll(bytes);
    QCOMPARE(f.log(), log);
    // Test mode keeps bytes away from the parser, markers included.
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
}

void TestReceivePoll::logStartsAfreshAfterClear()
{
    ProtocolFixture f;
    f.protocol.EnterTestMode();
    f.poll(QByteArray::fromHex("0102"));
    f.protocol.ClearLog();
    QVERIFY(f.log().isEmpty());
    f.poll(QByteArray::fromHex("03"));
    QCOMPARE(f.log(), u"3"_s);
}

void TestReceivePoll::logAppendsInPlace()
{
    ProtocolFixture f;
    f.protocol.EnterTestMode();
    f.display[Control::Text1].text = u"typed"_s;
    f.poll(QByteArray::fromHex("0A0B0C"));
    QCOMPARE(f.log(), u"typed\r\n10\r\n11\r\n12"_s);
    QCOMPARE(f.display.appends, 3); // never a rewrite of the whole log
}

void TestReceivePoll::normalModeHandsEveryByteToTheParserInOrder()
{
    ProtocolFixture f;
    // Noise, a full report completing mid-poll, then the start of the next one.
    QByteArray bytes = QByteArray(5, 'z') + sampleReport() + QByteArray::fromHex("26") + "ABC"
            + QByteArray::fromHex("00");
    bytes += QByteArray(40 - bytes.size(), 'q');
    QCOMPARE(bytes.size(), 40);
    f.poll(bytes);
    QCOMPARE(f.status(), u"BA Reset Finish"_s);
    QCOMPARE(f.display[Control::Label5].text, u"ABC"_s);
    QCOMPARE(f.display[Control::Label6].text, QString(QChar(0)) + u"q"_s);
    QCOMPARE(f.protocol.state().FieldIndex, qint16(40 - 5 - 22));
    QVERIFY(f.log().isEmpty());
}

QTEST_APPLESS_MAIN(TestReceivePoll)
#include "tst_receivepoll.moc"
