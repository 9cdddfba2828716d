#include "protocolfixture.h"
#include "scriptedprompt.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
// One written byte and the mode the tool was in as it went out.
QString writeTrace(const QByteArray &bytes, bool testMode)
{
    return QString::fromLatin1(bytes.toHex()) + (testMode ? u"/test"_s : u"/normal"_s);
}
} // namespace

class TestCommands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void adjustmentRoundTrip();
    void exitMessage_data();
    void exitMessage();
    void exitParksTheParser();
    void commandsWithThePortClosed();
    void clearEepromWritesOnlyAfterOk_data();
    void clearEepromWritesOnlyAfterOk();
    void clearVersionFieldsDuringAReport();
};

void TestCommands::adjustmentRoundTrip()
{
    ProtocolFixture f;
    QStringList trace;
    f.link.onOutput = [&](const QByteArray &b) { trace << writeTrace(b, f.protocol.state().TestMode); };
    f.display[Control::Command1].enabled = false;
    f.display[Control::Command8].enabled = false;
    f.display[Control::Text1].text = u"old log"_s;

    f.poll(sampleReport());
    QVERIFY(f.display[Control::Command8].enabled);
    QVERIFY(!f.display[Control::Command1].enabled);

    f.protocol.EnterTestMode();
    QVERIFY(f.log().isEmpty());
    QVERIFY(f.protocol.state().TestMode);
    QVERIFY(!f.display[Control::Command8].enabled);
    QVERIFY(f.display[Control::Command1].enabled);
    QCOMPARE(f.status(), u"Please Insert WhiteCard Into BA"_s);

    f.poll(QByteArray::fromHex("6E14"));
    QCOMPARE(f.log(), u"110\r\n20"_s);

    f.protocol.LeaveTestMode();
    QVERIFY(!f.protocol.state().TestMode);
    QVERIFY(f.display[Control::Command8].enabled);
    QVERIFY(!f.display[Control::Command1].enabled);
    QCOMPARE(f.status(), u"Please Reset BA To Resume Normal Mode"_s);
    QCOMPARE(f.log(), u"110\r\n20"_s);

    // The enter bytes leave in normal mode, the leave bytes after it ends.
    QCOMPARE(trace, (QStringList{u"6e/normal"_s, u"14/normal"_s, u"63/normal"_s, u"63/normal"_s}));
    QCOMPARE(f.link.written, QByteArray::fromHex("6E146363"));
}

void TestCommands::exitMessage_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("status");
    const QString reset = u"Please Reset BA To Resume Normal Mode"_s;
    const QString resumed = u"BA Resume Normal Mode"_s;
    QTest::addRow("echo only") << u"110\r\n20"_s << reset;
    QTest::addRow("empty") << QString() << resumed;
    QTest::addRow("trailing break") << u"110\r\n20\r\n"_s << resumed;
    QTest::addRow("leading break") << u"\r\n110\r\n20"_s << resumed;
    QTest::addRow("bare LF") << u"110\n20"_s << resumed;
    QTest::addRow("card bytes too") << u"110\r\n20\r\n5"_s << resumed;
    QTest::addRow("typed text") << u"110\r\n20x"_s << resumed;
    QTest::addRow("reversed") << u"20\r\n110"_s << resumed;
}

void TestCommands::exitMessage()
{
    QFETCH(QString, log);
    QFETCH(QString, status);
    ProtocolFixture f;
    f.protocol.EnterTestMode();
    f.display[Control::Text1].text = log;
    f.protocol.LeaveTestMode();
    QCOMPARE(f.status(), status);
    QCOMPARE(f.log(), log);
}

void TestCommands::exitParksTheParser()
{
    ProtocolFixture f;
    f.poll(sampleReport());
    f.protocol.EnterTestMode();
    f.poll(QByteArray::fromHex("6E14"));
    f.protocol.LeaveTestMode();
    QCOMPARE(f.protocol.state().FieldIndex, qint16(23));

    f.poll(QByteArray("no marker in this stream at all"));
    QCOMPARE(f.valueFields(), kSampleFields);
    QCOMPARE(f.log(), u"110\r\n20"_s);

    f.poll(QByteArray::fromHex("26") + "9.9XYWXYZ" + QByteArray(12, 0x11));
    QCOMPARE(f.display[Control::Label5].text, u"9.9"_s);
    QCOMPARE(f.display[Control::Label19].text, u"1111"_s);
    QCOMPARE(f.status(), u"BA Reset Finish"_s);
}

void TestCommands::commandsWithThePortClosed()
{
    ProtocolFixture f;
    (void)f.link.setPortOpen(false);
    f.protocol.EnterTestMode();
    QVERIFY(f.protocol.state().TestMode);
    QVERIFY(f.display[Control::Command1].enabled);
    f.protocol.LeaveTestMode();
    QVERIFY(!f.protocol.state().TestMode);
    QVERIFY(f.display[Control::Command8].enabled);
    QCOMPARE(f.status(), u"BA Resume Normal Mode"_s);
    QVERIFY(f.link.written.isEmpty());

    // Only the commands given while closed are lost.
    (void)f.link.setPortOpen(true);
    f.protocol.EnterTestMode();
    QCOMPARE(f.link.written, QByteArray::fromHex("6E14"));
}

void TestCommands::clearEepromWritesOnlyAfterOk_data()
{
    QTest::addColumn<bool>("answer");
    QTest::addColumn<QByteArray>("written");
    QTest::addRow("ok") << true << QByteArray::fromHex("6E16");
    QTest::addRow("cancel or closed") << false << QByteArray();
}

void TestCommands::clearEepromWritesOnlyAfterOk()
{
    QFETCH(bool, answer);
    QFETCH(QByteArray, written);
    ProtocolFixture f;
    f.poll(sampleReport());
    ScriptedPrompt prompt;
    prompt.answer = answer;
    f.protocol.ClearEeprom(prompt);
    QCOMPARE(prompt.asked, 1);
    QCOMPARE(prompt.title, u"Calvarin"_s);
    QCOMPARE(prompt.text, u"Will clear ''EEPORM Data'', are you sure?"_s);
    QCOMPARE(f.link.written, written);
    // Nothing else changes.
    QCOMPARE(f.valueFields(), kSampleFields);
    QVERIFY(!f.protocol.state().TestMode);
}

void TestCommands::clearVersionFieldsDuringAReport()
{
    ProtocolFixture f;
    f.display[Control::Label20].text = u"Please Reset BA"_s;
    f.feed(sampleReport().left(13)); // Label15 holds its first value byte
    f.protocol.ClearVersionFields();
    QCOMPARE(f.valueFields(), QStringList(9, QString()));
    QCOMPARE(f.status(), u"Please Reset BA"_s);
    QCOMPARE(f.protocol.state().FieldIndex, qint16(13));

    f.feed(sampleReport().mid(13));
    QCOMPARE(f.valueFields(),
             (QStringList{QString(), QString(), QString(), QString(), u"78"_s, u"9ABC"_s, u"DEF0"_s, u"0102"_s,
                          u"0A0B"_s}));
    QCOMPARE(f.status(), u"BA Reset Finish"_s);
}

QTEST_APPLESS_MAIN(TestCommands)
#include "tst_commands.moc"
