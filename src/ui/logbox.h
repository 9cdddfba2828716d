#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <QString>
#include <QStringView>

#include <functional>
#include <vector>

class QTextCursor;

// The "Rs232 Data" box's widget: a plain text box whose pastes and drops go
// to the log. It has no Q_OBJECT of its own: to Qt it is a QPlainTextEdit.
class LogEdit final : public QPlainTextEdit
{
public:
    using QPlainTextEdit::QPlainTextEdit;
    // Takes the plain text of a paste or a drop; the box's own insert without it.
    std::function<void(const QString &)> pasted;
    // Lines of decimal digits need no shaping, which is most of what laying
    // out a block costs; the box's font stays as designed.
    void layOutPlainly();
    // The numbers of the blocks the view shows now.
    std::pair<int, int> shownBlocks() const;

protected:
    void changeEvent(QEvent *event) override;
    void insertFromMimeData(const QMimeData *source) override;
};

// The "Rs232 Data" box as the test-mode log: text with CR LF between lines on
// the outside, and a compact layout inside. A session can log millions of
// lines, and a text block per line costs hundreds of bytes, so logged lines
// are joined by line separators (U+2028) into blocks of kLinesPerBlock lines;
// pasted lines are joined the same way. The box stays an ordinary editable
// text box: the technician types, pastes, selects and copies in it, and every
// kind of line break reads as CR LF.
//
// Every edit costs what it touches: the line separators are counted per
// block, and an edit recounts only the blocks it changed.
class LogBox final : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLinesPerBlock = 128;
    // The last blocks stay as they are: they hold what the box shows.
    static constexpr int kBlocksKeptLaidOut = 2;

    explicit LogBox(LogEdit *box);

    // What the box holds, lines separated by CR LF, appended lines included.
    QString text() const;
    // text().size(), without building it.
    qsizetype textLength() const;
    void setText(const QString &text);

    // Appended text (lines separated by CR LF) waits for flush(), so that a
    // poll's lines reach the box in one edit.
    void append(QStringView text);
    void flush();

private:
    void insertPasted(const QString &text);
    void onContentsChange(int position, int removed, int added);
    void followLastLine();
    void recycleLaidOutBlocks(QTextCursor &cursor);
    // Gives a block fresh block data, and so drops its layout.
    void recycle(QTextCursor &cursor, int number);
    // Blocks the view showed and has left are recycled too: scrolling through
    // a long log would otherwise keep a layout for every block it passed.
    void recycleLeftBlocks();
    void recountAll();
    // The box counts a block it has not laid out as one line, so its scroll
    // bar would step by whole blocks: blocks `first` to `last` that are not
    // laid out get their lines counted, as laying them out would.
    void countLines(int first, int last);

    LogEdit *m_box;
    QString m_pending;
    // U+2028 characters in each block of the box, and in all of them.
    std::vector<qint32> m_blockSeparators;
    qsizetype m_separators = 0;
    bool m_ownEdit = false;
    int m_recycledUpTo = 1;   // blocks before this one have been put back fresh
    std::vector<int> m_shown; // blocks the view has shown since they were last recycled
    bool m_leftBlocksDue = false;
    bool m_keepView = false; // an edit of our own that must not move the view
};
