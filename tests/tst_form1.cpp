#include "protocolfixture.h"
#include "windowfixture.h"

#include "logbox.h"

#include <QAccessible>
#include <QApplication>
#include <functional>
#include <QClipboard>
#include <QGroupBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;

class TestForm1 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void controlsMatchTheDesign_data();
    void controlsMatchTheDesign();
    void colours_data();
    void colours();
    void topGridSharesBorderLines();
    void startupState();
    void tabOrderAndInitialFocus();
    void reportArrivesOnTimer1();
    void logKeepsCrLfSemantics();
    void caretFollowsTheLastLine();
    void logLengthMatchesItsText_data();
    void logLengthMatchesItsText();
    void logAcrossBlockBoundaries_data();
    void logAcrossBlockBoundaries();
    void portBoxFollowsOnTimer2();
    void accessibleNamesTellTheTruth();
};

void TestForm1::initTestCase()
{
    QApplication::setStyle(u"Fusion"_s);
}

void TestForm1::controlsMatchTheDesign_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry"); // pixels at 15 twips each
    QTest::addColumn<qreal>("points");   // 0: the platform default font
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("enabled");

    const auto row = [](const char *name, const char *cls, const char *parent, const char *caption, QRect geometry,
                        qreal points, bool visible = true, bool enabled = true) {
        QTest::newRow(name) << QString::fromLatin1(cls) << QString::fromLatin1(parent) << QString::fromLatin1(caption)
                            << geometry << points << visible << enabled;
    };
    row("Frame2", "QGroupBox", "Form1", "Com Port", {8, 16, 145, 49}, 9);
    row("Label21", "QLabel", "Frame2", "COM PORT", {8, 16, 81, 25}, 12);
    row("Text2", "QLineEdit", "Frame2", "1", {96, 16, 41, 25}, 0);
    row("Option1", "QRadioButton", "Frame2", "Com1", {8, 16, 65, 17}, 12, false);
    row("Option2", "QRadioButton", "Frame2", "Com2", {72, 16, 65, 17}, 12, false);
    row("Frame6", "QGroupBox", "Form1", "Test Mode", {8, 72, 145, 129}, 11.25);
    row("Command8", "QPushButton", "Frame6", "VR Adjust", {24, 24, 97, 41}, 11.25, true, false);
    row("Command1", "QPushButton", "Frame6", "Exit", {24, 72, 97, 41}, 11.25, true, false);
    row("Label20", "QLabel", "Form1", "Please Reset BA", {8, 216, 145, 73}, 14.25);
    row("Frame4", "QGroupBox", "Form1", "Exit Tool", {8, 304, 145, 73}, 9);
    row("Command3", "QPushButton", "Frame4", "Exit", {16, 24, 113, 41}, 11.25);
    row("Frame1", "QGroupBox", "Form1", "Software Version", {160, 16, 313, 361}, 9);
    row("Label1", "QLabel", "Frame1", "Ver", {16, 48, 49, 25}, 14.25);
    row("Label2", "QLabel", "Frame1", "System", {64, 24, 73, 25}, 14.25);
    row("Label3", "QLabel", "Frame1", "Device", {136, 24, 73, 25}, 14.25);
    row("Label4", "QLabel", "Frame1", "Validate", {208, 24, 89, 25}, 14.25);
    row("Label5", "QLabel", "Frame1", "", {64, 48, 73, 25}, 14.25);
    row("Label6", "QLabel", "Frame1", "", {136, 48, 73, 25}, 14.25);
    row("Label7", "QLabel", "Frame1", "", {208, 48, 89, 25}, 14.25);
    const char *rows[] = {"System", "Device", "Validate", "All Program", "All ROM", "User regulation"};
    for (int i = 0; i < 6; ++i) {
        const QByteArray name = "Label" + QByteArray::number(8 + i);
        const QByteArray value = "Label" + QByteArray::number(14 + i);
        row(name.constData(), "QLabel", "Frame1", rows[i], {16, 96 + 32 * i, 137, 25}, 14.25);
        row(value.constData(), "QLabel", "Frame1", "", {160, 96 + 32 * i, 137, 25}, 14.25);
    }
    row("Command6", "QPushButton", "Frame1", "Clear", {32, 304, 105, 41}, 11.25, false);
    row("Command4", "QPushButton", "Frame1", "Clear EEPORM", {176, 304, 105, 41}, 11.25, false);
    row("Frame3", "QGroupBox", "Form1", "Rs232 Data", {480, 16, 177, 361}, 9);
    row("Text1", "QPlainTextEdit", "Frame3", "", {8, 16, 161, 265}, 0);
    row("Command2", "QPushButton", "Frame3", "Clear", {40, 304, 105, 41}, 11.25);
}

