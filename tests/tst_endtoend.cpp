#include "form1.h"
#include "seriallink.h"
#include "scriptedprompt.h"
#include "simprocess.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::Literals::StringLiterals;

// The real window on the real serial stack against the simulated BA.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_ports;
    SimProcess m_sim;
    ScriptedPrompt *m_prompt = nullptr;
    std::unique_ptr<Form1> m_window;

    QString caption(const char *name) const
    {
        return m_window->findChild<QLabel *>(QString::fromLatin1(name))->text();
    }
    QPushButton *button(const char *name) const
    {
        return m_window->findChild<QPushButton *>(QString::fromLatin1(name));
    }

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void resetShowsTheReport();
    void echoOnlyTestModeAsksForAReset();
    void cardReadingsResumeNormalMode();
    void clearEeprom_data();
    void clearEeprom();
    void recoversFromAPortWithNoDevice();
    void simulatorRefusesAClaimedPort();
    void simulatorKilledInTestModeThenRestarted();
};

void TestEndToEnd::initTestCase()
{
    QApplication::setStyle(u"Fusion"_s);
    QVERIFY(m_ports.isValid());
    QVERIFY(m_sim.start(m_ports.path(), 1));
    auto prompt = std::make_unique<ScriptedPrompt>();
    m_prompt = prompt.get();
    m_window = std::make_unique<Form1>(new SerialLink(m_ports.path()), std::move(prompt));
    m_window->show();
    QTRY_VERIFY(m_window->link().PortOpen());
}

void TestEndToEnd::cleanupTestCase()
{
    m_window.reset();
    m_sim.stop();
    QVERIFY(!QFile::exists(m_ports.filePath(u"com1"_s)));
}

void TestEndToEnd::resetShowsTheReport()
{
    m_sim.press('r');
    QTRY_COMPARE(caption("Label20"), u"BA Reset Finish"_s);
    QCOMPARE(caption("Label5"), u"1.0"_s);
    QCOMPARE(caption("Label6"), u"02"_s);
    QCOMPARE(caption("Label7"), u"V103"_s);
    QCOMPARE(caption("Label14"), u"1234"_s);
    QCOMPARE(caption("Label19"), u"0A0B"_s);
    QVERIFY(button("Command8")->isEnabled());
}

void TestEndToEnd::echoOnlyTestModeAsksForAReset()
{
    QTRY_VERIFY(button("Command8")->isEnabled());
    QTest::mouseClick(button("Command8"), Qt::LeftButton);
    QTRY_VERIFY2(m_sim.said(u"received 6E 14: enter test mode"_s), qPrintable(m_sim.output()));
    QTRY_COMPARE(m_window->text(Control::Text1), u"110\r\n20"_s);

    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QTRY_VERIFY(m_sim.said(u"received 63 63: leave test mode"_s));
    QCOMPARE(caption("Label20"), u"Please Reset BA To Resume Normal Mode"_s);
}

void TestEndToEnd::cardReadingsResumeNormalMode()
{
    QTest::mouseClick(button("Command8"), Qt::LeftButton);
    QTRY_COMPARE(m_window->text(Control::Text1), u"110\r\n20"_s);
    m_sim.press('c');
    QTRY_VERIFY(m_window->text(Control::Text1).endsWith(u"\r\n209"_s)); // last card reading, 0xD1
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QCOMPARE(caption("Label20"), u"BA Resume Normal Mode"_s);
}

void TestEndToEnd::clearEeprom_data()
{
    QTest::addColumn<bool>("ok");
    QTest::addRow("cancel") << false;
    QTest::addRow("ok") << true;
}

void TestEndToEnd::clearEeprom()
{
    QFETCH(bool, ok);
    m_prompt->answer = ok;
    const auto count = [this](const QString &line) { return int(m_sim.output().count(line)); };
    const int clears = count(u"clear EEPROM"_s);
    const int markers = count(u"received 26"_s);
    button("Command4")->click();
    // A byte sent after the command shows the line has delivered everything before it.
    QVERIFY(m_window->link().Output("&"));
    QTRY_COMPARE(count(u"received 26"_s), markers + 1);
    QCOMPARE(count(u"clear EEPROM"_s), clears + (ok ? 1 : 0));
    m_sim.press('r');
    QTRY_COMPARE(caption("Label14"), ok ? u"FFFF"_s : u"1234"_s);
}

void TestEndToEnd::recoversFromAPortWithNoDevice()
{
    auto *box = m_window->findChild<QLineEdit *>(u"Text2"_s);
    box->setText(u"2"_s); // no simulator there
    QTRY_VERIFY(!m_window->link().PortOpen());
    box->setText(u"1"_s);
    QTRY_VERIFY(m_window->link().PortOpen());
    m_window->setCaption(Control::Label20, QString());
    m_sim.press('r');
    QTRY_COMPARE(caption("Label20"), u"BA Reset Finish"_s);
}

void TestEndToEnd::simulatorRefusesAClaimedPort()
{
    SimProcess second;
    QVERIFY(!second.start(m_ports.path(), 1));
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.output().contains(u"already exists and is not ours"_s));
    QCOMPARE(second.output().count(u'\n'), 1);

    SimProcess outOfRange;
    QVERIFY(!outOfRange.start(m_ports.path(), 256));
    QVERIFY(outOfRange.waitForExit());
    QCOMPARE(outOfRange.exitCode(), 1);
    QVERIFY(outOfRange.output().contains(u"outside 1-255"_s));
    // The first simulator's link is untouched.
    QVERIFY(QFile::exists(m_ports.filePath(u"com1"_s)));
}

void TestEndToEnd::simulatorKilledInTestModeThenRestarted()
{
    QTRY_VERIFY(button("Command8")->isEnabled());
    QTest::mouseClick(button("Command8"), Qt::LeftButton);
    QTRY_COMPARE(m_window->text(Control::Text1), u"110\r\n20"_s);
    m_sim.kill();
    QTRY_VERIFY(!m_window->link().PortOpen());
    QCOMPARE(m_window->text(Control::Text1), u"110\r\n20"_s);

    // Its dangling link is stale, so a new simulator may take the port over.
    QVERIFY(m_sim.start(m_ports.path(), 1));
    QTRY_VERIFY(m_window->link().PortOpen());
    const auto leaves = [this] { return m_sim.output().count(u"received 63 63: leave test mode"_s); };
    const auto before = leaves();
    QTest::mouseClick(button("Command1"), Qt::LeftButton);
    QTRY_COMPARE(leaves(), before + 1);
    m_sim.press('r');
    QTRY_COMPARE(caption("Label20"), u"BA Reset Finish"_s);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
