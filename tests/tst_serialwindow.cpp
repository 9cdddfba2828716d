#include "form1.h"
#include "protocolfixture.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

// The whole tool on a real serial stack: the window, its timers, SerialLink
// and a pseudo-terminal playing the BA.
class TestSerialWindow : public QObject
{
    Q_OBJECT

private:
    static QString caption(const Form1 &w, const char *name)
    {
        return w.findChild<QLabel *>(QString::fromLatin1(name))->text();
    }

private Q_SLOTS:
    void reportAndCommandsThroughThePort();
    void portBoxMovesTheLink();
    void deviceVanishesMidReportAndReturns();
    void deviceVanishesInTestMode();
};

void TestSerialWindow::reportAndCommandsThroughThePort()
{
    QTemporaryDir ports;
    Pty ba;
    QVERIFY(ba.linkAs(ports.path(), 1));
    Form1 window(new SerialLink(ports.path()));
    window.show();
    QTRY_VERIFY(window.link().PortOpen());

    QVERIFY(ba.write(sampleReport()));
    QTRY_COMPARE(caption(window, "Label19"), u"0A0B"_s);
    QCOMPARE(caption(window, "Label5"), u"1.0"_s);
    QCOMPARE(caption(window, "Label20"), u"BA Reset Finish"_s);

    auto *vrAdjust = window.findChild<QPushButton *>(u"Command8"_s);
    QTest::mouseClick(vrAdjust, Qt::LeftButton);
    QCOMPARE(ba.read(2), QByteArray::fromHex("6E14"));
    QVERIFY(ba.write(QByteArray::fromHex("6E14")));
    QTRY_COMPARE(window.text(Control::Text1), u"110\r\n20"_s);

    QTest::mouseClick(window.findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
    QCOMPARE(ba.read(2), QByteArray::fromHex("6363"));
    QCOMPARE(caption(window, "Label20"), u"Please Reset BA To Resume Normal Mode"_s);
}

void TestSerialWindow::portBoxMovesTheLink()
{
    QTemporaryDir ports;
    Pty first, second;
    QVERIFY(first.linkAs(ports.path(), 1));
    QVERIFY(second.linkAs(ports.path(), 2));
    Form1 window(new SerialLink(ports.path()));
    window.show();
    QTRY_VERIFY(window.link().PortOpen());
    auto *box = window.findChild<QLineEdit *>(u"Text2"_s);

    // Bad numbers keep the port it had.
    for (const QString &text : {u""_s, u"0"_s, u"99999"_s, u"COM"_s}) {
        box->setText(text);
        QSignalSpy tick(window.findChild<QTimer *>(u"Timer2"_s), &QTimer::timeout);
        QVERIFY(tick.wait());
        QVERIFY(window.link().PortOpen());
        QCOMPARE(window.link().CommPort(), qint16(1));
    }

    box->setText(u"2"_s);
    QTRY_COMPARE(window.link().CommPort(), qint16(2));
    QVERIFY(second.write(sampleReport()));
    QTRY_COMPARE(caption(window, "Label14"), u"1234"_s);

    // A number with no device: the port stays closed, nothing is shown, and
    // the tool recovers when the number is good again.
    QVERIFY(QFile::link(ports.filePath(u"unplugged"_s), ports.filePath(u"com9"_s)));
    box->setText(u"9"_s);
    QTRY_VERIFY(!window.link().PortOpen());
    QCOMPARE(caption(window, "Label20"), u"BA Reset Finish"_s);
    box->setText(u"1"_s);
    QTRY_VERIFY(window.link().PortOpen());
    QVERIFY(first.write(QByteArray::fromHex("26") + "XYZ"));
    QTRY_COMPARE(caption(window, "Label5"), u"XYZ"_s);
}

void TestSerialWindow::deviceVanishesMidReportAndReturns()
{
    QTemporaryDir ports;
    auto ba = std::make_unique<Pty>();
    QVERIFY(ba->linkAs(ports.path(), 1));
    Form1 window(new SerialLink(ports.path()));
    window.show();
    QTRY_VERIFY(window.link().PortOpen());

    QVERIFY(ba->write(sampleReport().left(11)));
    QTRY_COMPARE(caption(window, "Label14"), u"12"_s);
    ba->vanish();
    QTRY_VERIFY(!window.link().PortOpen());
    QVERIFY(caption(window, "Label20").isEmpty() || caption(window, "Label20") == u"Please Reset BA"_s);

    ba = std::make_unique<Pty>();
    QVERIFY(ba->linkAs(ports.path(), 1));
    QTRY_VERIFY(window.link().PortOpen());
    QVERIFY(ba->write(sampleReport()));
    QTRY_COMPARE(caption(window, "Label20"), u"BA Reset Finish"_s);
    QCOMPARE(caption(window, "Label14"), u"1234"_s);
    QCOMPARE(caption(window, "Label19"), u"0A0B"_s);
}

void TestSerialWindow::deviceVanishesInTestMode()
{
    QTemporaryDir ports;
    auto ba = std::make_unique<Pty>();
    QVERIFY(ba->linkAs(ports.path(), 1));
    Form1 window(new SerialLink(ports.path()));
    window.show();
    QTRY_VERIFY(window.link().PortOpen());

    window.protocol().EnterTestMode();
    QCOMPARE(ba->read(2), QByteArray::fromHex("6E14"));
    QVERIFY(ba->write(QByteArray::fromHex("6E1405")));
    QTRY_COMPARE(window.text(Control::Text1), u"110\r\n20\r\n5"_s);
    ba->vanish();
    // The link drops the dead descriptor rather than spinning on it.
    QTRY_VERIFY(!window.link().PortOpen());

    // Commands given while it is gone are lost, and only they.
    window.protocol().LeaveTestMode();
    QCOMPARE(caption(window, "Label20"), u"BA Resume Normal Mode"_s);
    QCOMPARE(window.text(Control::Text1), u"110\r\n20\r\n5"_s);

    ba = std::make_unique<Pty>();
    QVERIFY(ba->linkAs(ports.path(), 1));
    QTRY_VERIFY(window.link().PortOpen());
    window.protocol().EnterTestMode();
    QCOMPARE(ba->read(2), QByteArray::fromHex("6E14"));
}

QTEST_MAIN(TestSerialWindow)
#include "tst_serialwindow.moc"
