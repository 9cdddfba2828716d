#include "logbox.h"

#include <QAbstractTextDocumentLayout>
#include <QMimeData>
#include <QScrollBar>
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

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator;
}

qint32 separatorsIn(const QTextBlock &block)
{
    return qint32(block.text().count(QChar::LineSeparator));
}

// Lines joined into log blocks: every kind of line break (CR LF as one)
// becomes U+2028 inside a block, and a block break after kLinesPerBlock
// lines. `counts` holds the separators that go into the block being
// continued, which has `lines` lines already, then one entry per new block.
struct Joined
{
    QString text;
    std::vector<qint32> counts{0};
};

Joined joinLines(QStringView text, int lines)
{
    Joined joined;
    joined.text.reserve(text.size());
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (!isLineBreak(text[i]))
            continue;
        joined.text += text.sliced(from, i - from);
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n')
            ++i;
        from = i + 1;
        if (lines < LogBox::kLinesPerBlock) {
            joined.text += QChar::LineSeparator;
            ++joined.counts.back();
            ++lines;
        } else {
            joined.text += u'\n'; // a new block
            joined.counts.push_back(0);
            lines = 1;
        }
    }
    joined.text += text.sliced(from);
    return joined;
}
} // namespace

void LogEdit::layOutPlainly()
{
    QFont font = document()->defaultFont();
    font.setStyleStrategy(QFont::PreferNoShaping);
    document()->setDefaultFont(font);
}

std::pair<int, int> LogEdit::shownBlocks() const
{
    QTextBlock block = firstVisibleBlock();
    const int first = block.blockNumber();
    qreal top = blockBoundingGeometry(block).translated(contentOffset()).top();
    while (block.isValid() && block.next().isValid()
           && top + blockBoundingRect(block).height() < viewport()->height()) {
        top += blockBoundingRect(block).height();
        block = block.next();
    }
    return {first, block.blockNumber()};
}

void LogEdit::changeEvent(QEvent *event)
{
    QPlainTextEdit::changeEvent(event); // a new font reaches the text here
    if (event->type() == QEvent::FontChange)
        layOutPlainly();
}

void LogEdit::insertFromMimeData(const QMimeData *source)
{
    if (pasted && source && source->hasText())
        pasted(source->text());
    else
        QPlainTextEdit::insertFromMimeData(source);
}

LogBox::LogBox(LogEdit *box)
    : QObject(box)
    , m_box(box)
{
    m_box->pasted = [this](const QString &text) { insertPasted(text); };
    m_box->layOutPlainly();
    connect(m_box->document(), &QTextDocument::contentsChange, this, &LogBox::onContentsChange);
    connect(m_box, &QPlainTextEdit::textChanged, this, &LogBox::followLastLine);
    connect(m_box->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        const auto [first, last] = m_box->shownBlocks();
        for (int number = first; number <= last; ++number)
            m_shown.push_back(number);
        // After the view has painted, and outside the scroll's own handling.
        if (!std::exchange(m_leftBlocksDue, true))
            QMetaObject::invokeMethod(this, &LogBox::recycleLeftBlocks, Qt::QueuedConnection);
    });
    recountAll();
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
    return document->characterCount() - 1 + document->blockCount() - 1 + m_separators + m_pending.size();
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
    recountAll();
    m_recycledUpTo = 1;
    m_shown.clear();
    countLines(0, m_box->document()->blockCount() - 1);
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
    const Joined joined = joinLines(std::exchange(m_pending, {}), m_blockSeparators.back() + 1);

    QTextDocument *document = m_box->document();
    const int first = std::min(m_recycledUpTo, document->blockCount() - 1);
    QTextCursor cursor(document);
    m_ownEdit = true;
    // One edit: the layout and the change handler run once per poll, and no
    // block is laid out while the edit lasts.
    cursor.beginEditBlock();
    recycleLaidOutBlocks(cursor);
    // Not movePosition(): it lays out the block the cursor leaves.
    cursor.setPosition(document->characterCount() - 1);
    cursor.insertText(joined.text);
    cursor.endEditBlock();
    m_ownEdit = false;

    m_blockSeparators.back() += joined.counts.front();
    m_blockSeparators.insert(m_blockSeparators.end(), joined.counts.begin() + 1, joined.counts.end());
    for (const qint32 count : joined.counts)
        m_separators += count;
    countLines(first, document->blockCount() - 1);
}

void LogBox::insertPasted(const QString &text)
{
    QTextCursor cursor = m_box->textCursor();
    // The pasted lines continue the block they land in.
    const int block = m_box->document()->findBlock(cursor.selectionStart()).blockNumber();
    cursor.insertText(joinLines(text, m_blockSeparators[size_t(block)] + 1).text);
}

void LogBox::recycleLaidOutBlocks(QTextCursor &cursor)
{
    // A block the box has laid out keeps a record of every line in it for as
    // long as the block exists, which costs far more than the line's text.
    // Out-of-view blocks are put back as fresh blocks that keep only their
    // line count; the box lays one out again if the technician scrolls to it.
    QTextDocument *document = m_box->document();
    const int last = document->blockCount() - kBlocksKeptLaidOut;
    m_recycledUpTo = std::clamp(m_recycledUpTo, 1, std::max(1, last));
    for (int number = m_recycledUpTo; number < last; ++number)
        recycle(cursor, number);
    m_recycledUpTo = std::max(m_recycledUpTo, last);
}

