#include "form1.h"
#include "plaintooltip.h"
#include "portstatustext.h"
#include "protocolfixture.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {
// The port box's tooltip as the technician reads it.
QString toolTip(const Form1 &w)
{
    return plainToolTip(w.findChild<QLineEdit *>(u"Text2"_s));
}

QString caption(const Form1 &w, const char *name)
{
    return w.findChild<QLabel *>(QString::fromLatin1(name))->text();
}

// The window on SerialLink, with a pseudo-terminal BA published as port 1.
struct PluggedWindow
{
    QTemporaryDir ports;
    std::unique_ptr<Pty> ba = plugIn();
    Form1 window{new SerialLink(ports.path())};

    std::unique_ptr<Pty> plugIn() const
    {
        auto pty = std::make_unique<Pty>();
        pty->linkAs(ports.path(), 1);
        return pty;
    }
    // Unplugged and plugged in again: a new device behind the same number.
    void replug() { ba = plugIn(); }
    bool portOpen(bool open = true) const
    {
        return QTest::qWaitFor([&] { return window.link().PortOpen() == open; }, 5000);
    }
    QString caption(const char *name) const { return ::caption(window, name); }
};
} // namespace

// The whole tool on a real serial stack: the window, its timers, SerialLink
// and a pseudo-terminal playing the BA.
class TestSerialWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void reportAndCommandsThroughThePort();
    void portBoxMovesTheLink();
    void portBoxToolTip_data();
    void portBoxToolTip();
    void statusText_data();
    void statusText();
    void deviceVanishesMidReportAndReturns();
    void deviceVanishesInTestMode();
};

void TestSerialWindow::reportAndCommandsThroughThePort()
{
    PluggedWindow f;
    f.window.show();
    QVERIFY(f.portOpen());

    QVERIFY(f.ba->write(sampleReport()));
    QTRY_COMPARE(f.caption("Label19"), u"0A0B"_s);
    QCOMPARE(f.caption("Label5"), u"1.0"_s);
    QCOMPARE(f.caption("Label20"), u"BA Reset Finish"_s);

    QTest::mouseClick(f.window.findChild<QPushButton *>(u"Command8"_s), Qt::LeftButton);
    QCOMPARE(f.ba->read(2), QByteArray::fromHex("6E14"));
    QVERIFY(f.ba->write(QByteArray::fromHex("6E14")));
    QTRY_COMPARE(f.window.text(Control::Text1), u"110\r\n20"_s);

    QTest::mouseClick(f.window.findChild<QPushButton *>(u"Command1"_s), Qt::LeftButton);
    QCOMPARE(f.ba->read(2), QByteArray::fromHex("6363"));
    QCOMPARE(f.caption("Label20"), u"Please Reset BA To Resume Normal Mode"_s);
}

