#pragma once

#include <QObject>
#include <QString>
#include <QStringView>

class QPlainTextEdit;
class QTextCursor;

// The "Rs232 Data" box as the test-mode log: text with CR LF between lines on
// the outside, and a compact layout inside. A session can log millions of
// lines, and a text block per line costs hundreds of bytes, so logged lines
// are joined by line separators (U+2028) into blocks of kLinesPerBlock lines.
// The box stays an ordinary editable text box: the technician types, pastes,
// selects and copies in it, and every kind of line break reads as CR LF.
class LogBox final : public QObject
{
    Q_OBJECT

public:
    static constexpr int kLinesPerBlock = 128;
    // The last blocks stay as they are: they hold what the box shows.
    static constexpr int kBlocksKeptLaidOut = 2;

    explicit LogBox(QPlainTextEdit *box);

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
    void onContentsChange(int position, int removed, int added);
    void followLastLine();
    void recycleLaidOutBlocks(QTextCursor &cursor);
    qsizetype lineSeparators() const;

    QPlainTextEdit *m_box;
    QString m_pending;
    // U+2028 characters in the box; recounted after the technician's edits.
    mutable qsizetype m_lineSeparators = 0;
    mutable bool m_separatorsKnown = true;
    bool m_ownEdit = false;
    int m_recycledUpTo = 1;     // blocks before this one have been put back fresh
};