void LogBox::recycle(QTextCursor &cursor, int number)
{
    // Replacing the break before the block gives it new block data. Only the
    // break: text written again would leave its old copy in the document's
    // buffer until the document next compacts it.
    const QTextBlock block = m_box->document()->findBlockByNumber(number);
    cursor.setPosition(block.position() - 1);
    cursor.setPosition(block.position(), QTextCursor::KeepAnchor);
    cursor.insertText(QStringLiteral("\n"));
}

void LogBox::recycleLeftBlocks()
{
    m_leftBlocksDue = false;
    const auto [first, last] = m_box->shownBlocks();
    // The last blocks hold what the box shows when it follows its last line.
    const int end = m_box->document()->blockCount() - kBlocksKeptLaidOut;
    std::sort(m_shown.begin(), m_shown.end());
    m_shown.erase(std::unique(m_shown.begin(), m_shown.end()), m_shown.end());
    std::vector<int> left;
    std::erase_if(m_shown, [&](int number) {
        const bool gone = (number < first || number > last) && number >= 1 && number < end;
        if (gone)
            left.push_back(number);
        return gone || number >= end || number < 1;
    });
    if (left.empty())
        return;
    QTextCursor cursor(m_box->document());
    // The view stays where the technician put it.
    m_ownEdit = m_keepView = true;
    cursor.beginEditBlock();
    for (const int number : left)
        recycle(cursor, number);
    cursor.endEditBlock();
    m_ownEdit = m_keepView = false;
    for (const int number : left)
        countLines(number, number);
}

void LogBox::onContentsChange(int position, int /*removed*/, int added)
{
    if (m_ownEdit)
        return;
    // The technician typed, pasted, dropped or deleted. The blocks before the
    // change and after it are as they were; recount those in between.
    const QTextDocument *document = m_box->document();
    const int grown = document->blockCount() - int(m_blockSeparators.size());
    const int first = document->findBlock(position).blockNumber();
    const int end = std::min(position + added, document->characterCount() - 1);
    const int lastNow = document->findBlock(end).blockNumber();
    const int lastBefore = lastNow - grown;

    const auto begin = m_blockSeparators.begin() + first;
    for (auto it = begin; it <= m_blockSeparators.begin() + lastBefore; ++it)
        m_separators -= *it;
    std::vector<qint32> counts;
    counts.reserve(size_t(lastNow - first + 1));
    for (QTextBlock block = document->findBlockByNumber(first); block.isValid() && block.blockNumber() <= lastNow;
         block = block.next()) {
        counts.push_back(separatorsIn(block));
        m_separators += counts.back();
    }
    m_blockSeparators.erase(begin, m_blockSeparators.begin() + lastBefore + 1);
    m_blockSeparators.insert(m_blockSeparators.begin() + first, counts.begin(), counts.end());

    // Blocks recycled before stay so under their new numbers; those the
    // technician just made are fresh and need no recycling.
    if (first < m_recycledUpTo)
        m_recycledUpTo += grown;
    m_recycledUpTo = std::max(m_recycledUpTo, lastNow);
    m_shown.clear(); // numbers that may have moved; at most a page of layouts stays
    countLines(first, lastNow);
}

void LogBox::countLines(int first, int last)
{
    // Runs after the box's own handling of the change, which counts a block
    // it has not laid out as one line. Logged lines are short and never wrap,
    // so a block's lines are its separators and one; a block laid out has
    // its own count already (more than one whenever it holds a separator).
    // Asking for a block's layout would make one.
    QTextDocument *document = m_box->document();
    const int before = document->lineCount();
    for (QTextBlock block = document->findBlockByNumber(std::max(first, 0));
         block.isValid() && block.blockNumber() <= last; block = block.next()) {
        const qint32 separators = m_blockSeparators[size_t(block.blockNumber())];
        if (block.lineCount() == 1 && separators > 0)
            block.setLineCount(separators + 1);
    }
    // The scroll bar follows the document's size.
    if (QAbstractTextDocumentLayout *layout = document->documentLayout(); layout && document->lineCount() != before)
        Q_EMIT layout->documentSizeChanged(layout->documentSize());
}

void LogBox::recountAll()
{
    m_blockSeparators.clear();
    m_separators = 0;
    for (QTextBlock block = m_box->document()->begin(); block.isValid(); block = block.next()) {
        m_blockSeparators.push_back(separatorsIn(block));
        m_separators += m_blockSeparators.back();
    }
}

void LogBox::followLastLine()
{
    if (m_keepView)
        return;
    QTextCursor cursor = m_box->textCursor();
    // Text added at the caret carries it along: mostly it is at the end already.
    if (!cursor.atEnd() || cursor.hasSelection()) {
        cursor.movePosition(QTextCursor::End);
        m_box->setTextCursor(cursor);
    }
    m_box->ensureCursorVisible();
}
