#include "memorylink.h"
#include "portselection.h"

#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TestPortSelection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void portNumberFromText_data();
    void portNumberFromText();
    void reopenCycle_data();
    void reopenCycle();
    void failedOpenIsRetriedNextTick();
    void keyFilter_data();
    void keyFilter();
};

void TestPortSelection::portNumberFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("number"); // -1: no value
    QTest::addRow("one") << u"1"_s << 1;
    QTest::addRow("leading zeros") << u"007"_s << 7;
    QTest::addRow("zero") << u"0"_s << 0;
    QTest::addRow("largest") << u"32767"_s << 32767;
    QTest::addRow("too large") << u"32768"_s << -1;
    QTest::addRow("far too large") << u"99999999999999999999"_s << -1;
    QTest::addRow("empty") << QString() << -1;
    QTest::addRow("sign") << u"-3"_s << -1;
    QTest::addRow("blank") << u" 3"_s << -1;
    QTest::addRow("letters") << u"abc"_s << -1;
    QTest::addRow("shifted digit") << u"%"_s << -1;
    QTest::addRow("fraction") << u"1.5"_s << -1;
    QTest::addRow("arabic-indic digit") << QString(QChar(0x0663)) << -1;
}

void TestPortSelection::portNumberFromText()
{
    QFETCH(QString, text);
    QFETCH(int, number);
    const auto value = PortNumberFromText(text);
    QCOMPARE(value.has_value(), number >= 0);
    if (value)
        QCOMPARE(int(*value), number);
}

void TestPortSelection::reopenCycle_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<int>("opensOn");
    QTest::addRow("same number") << u"1"_s << 1;
    QTest::addRow("new number") << u"2"_s << 2;
    QTest::addRow("emptied") << QString() << 1;
    QTest::addRow("zero refused") << u"0"_s << 1;
    QTest::addRow("above the link's limit") << u"256"_s << 1;
    QTest::addRow("out of range") << u"99999"_s << 1;
    QTest::addRow("pasted letters") << u"COM3"_s << 1;
}

void TestPortSelection::reopenCycle()
{
    QFETCH(QString, box);
    QFETCH(int, opensOn);
    MemoryLink link;
    QVERIFY(link.PortOpen());
    ReopenLink(link, box);
    QCOMPARE(link.closes, 1);
    QCOMPARE(link.opened, QList<qint16>{qint16(opensOn)});
    QVERIFY(link.PortOpen());
}

void TestPortSelection::failedOpenIsRetriedNextTick()
{
    MemoryLink link;
    (void)link.setPortOpen(false);
    link.closes = 0;
    link.setOpenFails(true);
    ReopenLink(link, u"4"_s);
    QVERIFY(!link.PortOpen());
    QCOMPARE(link.closes, 0);

    link.setOpenFails(false);
    ReopenLink(link, u"4"_s);
    QVERIFY(link.PortOpen());
    QCOMPARE(link.opened, QList<qint16>{4});
}

void TestPortSelection::keyFilter_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("after"); // 1 read-only, 0 editable, -1 unchanged
    QTest::addRow("digit 0") << 48 << -1;
    QTest::addRow("digit 9") << 57 << -1;
    QTest::addRow("slash, below the digits") << 47 << 1;
    QTest::addRow("colon, above the digits") << 58 << 1;
    QTest::addRow("letter A") << 65 << 1;
    QTest::addRow("keypad 5") << 101 << 1;
    QTest::addRow("shift") << 16 << 1;
    QTest::addRow("backspace") << 8 << 0;
    QTest::addRow("delete") << 46 << 0;
}

void TestPortSelection::keyFilter()
{
    QFETCH(int, code);
    QFETCH(int, after);
    const auto readOnly = PortKeyFilter::readOnlyOnKeyDown(code);
    QCOMPARE(readOnly.has_value(), after >= 0);
    if (readOnly)
        QCOMPARE(*readOnly, after == 1);
    QVERIFY(!PortKeyFilter::readOnlyOnKeyUp(code));
}

QTEST_APPLESS_MAIN(TestPortSelection)
#include "tst_portselection.moc"