void TestForm1::controlsMatchTheDesign()
{
    QFETCH(QString, className);
    QFETCH(QString, parent);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    QFETCH(qreal, points);
    QFETCH(bool, visible);
    QFETCH(bool, enabled);

    WindowFixture f;
    f.window.show();
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QWidget *widget = f.child(QTest::currentDataTag());
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->isVisible(), visible);
    QCOMPARE(widget->isEnabled(), enabled);

    QString text;
    if (auto *label = qobject_cast<QLabel *>(widget))
        text = label->text();
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        text = button->text();
    else if (auto *frame = qobject_cast<QGroupBox *>(widget))
        text = frame->title();
    else if (auto *line = qobject_cast<QLineEdit *>(widget))
        text = line->text();
    else if (auto *log = qobject_cast<QPlainTextEdit *>(widget))
        text = log->toPlainText();
    QCOMPARE(text, caption);
    if (!caption.isEmpty() && !qobject_cast<QLineEdit *>(widget))
        QCOMPARE(QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name), caption);

    if (points > 0) {
        QCOMPARE(widget->font().family(), u"Times New Roman"_s);
        QCOMPARE(widget->font().pointSizeF(), points);
    } else {
        QCOMPARE(widget->font(), QApplication::font());
    }
}

void TestForm1::colours_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPalette::ColorRole>("groundRole");
    QTest::addColumn<QColor>("ground");
    QTest::addColumn<QColor>("text");
    const QPalette app = QApplication::palette();
    const QColor black = Qt::black, white = Qt::white, yellow = QColor(0xFF, 0xFF, 0xC0);
    QTest::newRow("window") << u"Form1"_s << QPalette::Window << yellow << app.color(QPalette::WindowText);
    QTest::newRow("frame") << u"Frame1"_s << QPalette::Window << black << white;
    QTest::newRow("status line") << u"Label20"_s << QPalette::Window << yellow << QColor(Qt::red);
    QTest::newRow("value cell") << u"Label14"_s << QPalette::Window << black << white;
    QTest::newRow("button-text ground") << u"Label2"_s << QPalette::Window << app.color(QPalette::ButtonText) << white;
    QTest::newRow("menu-text ground") << u"Label21"_s << QPalette::Window << app.color(QPalette::WindowText)
                                      << app.color(QPalette::HighlightedText);
    QTest::newRow("log") << u"Text1"_s << QPalette::Base << black << white;
}

void TestForm1::colours()
{
    QFETCH(QString, name);
    QFETCH(QPalette::ColorRole, groundRole);
    QFETCH(QColor, ground);
    QFETCH(QColor, text);
    WindowFixture f;
    QWidget *widget = name == u"Form1"_s ? &f.window : f.window.findChild<QWidget *>(name);
    const QPalette::ColorRole textRole = groundRole == QPalette::Base ? QPalette::Text : QPalette::WindowText;
    QCOMPARE(widget->palette().color(groundRole), ground);
    if (name != u"Form1"_s)
        QCOMPARE(widget->palette().color(textRole), text);
}

void TestForm1::topGridSharesBorderLines()
{
    WindowFixture f;
    const auto *ver = f.child<QLabel>("Label1");
    const auto *system = f.child<QLabel>("Label2");
    const auto *version = f.child<QLabel>("Label5");
    QCOMPARE(ver->geometry().right(), version->geometry().left());
    QCOMPARE(system->geometry().bottom(), version->geometry().top());
    for (const char *name : {"Label1", "Label5", "Label14", "Label19"})
        QCOMPARE(f.child<QLabel>(name)->frameShape(), QFrame::Box);
    QCOMPARE(f.child<QLabel>("Label20")->frameShape(), QFrame::NoFrame);
    QVERIFY(ver->alignment() & Qt::AlignLeft);
    QVERIFY(version->alignment() & Qt::AlignHCenter);
}

