#include "messageboxprompt.h"
#include "protocolfixture.h"
#include "windowfixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

namespace {
// Answers the next modal box, as a technician would, once it is up.
void answerNextBox(std::function<void(QMessageBox *)> answer)
{
    QTimer::singleShot(0, [answer] {
        QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        answer(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
    });
}
} // namespace

class TestWindowCommands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QApplication::setStyle(u"Fusion"_s); }
    void adjustmentCycleByClicking();
    void clearButtons();
    void clearEepromBox();
    void clearEepromAnswer_data();
    void clearEepromAnswer();
    void exitToolEndsTheEventLoop();
    void portBoxKeyFilter_data();
    void portBoxKeyFilter();
    void portBoxEditableAgainAfterFocusLeft();
};

void TestWindowCommands::adjustmentCycleByClicking()
{
    WindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.window));

    f.link->receive(sampleReport());
    QTRY_VERIFY(f.button("Command8")->isEnabled());
    QVERIFY(!f.button("Command1")->isEnabled());

    QTest::mouseClick(f.button("Command8"), Qt::LeftButton);
    QCOMPARE(f.link->written, QByteArray::fromHex("6E14"));
    QVERIFY(!f.button("Command8")->isEnabled());
    QVERIFY(f.button("Command1")->isEnabled());
    QCOMPARE(f.caption("Label20"), u"Please Insert WhiteCard Into BA"_s);

    f.link->receive(QByteArray::fromHex("6E14"));
    QTRY_COMPARE(f.window.text(Control::Text1), u"110\r\n20"_s);

    QTest::mouseClick(f.button("Command1"), Qt::LeftButton);
    QCOMPARE(f.link->written, QByteArray::fromHex("6E146363"));
    QVERIFY(f.button("Command8")->isEnabled());
    QVERIFY(!f.button("Command1")->isEnabled());
    QCOMPARE(f.caption("Label20"), u"Please Reset BA To Resume Normal Mode"_s);

    // A second round with card bytes in the log.
    QTest::mouseClick(f.button("Command8"), Qt::LeftButton);
    QVERIFY(f.window.text(Control::Text1).isEmpty());
    f.link->receive(QByteArray::fromHex("6E14") + QByteArray::fromHex("05"));
    QTRY_COMPARE(f.window.text(Control::Text1), u"110\r\n20\r\n5"_s);
    QTest::mouseClick(f.button("Command1"), Qt::LeftButton);
    QCOMPARE(f.caption("Label20"), u"BA Resume Normal Mode"_s);
    QCOMPARE(f.caption("Label14"), u"1234"_s);
}

void TestWindowCommands::clearButtons()
{
    WindowFixture f;
    f.window.show();
    f.link->receive(sampleReport());
    QTRY_COMPARE(f.caption("Label19"), u"0A0B"_s);

    // The log's Clear is on screen; the version frame's Clear is hidden and
    // reachable only from code.
    f.window.setText(Control::Text1, u"1\r\n2"_s);
    QTest::mouseClick(f.button("Command2"), Qt::LeftButton);
    QVERIFY(f.window.text(Control::Text1).isEmpty());
    QCOMPARE(f.caption("Label19"), u"0A0B"_s);

    f.button("Command6")->click();
    for (const char *name : {"Label5", "Label6", "Label7", "Label14", "Label19"})
        QVERIFY(f.caption(name).isEmpty());
    QCOMPARE(f.caption("Label20"), u"BA Reset Finish"_s);
    QVERIFY(f.link->written.isEmpty());
}

void TestWindowCommands::clearEepromBox()
{
    const auto box = MessageBoxPrompt::makeBox(nullptr, u"Calvarin"_s, u"Will clear ''EEPORM Data'', are you sure?"_s);
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QCOMPARE(box->windowTitle(), u"Calvarin"_s);
    QCOMPARE(box->text(), u"Will clear ''EEPORM Data'', are you sure?"_s);
    QCOMPARE(box->standardButtons(), QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box->defaultButton(), box->button(QMessageBox::Cancel));
    QCOMPARE(box->escapeButton(), box->button(QMessageBox::Cancel));
}

