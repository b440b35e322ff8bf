#pragma once

#include <QByteArray>
#include <QPlainTextEdit>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <vector>

// A multi-line text box whose text is a string of 8-bit codes received from a device. text()
// returns exactly what was set, and so do copying and the accessibility interface; on screen,
// control codes other than CR, LF and TAB are drawn as their Unicode control pictures so that a
// NUL or an ETX neither cuts nor garbles the rest.
//
// A device may answer with megabytes on one line, and Qt lays a paragraph out as a whole, in
// time that grows faster than its length. So the document the box draws breaks every line after
// kDisplayLineLength characters; those breaks are drawing only and never part of the text. A
// long text goes into the document a slice at a time, between events, so the window keeps
// answering while it fills; text() is complete from the moment setText() returns.
//
// Every exchange empties the box and then shows the reply, which in a loop is the same reply
// each time. So emptying a short text leaves it in the document, undrawn, and setting it again
// only draws it once more: nothing is laid out. Anything that would reach into the document
// (a key, a click, the focus) empties it for real first. A short text that another replaces
// keeps its document for a later short text, which then needs no document built anew.
class ByteTextBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    static constexpr int kDisplayLineLength = 1024;
    // Texts up to this long keep their layout and their document; longer ones free both.
    static constexpr qsizetype kShortText = 4096;

    explicit ByteTextBox(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const;
    qsizetype textLength() const;
    // The characters from `from` up to, not including, `to`.
    QString textRange(qsizetype from, qsizetype to) const;

    // Between a position in the drawn document and an offset into text(). A CR LF pair is one
    // line break in the document; both of its characters map to that break.
    qsizetype textOffsetAt(int documentPosition) const;
    int documentPositionAt(qsizetype textOffset) const;

    // True while the document is still being filled with the last text set.
    bool isFilling() const { return m_filledTo < textLength(); }
    // Fills the document up to at least `textOffset` now, for a caret or a selection put there.
    void fillUpTo(qsizetype textOffset);

signals:
    // The whole of the last text set is in the document.
    void shownInFull();

protected:
    QMimeData *createMimeDataFromSelection() const override;
    bool event(QEvent *event) override;
    bool viewportEvent(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    // The break that ends a document block; kept in the block's user state.
    enum BlockEnd { SoftBreak = 1, CarriageReturn, LineFeed, CarriageReturnLineFeed };

    QChar charAt(qsizetype offset) const;
    bool holds(const QString &text) const;
    // Empty while the document still holds the short text shown last, undrawn.
    void blank();
    // The text is the one the document holds again.
    void unblank();
    void emptyDocument();
    // Fills the document for about turnMs, at least one step.
    void fillSlice(qint64 turnMs);
    QString takeDisplayRun(qsizetype &offset, qsizetype until, std::vector<int> &ends);
    void rebuildFromDocument();

    // Exactly the text set: as Latin-1 bytes when every character fits, which halves the
    // memory a long reply takes; in full otherwise.
    QByteArray m_latin1;
    QString m_wide;
    bool m_isLatin1 = true;

    // Offset into the text at which each document block starts.
    std::vector<qsizetype> m_blockStart;
    qsizetype m_filledTo = 0;
    int m_lineLengthSoFar = 0;
    bool m_filling = false;
    Qt::TextInteractionFlags m_interactionBeforeFill;
    QTimer m_fillTimer;

    bool m_blank = false;
    QByteArray m_blankedLatin1;
    std::vector<qsizetype> m_blankedBlockStart;

    // The short text shown before the current one, with its document and block starts.
    QPointer<QTextDocument> m_kept;
    QByteArray m_keptLatin1;
    std::vector<qsizetype> m_keptBlockStart;
};