void TestSerialWindow::portBoxMovesTheLink()
{
    QTemporaryDir ports;
    Pty first, second, fifth;
    QVERIFY(first.linkAs(ports.path(), 1));
    QVERIFY(second.linkAs(ports.path(), 2));
    QVERIFY(fifth.linkAs(ports.path(), 5));
    Form1 window(new SerialLink(ports.path()));
    window.show();
    auto *box = window.findChild<QLineEdit *>(u"Text2"_s);
    QTRY_COMPARE(toolTip(window), first.devicePath() + u": open"_s);

    // Bad numbers keep the port it had, which is not the default one.
    box->setText(u"5"_s);
    QTRY_COMPARE(window.link().CommPort(), qint16(5));
    for (const QString &text : {u""_s, u"0"_s, u"256"_s, u"65536"_s, u"99999"_s, u"COM3"_s}) {
        box->setText(text);
        QSignalSpy tick(window.findChild<QTimer *>(u"Timer2"_s), &QTimer::timeout);
        QVERIFY(tick.wait());
        QVERIFY(window.link().PortOpen());
        QCOMPARE(window.link().CommPort(), qint16(5));
        QCOMPARE(toolTip(window),
                 u"\"%1\" is not a port number 1-255; still on port 5 (%2: open)"_s.arg(text, fifth.devicePath()));
    }

    // Half a report from one device is never completed by the next one's bytes.
    QVERIFY(fifth.write(sampleReport().left(11)));
    QTRY_COMPARE(caption(window, "Label14"), u"12"_s);
    box->setText(u"2"_s);
    QTRY_VERIFY(window.link().CommPort() == 2 && window.link().PortOpen());
    QVERIFY(second.write(sampleReport().mid(1)));
    QSignalSpy poll(window.findChild<QTimer *>(u"Timer1"_s), &QTimer::timeout);
    QTRY_VERIFY(poll.size() >= 3);
    QCOMPARE(caption(window, "Label14"), u"12"_s);
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

void TestSerialWindow::portBoxToolTip_data()
{
    QTest::addColumn<QString>("target"); // what com9 points to, in the port folder
    QTest::addColumn<QString>("shown");  // %1: the port folder
    QTest::addRow("markup in the path") << u"<b>BOLD &lt;i&gt;"_s << u"%1/<b>BOLD &lt;i&gt;: not a serial port"_s;
    QString deep;
    for (int i = 0; i < 20; ++i)
        deep += QString(200, QChar(u'a' + i)) + u'/';
    deep += u"ttyDeep"_s;
    QTest::addRow("a 4,000-character path") << deep << QString();
    QTest::addRow("a dangling link") << u"unplugged"_s << u"%1/com9: no such device"_s;
}

void TestSerialWindow::portBoxToolTip()
{
    QFETCH(QString, target);
    QFETCH(QString, shown);
    QTemporaryDir ports;
    const QString path = ports.filePath(target);
    if (target != u"unplugged"_s) {
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QVERIFY(QFile::link(path, ports.filePath(u"com9"_s)));
    Form1 window(new SerialLink(ports.path()));
    window.findChild<QLineEdit *>(u"Text2"_s)->setText(u"9"_s);
    QTRY_VERIFY(!toolTip(window).isEmpty() && toolTip(window) != u"Not opened yet"_s);
    if (shown.isEmpty()) {
        // Shortened in the middle to 80 characters.
        QCOMPARE(toolTip(window), path.left(39) + QChar(0x2026) + path.right(40) + u": not a serial port"_s);
    } else {
        QCOMPARE(toolTip(window), shown.arg(ports.path()));
    }
}

void TestSerialWindow::statusText_data()
{
    QTest::addColumn<PortState>("state");
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<QString>("text");
    const auto row = [](const char *name, PortState state, qint64 pid, const char *text) {
        QTest::newRow(name) << state << pid << QString::fromLatin1(text);
    };
    row("open", PortState::Open, 0, "/dev/ttyS2: open");
    row("no such device", PortState::NoDevice, 0, "/dev/ttyS2: no such device");
    row("in use, lock names a PID", PortState::InUse, 4242, "/dev/ttyS2: in use by process 4242");
    row("in use, no PID", PortState::InUse, 0, "/dev/ttyS2: in use by another program");
    row("no permission", PortState::NoPermission, 0, "/dev/ttyS2: no permission (is the user in the dialout group?)");
    row("not a serial port", PortState::NotSerial, 0, "/dev/ttyS2: not a serial port");
    row("hung up", PortState::HungUp, 0, "/dev/ttyS2: hung up; opened again when the system allows it");
    row("line locked", PortState::LineLocked, 0, "/dev/ttyS2: let go: the line is locked by another program");
}

void TestSerialWindow::statusText()
{
    QFETCH(PortState, state);
    QFETCH(qint64, pid);
    QFETCH(QString, text);
    QCOMPARE(PortStatusText({QStringLiteral("/dev/ttyS2"), state, pid, {}}), text);
}

void TestSerialWindow::deviceVanishesMidReportAndReturns()
{
    PluggedWindow f;
    f.window.show();
    QVERIFY(f.portOpen());

    QVERIFY(f.ba->write(sampleReport().left(11)));
    QTRY_COMPARE(f.caption("Label14"), u"12"_s);
    f.ba->vanish();
    QVERIFY(f.portOpen(false));
    QCOMPARE(f.caption("Label20"), u"Please Reset BA"_s);

    // The new device's first bytes finish nothing; its own report does.
    f.replug();
    QVERIFY(f.portOpen());
    QVERIFY(f.ba->write(sampleReport().mid(11) + sampleReport().mid(1, 10)));
    QSignalSpy poll(f.window.findChild<QTimer *>(u"Timer1"_s), &QTimer::timeout);
    QTRY_VERIFY(poll.size() >= 3);
    QCOMPARE(f.caption("Label14"), u"12"_s);
    QCOMPARE(f.caption("Label20"), u"Please Reset BA"_s);
    QVERIFY(f.ba->write(sampleReport()));
    QTRY_COMPARE(f.caption("Label20"), u"BA Reset Finish"_s);
    QCOMPARE(f.caption("Label14"), u"1234"_s);
    QCOMPARE(f.caption("Label19"), u"0A0B"_s);
}

void TestSerialWindow::deviceVanishesInTestMode()
{
    PluggedWindow f;
    f.window.show();
    QVERIFY(f.portOpen());

    f.window.protocol().EnterTestMode();
    QCOMPARE(f.ba->read(2), QByteArray::fromHex("6E14"));
    QVERIFY(f.ba->write(QByteArray::fromHex("6E1405")));
    QTRY_COMPARE(f.window.text(Control::Text1), u"110\r\n20\r\n5"_s);
    f.ba->vanish();
    // The link drops the dead descriptor rather than spinning on it.
    QVERIFY(f.portOpen(false));

    // Commands given while it is gone are lost, and only they.
    f.window.protocol().LeaveTestMode();
    QCOMPARE(f.caption("Label20"), u"BA Resume Normal Mode"_s);
    QCOMPARE(f.window.text(Control::Text1), u"110\r\n20\r\n5"_s);

    f.replug();
    QVERIFY(f.portOpen());
    f.window.protocol().EnterTestMode();
    QCOMPARE(f.ba->read(2), QByteArray::fromHex("6E14"));
}

QTEST_MAIN(TestSerialWindow)
#include "tst_serialwindow.moc"