void TestWindowCommands::clearEepromAnswer_data()
{
    QTest::addColumn<int>("answer"); // 0 OK, 1 Cancel, 2 Escape, 3 Enter on the default
    QTest::addColumn<QByteArray>("written");
    QTest::addRow("ok") << 0 << QByteArray::fromHex("6E16");
    QTest::addRow("cancel") << 1 << QByteArray();
    QTest::addRow("closed") << 2 << QByteArray();
    QTest::addRow("enter takes the default") << 3 << QByteArray();
}

void TestWindowCommands::clearEepromAnswer()
{
    QFETCH(int, answer);
    QFETCH(QByteArray, written);
    WindowFixture f;
    f.window.show();
    int pollsWhileOpen = 0;
    QString title;
    f.link->onInput = [&] { ++pollsWhileOpen; };
    answerNextBox([&](QMessageBox *box) {
        title = box->windowTitle();
        // The timers keep running under the box.
        f.link->receive(QByteArray::fromHex("26"));
        QTRY_VERIFY(pollsWhileOpen > 0);
        switch (answer) {
        case 0: box->button(QMessageBox::Ok)->click(); break;
        case 1: box->button(QMessageBox::Cancel)->click(); break;
        case 2: QTest::keyClick(box, Qt::Key_Escape); break;
        default: QTest::keyClick(box, Qt::Key_Return); break;
        }
    });
    f.button("Command4")->click();
    QCOMPARE(f.link->written, written);
    QCOMPARE(title, u"Calvarin"_s);
}

void TestWindowCommands::exitToolEndsTheEventLoop()
{
    WindowFixture f;
    f.window.show();
    bool clicked = false;
    QTimer::singleShot(0, [&] {
        clicked = true;
        QTest::mouseClick(f.button("Command3"), Qt::LeftButton);
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    guard.start(10000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(clicked);
    QVERIFY(f.link->written.isEmpty());
}

void TestWindowCommands::portBoxKeyFilter_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("text");
    // Keys: d = digit 5, a = letter A, k = keypad 5, s = Shift held over a 5,
    // b = Backspace, x = Delete at the start, c = Ctrl held over a V.
    QTest::addRow("digit") << u"d"_s << u"15"_s;
    QTest::addRow("letter") << u"a"_s << u"1"_s;
    QTest::addRow("keypad digit") << u"k"_s << u"1"_s;
    QTest::addRow("shift and digit") << u"s"_s << u"1"_s;
    QTest::addRow("backspace") << u"db"_s << u"1"_s;
    QTest::addRow("delete") << u"dx"_s << u"5"_s;
    QTest::addRow("digit after a refused key") << u"ad"_s << u"15"_s;
}

void TestWindowCommands::portBoxKeyFilter()
{
    QFETCH(QString, keys);
    QFETCH(QString, text);
    WindowFixture f;
    f.window.show();
    auto *box = f.child<QLineEdit>("Text2");
    box->setFocus();
    box->end(false);
    for (const QChar key : keys) {
        switch (key.unicode()) {
        case u'd': QTest::keyClick(box, Qt::Key_5); break;
        case u'a': QTest::keyClick(box, Qt::Key_A); break;
        case u'k': QTest::keyClick(box, Qt::Key_5, Qt::KeypadModifier); break;
        case u'b': QTest::keyClick(box, Qt::Key_Backspace); break;
        case u'x':
            box->home(false);
            QTest::keyClick(box, Qt::Key_Delete);
            break;
        case u's':
            QTest::keyPress(box, Qt::Key_Shift);
            QTest::keyClick(box, Qt::Key_5, Qt::ShiftModifier);
            QTest::keyRelease(box, Qt::Key_Shift, Qt::ShiftModifier);
            break;
        }
    }
    QCOMPARE(box->text(), text);
    QVERIFY(!box->isReadOnly()); // every key-up leaves it editable
}

void TestWindowCommands::portBoxEditableAgainAfterFocusLeft()
{
    WindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.window));
    auto *box = f.child<QLineEdit>("Text2");
    box->setFocus();
    QTest::keyPress(box, Qt::Key_Shift);
    QVERIFY(box->isReadOnly());
    // Shift is let go over another control.
    f.log()->setFocus();
    QTest::keyRelease(f.log(), Qt::Key_Shift);
    box->setFocus();
    box->end(false);
    QTest::keyClick(box, Qt::Key_2);
    QCOMPARE(box->text(), u"12"_s);
}

QTEST_MAIN(TestWindowCommands)
#include "tst_windowcommands.moc"
