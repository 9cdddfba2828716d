#include "logbox.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
constexpr int kLargeLogCharacters = 1 << 20;
const QString kCrLf = QStringLiteral("\r\n");
const QString kLf = QStringLiteral("\n");
} // namespace

LogBox::LogBox(QPlainTextEdit *box)
    : QObject(box)
    , m_box(box)
{
    connect(m_box->document(), &QTextDocument::contentsChange, this, &LogBox::onContentsChange);
    connect(m_box, &QPlainTextEdit::textChanged, this, &LogBox::followLastLine);
}

QString LogBox::text() const
{
    // Every line break the box can hold (block breaks, U+2028) reads as one LF here.
    return m_box->toPlainText().replace(kLf, kCrLf) + m_pending;
}

qsizetype LogBox::textLength() const
{
    const QTextDocument *document = m_box->document();
    // characterCount() has one break per block, the last one included; each
    // break and each U+2028 reads as two characters.
    return document->characterCount() - 1 + document->blockCount() - 1 + lineSeparators()
            + m_pending.size();
}

void LogBox::setText(const QString &text)
{
    m_pending.clear();
    [[maybe_unused]] const bool wasLarge = m_box->document()->characterCount() > kLargeLogCharacters;
    m_ownEdit = true;
    m_box->setPlainText(QString(text).replace(kCrLf, kLf));
    m_ownEdit = false;
#ifdef __GLIBC__
    // A shift's log is millions of small blocks; hand their memory back.
    if (wasLarge)
        ::malloc_trim(0);
#endif
    m_lineSeparators = text.count(QChar::LineSeparator);
    m_separatorsKnown = true;
    m_recycledUpTo = 1;
}

void LogBox::append(QStringView text)
{
    // Appends outside a poll still show, at the next turn of the event loop.
    if (m_pending.isEmpty())
        QMetaObject::invokeMethod(this, &LogBox::flush, Qt::QueuedConnection);
    m_pending += text;
}

void LogBox::flush()
{
    if (m_pending.isEmpty())
        return;
    const QString pending = std::exchange(m_pending, {});
    QTextDocument *document = m_box->document();
    int lines = int(document->lastBlock().text().count(QChar::LineSeparator)) + 1;

    QString chunk;
    chunk.reserve(pending.size());
    qsizetype separators = pending.count(QChar::LineSeparator);
    for (qsizetype from = 0;;) {
        const qsizetype crlf = pending.indexOf(kCrLf, from);
        chunk += QStringView(pending).sliced(from, (crlf < 0 ? pending.size() : crlf) - from);
        if (crlf < 0)
            break;
        if (lines < kLinesPerBlock) {
            chunk += QChar::LineSeparator;
            ++separators;
            ++lines;
        } else {
            chunk += u'\n'; // a new block
            lines = 1;
        }
        from = crlf + 2;
    }

    QTextCursor cursor(document);
    m_ownEdit = true;
    // One edit: the layout and the change handler run once per poll, and no
    // block is laid out while the edit lasts.
    cursor.beginEditBlock();
    recycleLaidOutBlocks(cursor);
    // Not movePosition(): it lays out the block the cursor leaves.
    cursor.setPosition(document->characterCount() - 1);
    cursor.insertText(chunk);
    cursor.endEditBlock();
    m_ownEdit = false;
    m_lineSeparators += separators;
}

void LogBox::recycleLaidOutBlocks(QTextCursor &cursor)
{
    // A block the box has laid out keeps a record of every line in it for as
    // long as the block exists, which costs far more than the line's text.
    // Out-of-view blocks are put back as fresh blocks that keep only their
    // line count; the box lays one out again if the technician scrolls to it.
    QTextDocument *document = m_box->document();
    const int last = document->blockCount() - kBlocksKeptLaidOut;
    // The technician may have deleted blocks since.
    m_recycledUpTo = std::clamp(m_recycledUpTo, 1, std::max(1, last));
    for (int number = m_recycledUpTo; number < last; ++number) {
        const QTextBlock block = document->findBlockByNumber(number);
        const QString text = block.text();
        // Replacing the break before the block gives it new block data.
        cursor.setPosition(block.position() - 1);
        cursor.setPosition(block.position() + block.length() - 1, QTextCursor::KeepAnchor);
        cursor.insertText(u'\n' + text);
        document->findBlockByNumber(number).setLineCount(int(text.count(QChar::LineSeparator)) + 1);
    }
    m_recycledUpTo = std::max(m_recycledUpTo, last);
}

void LogBox::onContentsChange(int /*position*/, int removed, int added)
{
    // The technician's typing, pasting or deleting may add or take separators.
    if (!m_ownEdit && (removed > 0 || added > 0))
        m_separatorsKnown = false;
}

qsizetype LogBox::lineSeparators() const
{
    if (!m_separatorsKnown) {
        m_lineSeparators = 0;
        for (QTextBlock block = m_box->document()->begin(); block.isValid(); block = block.next())
            m_lineSeparators += block.text().count(QChar::LineSeparator);
        m_separatorsKnown = true;
    }
    return m_lineSeparators;
}

void LogBox::followLastLine()
{
    QTextCursor cursor = m_box->textCursor();
    cursor.movePosition(QTextCursor::End);
    m_box->setTextCursor(cursor);
    m_box->ensureCursorVisible();
}