void TestForm1::startupState()
{
    WindowFixture f;
    QCOMPARE(f.window.windowTitle(), u"Calvarin V1.1.1"_s);
    QCOMPARE(f.caption("Label20"), u"Please Reset BA"_s);
    QVERIFY(!f.protocol().state().TestMode);
    QVERIFY(f.child<QRadioButton>("Option1")->isChecked());
    QVERIFY(!f.window.windowIcon().isNull());
    QCOMPARE(f.window.size(), QSize(666, 392));
    QCOMPARE(f.link->objectName(), u"MSComm1"_s);
    QCOMPARE(f.link->parent(), &f.window);
    const auto *timer1 = f.window.findChild<QTimer *>(u"Timer1"_s);
    const auto *timer2 = f.window.findChild<QTimer *>(u"Timer2"_s);
    QVERIFY(timer1 && timer1->isActive());
    QVERIFY(timer2 && timer2->isActive());
    QCOMPARE(timer1->interval(), 100);
    QCOMPARE(timer2->interval(), 500);
}

void TestForm1::tabOrderAndInitialFocus()
{
    WindowFixture f;
    f.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.window));
    QCOMPARE(QApplication::focusWidget(), f.log());

    QStringList chain;
    QWidget *w = f.child("Option1");
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName();
        w = w->nextInFocusChain();
    } while (w != f.child("Option1") && chain.size() < 20);
    QCOMPARE(chain,
             (QStringList{u"Option1"_s, u"Option2"_s, u"Command6"_s, u"Command8"_s, u"Text1"_s, u"Command1"_s,
                          u"Command2"_s, u"Command3"_s, u"Command4"_s, u"Text2"_s}));

    // Hidden and disabled controls are skipped: from the log, Tab reaches the log's Clear.
    QTest::keyClick(f.log(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), f.button("Command2"));
}

void TestForm1::reportArrivesOnTimer1()
{
    WindowFixture f;
    f.link->receive(sampleReport());
    QTRY_COMPARE(f.caption("Label19"), u"0A0B"_s);
    // Every value field by its own name: a control table row that fills
    // another's member shows up here.
    const std::pair<const char *, const char *> fields[] = {
            {"Label5", "1.0"},   {"Label6", "02"},    {"Label7", "V103"},  {"Label14", "1234"}, {"Label15", "5678"},
            {"Label16", "9ABC"}, {"Label17", "DEF0"}, {"Label18", "0102"}, {"Label19", "0A0B"}};
    for (const auto &[name, value] : fields)
        QCOMPARE(f.caption(name), QString::fromLatin1(value));
    QCOMPARE(f.caption("Label20"), u"BA Reset Finish"_s);
    QVERIFY(f.button("Command8")->isEnabled());
}

void TestForm1::logKeepsCrLfSemantics()
{
    WindowFixture f;
    f.window.show();
    f.protocol().EnterTestMode();
    f.link->receive(QByteArray::fromHex("6E14"));
    f.window.Timer1Tick();
    QCOMPARE(f.window.text(Control::Text1), u"110\r\n20"_s);
    QCOMPARE(f.log()->toPlainText(), u"110\n20"_s);

    // Typing joins the log text: Enter is a CR LF like any other line break.
    QTest::keyClick(f.log(), Qt::Key_Return);
    QTest::keyClicks(f.log(), u"ab"_s);
    QCOMPARE(f.window.text(Control::Text1), u"110\r\n20\r\nab"_s);
    QCOMPARE(f.window.textLength(Control::Text1), f.window.text(Control::Text1).size());

    f.link->receive(QByteArray::fromHex("05"));
    f.window.Timer1Tick();
    QCOMPARE(f.window.text(Control::Text1), u"110\r\n20\r\nab\r\n5"_s);
    QCOMPARE(f.window.textLength(Control::Text1), 14);

    f.window.setText(Control::Text1, u"1\r\n2"_s);
    QCOMPARE(f.log()->blockCount(), 2);
    QCOMPARE(f.window.text(Control::Text1), u"1\r\n2"_s);
}

