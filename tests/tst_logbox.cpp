#include "logbox.h"
#include "resident.h"
#include "windowfixture.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>

using namespace Qt::Literals::StringLiterals;

// The test-mode log at a shift's length, under the technician's hands: typing,
// pasting and scrolling while the BA's lines arrive.
class TestLogBox : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void aLongLogUnderHand_data();
    void aLongLogUnderHand();
};

namespace {
constexpr int kLines = 1'000'000;

void logBytes(WindowFixture &f, QString &expected, const QByteArray &bytes)
{
    for (const char byte : bytes)
        expected += (expected.isEmpty() ? QString() : u"\r\n"_s) + QString::number(quint8(byte));
    f.link->receive(bytes);
    f.window.Timer1Tick();
}
} // namespace

void TestLogBox::initTestCase()
{
    QApplication::setStyle(u"Fusion"_s);
}

void TestLogBox::aLongLogUnderHand_data()
{
    QTest::addColumn<QString>("hand");
    QTest::addColumn<int>("lines");
    QTest::newRow("typing at the end while lines arrive") << u"type"_s << kLines;
    QTest::newRow("100,000 mixed line breaks pasted into the middle") << u"paste"_s << kLines;
    QTest::newRow("scrolled to the top and back") << u"scroll"_s << kLines;
    QTest::newRow("1,000 lines, scrolled") << u"scroll"_s << 1'000;
    QTest::newRow("20,000 lines, scrolled") << u"scroll"_s << 20'000;
}

void TestLogBox::aLongLogUnderHand()
{
    QFETCH(QString, hand);
    QFETCH(int, lines);
    WindowFixture f;
    f.window.show();
    f.protocol().EnterTestMode();
    QString expected;
    QByteArray backlog(lines, 0);
    for (int i = 0; i < lines; ++i)
        backlog[i] = char(i & 0xFF);
    logBytes(f, expected, backlog);
    QPlainTextEdit *box = f.log();
    box->setFocus();
    // The scroll bar steps by lines: its range and one page cover the log.
    QScrollBar *bar = box->verticalScrollBar();
    // The document's count too: the bar takes it at its next change.
    const auto coversEveryLine = [&] {
        QCoreApplication::processEvents();
        const qsizetype logged = expected.count(u"\r\n"_s) + 1;
        return qAbs(bar->maximum() + bar->pageStep() - logged) <= 1 && box->document()->lineCount() == logged;
    };
    QVERIFY2(coversEveryLine(), qPrintable(u"maximum %1, page %2"_s.arg(bar->maximum()).arg(bar->pageStep())));

    if (hand == u"type"_s) {
        for (int key = 0; key < 10; ++key) {
            QTest::keyClick(box, Qt::Key_X);
            expected += u'x';
            logBytes(f, expected, QByteArray(1, char(key)));
            QCOMPARE(f.window.textLength(Control::Text1), expected.size());
        }
    } else if (hand == u"paste"_s) {
        const QString breaks[] = {u"\r\n"_s, u"\n"_s, u"\r"_s, QString(QChar::LineSeparator),
                                  QString(QChar::ParagraphSeparator)};
        QString pasted, pastedCrLf;
        for (int line = 0; line < 100'000; ++line) {
            pasted += u"p"_s + QString::number(line) + breaks[line % 5];
            pastedCrLf += u"p"_s + QString::number(line) + u"\r\n"_s;
        }
        // At the start of a block in the middle; in the CR LF text every break before it counts twice.
        QTextCursor middle = box->textCursor();
        middle.setPosition(box->document()->findBlockByNumber(box->document()->blockCount() / 2).position());
        box->setTextCursor(middle);
        const QString before = box->toPlainText().left(middle.position());
        const qsizetype cursorAt = before.size() + before.count(u'\n');
        QApplication::clipboard()->setText(pasted);
        const int blocks = box->document()->blockCount();
        box->paste();
        expected.insert(cursorAt, pastedCrLf);
        logBytes(f, expected, QByteArray::fromHex("00010203040506070809"));
        // Joined as logged lines are, not a block a line as typed text would be.
        QVERIFY2(box->document()->blockCount() - blocks <= 100'000 / LogBox::kLinesPerBlock + 2,
                 qPrintable(u"%1 blocks added"_s.arg(box->document()->blockCount() - blocks)));
    } else {
        [[maybe_unused]] const qint64 before = residentKiB();
        for (int value = 0; value <= bar->maximum(); value += 1000) {
            bar->setValue(value);
            QCoreApplication::processEvents();
        }
        bar->setValue(bar->maximum());
        QVERIFY2(coversEveryLine(), qPrintable(u"%1 lines after a scroll through"_s.arg(box->document()->lineCount())));
#ifndef __SANITIZE_ADDRESS__ // ASan's quarantine holds freed memory on purpose
        QVERIFY2(residentKiB() - before < 8 * 1024,
                 qPrintable(u"viewing the log grew RSS by %1 KiB"_s.arg(residentKiB() - before)));
#endif
        // Copied, the log gives one value per line.
        box->selectAll();
        box->copy();
        QCOMPARE(QApplication::clipboard()->text(), QString(expected).replace(u"\r\n"_s, u"\n"_s));
    }
    QCOMPARE(f.window.text(Control::Text1), expected);
    QCOMPARE(f.window.textLength(Control::Text1), expected.size());
    QVERIFY2(coversEveryLine(), qPrintable(u"maximum %1, page %2"_s.arg(bar->maximum()).arg(bar->pageStep())));
    f.protocol().LeaveTestMode();
    QCOMPARE(f.caption("Label20"), u"BA Resume Normal Mode"_s);
}

QTEST_MAIN(TestLogBox)
#include "tst_logbox.moc"