void TestForm1::caretFollowsTheLastLine()
{
    WindowFixture f;
    f.window.show();
    f.protocol().EnterTestMode();
    QByteArray many;
    for (int i = 0; i < 500; ++i)
        many += char(i);
    f.link->receive(many);
    f.window.Timer1Tick();
    QCOMPARE(f.log()->toPlainText().count(u'\n'), 499);
    QCOMPARE(f.log()->textCursor().position(), f.log()->document()->characterCount() - 1);
    QScrollBar *bar = f.log()->verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());

    // Typing in the middle: the caret goes back to the end after the change.
    QTextCursor start = f.log()->textCursor();
    start.movePosition(QTextCursor::Start);
    f.log()->setTextCursor(start);
    QTest::keyClicks(f.log(), u"x"_s);
    QVERIFY(f.window.text(Control::Text1).startsWith(u"x0\r\n1"_s));
    QCOMPARE(f.log()->textCursor().position(), f.log()->document()->characterCount() - 1);
}

void TestForm1::logLengthMatchesItsText_data()
{
    QTest::addColumn<int>("logged");     // bytes 0, 1, 2... logged first
    QTest::addColumn<QString>("typed");  // then typed at the end; '|' is Shift+Enter
    QTest::addColumn<QString>("pasted"); // then pasted in the middle (or at the end of an empty box)
    QTest::addColumn<QString>("expected");
    const QString sep(QChar::LineSeparator), para(QChar::ParagraphSeparator);
    QTest::addRow("Shift+Enter between the echo") << 0 << u"110|20"_s << QString() << u"110\r\n20"_s;
    QTest::addRow("pasted LF") << 0 << QString() << u"110\n20"_s << u"110\r\n20"_s;
    QTest::addRow("pasted CR") << 0 << QString() << u"110\r20"_s << u"110\r\n20"_s;
    QTest::addRow("pasted CR LF") << 0 << QString() << u"110\r\n20"_s << u"110\r\n20"_s;
    QTest::addRow("pasted U+2028") << 0 << QString() << u"110"_s + sep + u"20"_s << u"110\r\n20"_s;
    QTest::addRow("pasted U+2029") << 0 << QString() << u"110"_s + para + u"20"_s << u"110\r\n20"_s;
    QTest::addRow("trailing Shift+Enter") << 0 << u"110|20|"_s << QString() << u"110\r\n20\r\n"_s;
    QString logged;
    for (int i = 0; i < 300; ++i)
        logged += (i ? u"\r\n"_s : QString()) + QString::number(i % 256);
    QTest::addRow("typed into a long log") << 300 << u"7|8"_s << QString() << logged + u"7\r\n8"_s;
    QTest::addRow("pasted into the middle of a long log")
            << 300 << QString() << u"x"_s + sep + u"y\n"_s
            << QString(logged).insert(logged.indexOf(u"\r\n150\r\n"_s) + 2, u"x\r\ny\r\n"_s);
}

void TestForm1::logLengthMatchesItsText()
{
    QFETCH(int, logged);
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QString, expected);
    WindowFixture f;
    f.window.show();
    f.protocol().EnterTestMode();
    QByteArray bytes;
    for (int i = 0; i < logged; ++i)
        bytes += char(i);
    f.link->receive(bytes);
    f.window.Timer1Tick();

    const QStringList pieces = typed.split(u'|');
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0)
            QTest::keyClick(f.log(), Qt::Key_Return, Qt::ShiftModifier);
        QTest::keyClicks(f.log(), pieces[i]);
    }
    if (!pasted.isEmpty()) {
        QTextCursor middle = f.log()->textCursor();
        middle.setPosition(int(f.log()->toPlainText().indexOf(u"\n150\n"_s)) + 1);
        f.log()->setTextCursor(middle);
        QApplication::clipboard()->setText(pasted);
        f.log()->paste();
    }
    QCOMPARE(f.window.text(Control::Text1), expected);
    QCOMPARE(f.window.textLength(Control::Text1), expected.size());

    f.protocol().LeaveTestMode();
    QCOMPARE(f.caption("Label20"),
             expected == u"110\r\n20"_s ? u"Please Reset BA To Resume Normal Mode"_s : u"BA Resume Normal Mode"_s);
    f.protocol().ClearLog();
    QCOMPARE(f.window.textLength(Control::Text1), 0);
}

void TestForm1::logAcrossBlockBoundaries_data()
{
    QTest::addColumn<QList<int>>("polls"); // bytes per poll
    const int block = LogBox::kLinesPerBlock;
    QTest::addRow("a block filled exactly") << QList<int>{block};
    QTest::addRow("a block filling up mid-poll") << QList<int>{block - 1, 3};
    QTest::addRow("one byte a poll across a block") << QList<int>(block + 2, 1);
    QTest::addRow("a burst of several blocks") << QList<int>{3, 3 * block + 5, 1};
}

void TestForm1::logAcrossBlockBoundaries()
{
    QFETCH(QList<int>, polls);
    WindowFixture f;
    f.window.show();
    f.protocol().EnterTestMode();
    QStringList lines;
    for (const int count : std::as_const(polls)) {
        QByteArray bytes;
        for (int i = 0; i < count; ++i, lines << QString::number(lines.size() % 256))
            bytes += char(lines.size() % 256);
        f.link->receive(bytes);
        f.window.Timer1Tick();
        QCOMPARE(f.window.text(Control::Text1), lines.join(u"\r\n"_s));
        QCOMPARE(f.window.textLength(Control::Text1), lines.join(u"\r\n"_s).size());
    }
    // Copy gives one value per line.
    f.log()->selectAll();
    f.log()->copy();
    QCOMPARE(QApplication::clipboard()->text(), lines.join(u'\n'));
}

void TestForm1::portBoxFollowsOnTimer2()
{
    WindowFixture f;
    f.child<QLineEdit>("Text2")->setText(u"7"_s);
    QTRY_VERIFY(f.link->opened.contains(7));
    QVERIFY(f.link->PortOpen());
}

void TestForm1::accessibleNamesTellTheTruth()
{
    WindowFixture f;
    f.window.show();
    struct Spoken
    {
        const char *control;
        const char *description;
    };
    const Spoken controls[] = {
            {"Label5", "System version"},
            {"Label6", "Device version"},
            {"Label7", "Validate version"},
            {"Label14", "System value"},
            {"Label15", "Device value"},
            {"Label16", "Validate value"},
            {"Label17", "All Program value"},
            {"Label18", "All ROM value"},
            {"Label19", "User regulation value"},
            {"Label20", "Status"},
            {"Command8", ""},
            {"Command1", "Leave test mode"},
            {"Command3", "End the program"},
            {"Command2", ""},
            {"Text2", ""},
            {"Text1", ""},
    };
    const QHash<QString, QString> fixedNames = {
            {u"Command8"_s, u"VR Adjust"_s}, {u"Command1"_s, u"Exit"_s},  {u"Command3"_s, u"Exit"_s},
            {u"Command2"_s, u"Clear"_s},     {u"Text2"_s, u"COM PORT"_s}, {u"Text1"_s, u"Rs232 Data"_s},
    };
    const std::pair<const char *, std::function<void()>> phases[] = {
            {"start-up", [] {}},
            {"after a report",
             [&] {
                 f.link->receive(sampleReport());
                 f.window.Timer1Tick();
             }},
            {"after VR Adjust", [&] { f.button("Command8")->click(); }},
            {"after Exit", [&] { f.button("Command1")->click(); }},
            {"after Clear", [&] { f.button("Command6")->click(); }},
    };
    for (const auto &[phase, act] : phases) {
        act();
        for (const Spoken &c : controls) {
            QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(f.child(c.control));
            const QString name = spoken->text(QAccessible::Name);
            const QString description = spoken->text(QAccessible::Description);
            qInfo("%-16s %-9s name \"%s\", description \"%s\"", phase, c.control, qPrintable(name),
                  qPrintable(description));
            const QString control = QString::fromLatin1(c.control);
            QCOMPARE(name, fixedNames.contains(control) ? fixedNames[control] : f.caption(c.control));
            QCOMPARE(description, QString::fromLatin1(c.description));
        }
    }
    QCOMPARE(f.caption("Label20"), u"BA Resume Normal Mode"_s);
    QCOMPARE(f.caption("Label14"), QString());
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
