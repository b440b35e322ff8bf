#include "windows/views/bytetextbox.h"

#include "windows/access/bytetextboxaccessible.h"

#include <QElapsedTimer>
#include <QMimeData>
#include <QPlainTextDocumentLayout>
#include <QPointer>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include <algorithm>
#include <malloc.h>

namespace {

// One turn of the event loop fills the document for about this long at most, so that a click
// or a screen reader's request waits no longer than that behind a long reply.
constexpr qint64 kFillTurnMs = 25;
// Characters converted and inserted in one step of a turn.
constexpr qsizetype kFillStep = qsizetype(16) * 1024;
// A text this long leaves the reading and filling's spent buffers behind in the heap, which the
// C library keeps for itself unless asked to give them back.
constexpr qsizetype kLongText = qsizetype(1024) * 1024;

QChar shownChar(char16_t c)
{
    if (c == u'\t')
        return QChar(c);
    if (c < 0x20)
        return QChar(char16_t(0x2400 + c));
    if (c == 0x7F)
        return QChar(char16_t(0x2421));
    // The document would take these for breaks of its own and lose track of the lines.
    if (c == 0x2028 || c == 0x2029 || c == 0xFDD0 || c == 0xFDD1)
        return QChar(QChar::ReplacementCharacter);
    return QChar(c);
}

QChar typedChar(QChar shown)
{
    const char16_t c = shown.unicode();
    if (c >= 0x2400 && c < 0x2420 && c != 0x2409)
        return QChar(char16_t(c - 0x2400));
    if (c == 0x2421)
        return QChar(char16_t(0x7F));
    return shown;
}

// One pass without a branch per character, which the compiler turns into vector code: a long
// reply is checked in a few milliseconds.
bool fitsLatin1(const QString &text)
{
    const char16_t *codes = reinterpret_cast<const char16_t *>(text.utf16());
    char16_t seen = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        seen |= codes[i];
    return seen <= 0xFF;
}

// An empty layout pass frees what a layout keeps (glyphs, attributes) and leaves the block
// without lines, which is what makes the view lay it out again when it comes into sight.
void dropLayout(const QTextBlock &block)
{
    if (QTextLayout *layout = block.layout()) {
        layout->beginLayout();
        layout->endLayout();
    }
}

// A kept document brings back the font and options it had; the box's may have changed since.
// Each is set only when it differs, since setting one lays the whole document out again.
void takeLook(QTextDocument *to, const QTextDocument *from)
{
    if (to->defaultFont() != from->defaultFont())
        to->setDefaultFont(from->defaultFont());
    if (to->documentMargin() != from->documentMargin())
        to->setDocumentMargin(from->documentMargin());
    const QTextOption was = to->defaultTextOption();
    const QTextOption wanted = from->defaultTextOption();
    if (was.alignment() != wanted.alignment() || was.wrapMode() != wanted.wrapMode()
            || was.flags() != wanted.flags() || was.tabStopDistance() != wanted.tabStopDistance()
            || was.tabs() != wanted.tabs() || was.textDirection() != wanted.textDirection()
            || was.useDesignMetrics() != wanted.useDesignMetrics())
        to->setDefaultTextOption(wanted);
}

// A short block keeps its glyphs too, or every drawing and every look for the caret would
// shape its text again.
void keepOrDropLayout(const QTextBlock &block, bool drop)
{
    if (drop)
        dropLayout(block);
    else if (QTextLayout *layout = block.layout())
        layout->setCacheEnabled(true);
}

} // namespace

ByteTextBox::ByteTextBox(QWidget *parent) : QPlainTextEdit(parent)
{
    ByteTextBoxAccessible::install();
    m_blockStart.push_back(0);
    m_fillTimer.setInterval(0);
    connect(&m_fillTimer, &QTimer::timeout, this, [this] { fillSlice(kFillTurnMs); });
    // The operator may type into the box; what they type becomes its text. The box's own
    // writing blocks this signal, so the codes it was given are kept exactly.
    connect(this, &QPlainTextEdit::textChanged, this, &ByteTextBox::rebuildFromDocument);
}

void ByteTextBox::setText(const QString &text)
{
    if (!isFilling() && holds(text)) {
        // The document shows this text already, laid out. Of what a new text resets, only the
        // caret is left to put back at the start.
        if (textCursor().position() != 0 || textCursor().hasSelection())
            moveCursor(QTextCursor::Start);
        emit shownInFull();
        return;
    }
    if (m_blank && text == QLatin1String(m_blankedLatin1)) {
        unblank();
        viewport()->update();
        emit shownInFull();
        return;
    }
    // Left in the document only while the operator is elsewhere (with the focus here they
    // type into it at once) and only when short (a long one is freed instead).
    if (text.isEmpty() && !isFilling() && m_isLatin1 && textLength() <= kShortText && !hasFocus()) {
        blank();
        return;
    }
    if (m_blank)
        unblank(); // replaced below as the document stands
    m_fillTimer.stop();

    // What is shown now, kept for a later text when it is short and whole.
    const bool keepShown = !isFilling() && m_isLatin1 && textLength() <= kShortText;
    QByteArray shownLatin1 = std::move(m_latin1);
    std::vector<qsizetype> shownBlockStart = std::move(m_blockStart);

    m_isLatin1 = fitsLatin1(text);
    m_wide = m_isLatin1 ? QString() : text;
    QTextDocument *const kept = m_kept.data();
    const bool reshown = kept && m_isLatin1 && text == QLatin1String(m_keptLatin1);
    QTextDocument *next = nullptr;
    if (reshown) {
        next = kept;
        m_latin1 = std::move(m_keptLatin1);
        m_blockStart = std::move(m_keptBlockStart);
    } else {
        m_latin1 = m_isLatin1 ? text.toLatin1() : QByteArray();
        m_blockStart.assign(1, 0);
        if (kept && text.size() <= kShortText) {
            // Emptied before it is shown, so that no screen reader hears of what it held.
            next = kept;
            next->setUndoRedoEnabled(false);
            QTextCursor all(next);
            all.select(QTextCursor::Document);
            all.removeSelectedText();
        } else {
            // A fresh document rather than the shown one emptied: emptying tells a screen
            // reader about every character removed, and dropping the old document frees a long
            // reply at once.
            next = new QTextDocument(this);
            next->setDocumentLayout(new QPlainTextDocumentLayout(next));
            next->setUndoRedoEnabled(false);
        }
    }
    m_kept = nullptr;
    if (kept && next != kept)
        delete kept;
    m_filledTo = reshown ? textLength() : 0;
    m_lineLengthSoFar = 0;

    // The box's first document belongs to Qt, which deletes it itself on the swap.
    const QPointer<QTextDocument> old = document();
    takeLook(next, old);
    {
        const QSignalBlocker quiet(this);
        setDocument(next);
    }
    if (old && old->parent() == this) {
        if (keepShown) {
            old->clearUndoRedoStacks();
            m_kept = old.data();
            m_keptLatin1 = std::move(shownLatin1);
            m_keptBlockStart = std::move(shownBlockStart);
        } else {
            delete old.data();
        }
    }
    if (!m_filling) {
        m_interactionBeforeFill = textInteractionFlags();
        m_filling = true;
    }
    // Only what the box can show at once now; the rest follows between events. A text shown
    // before is all there.
    fillSlice(0);
}

bool ByteTextBox::holds(const QString &text) const
{
    return m_isLatin1 ? text == QLatin1String(m_latin1) : text == m_wide;
}

void ByteTextBox::blank()
{
    if (textCursor().position() != 0 || textCursor().hasSelection())
        moveCursor(QTextCursor::Start);
    m_blankedLatin1 = std::move(m_latin1);
    m_latin1 = QByteArray();
    std::swap(m_blockStart, m_blankedBlockStart);
    m_blockStart.assign(1, 0);
    m_filledTo = 0;
    m_blank = true;
    viewport()->update();
    emit shownInFull();
}

void ByteTextBox::unblank()
{
    m_latin1 = std::move(m_blankedLatin1);
    m_blankedLatin1 = QByteArray();
    std::swap(m_blockStart, m_blankedBlockStart);
    m_filledTo = textLength();
    m_blank = false;
}

void ByteTextBox::emptyDocument()
{
    if (!m_blank)
        return;
    m_blank = false;
    m_blankedLatin1 = QByteArray();
    document()->setUndoRedoEnabled(false);
    QTextCursor all(document());
    all.select(QTextCursor::Document);
    {
        const QSignalBlocker quiet(this);
        all.removeSelectedText();
    }
    document()->setUndoRedoEnabled(true);
    viewport()->update();
}

bool ByteTextBox::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::FocusIn:
    case QEvent::KeyPress:
    case QEvent::ShortcutOverride:
    case QEvent::InputMethod:
    case QEvent::ContextMenu:
        emptyDocument();
        break;
    default:
        break;
    }
    return QPlainTextEdit::event(event);
}

bool ByteTextBox::viewportEvent(QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::ContextMenu:
    case QEvent::Wheel:
    case QEvent::DragEnter:
    case QEvent::Drop:
        emptyDocument();
        break;
    default:
        break;
    }
    return QPlainTextEdit::viewportEvent(event);
}

void ByteTextBox::paintEvent(QPaintEvent *event)
{
    // The viewport has drawn its background already, which is all an empty document shows
    // without the focus.
    if (!m_blank)
        QPlainTextEdit::paintEvent(event);
}

QString ByteTextBox::text() const
{
    return m_isLatin1 ? QString::fromLatin1(m_latin1) : m_wide;
}

qsizetype ByteTextBox::textLength() const
{
    return m_isLatin1 ? m_latin1.size() : m_wide.size();
}

QString ByteTextBox::textRange(qsizetype from, qsizetype to) const
{
    const qsizetype length = textLength();
    from = std::clamp<qsizetype>(from, 0, length);
    to = std::clamp<qsizetype>(to, from, length);
    return m_isLatin1 ? QString::fromLatin1(m_latin1.constData() + from, to - from)
                      : m_wide.mid(from, to - from);
}

QChar ByteTextBox::charAt(qsizetype offset) const
{
    return m_isLatin1 ? QChar(char16_t(uchar(m_latin1.at(offset)))) : m_wide.at(offset);
}

QString ByteTextBox::takeDisplayRun(qsizetype &offset, qsizetype until, std::vector<int> &ends)
{
    const qsizetype length = textLength();
    QString shown;
    shown.reserve(until - offset + (until - offset) / kDisplayLineLength + 1);
    auto breakLine = [&](BlockEnd kind, qsizetype nextStart) {
        shown += u'\n';
        ends.push_back(kind);
        m_blockStart.push_back(nextStart);
        m_lineLengthSoFar = 0;
        offset = nextStart;
    };
    while (offset < until) {
        const char16_t c = charAt(offset).unicode();
        if (c == u'\r') {
            if (offset + 1 < length && charAt(offset + 1) == u'\n')
                breakLine(CarriageReturnLineFeed, offset + 2);
            else
                breakLine(CarriageReturn, offset + 1);
        } else if (c == u'\n') {
            breakLine(LineFeed, offset + 1);
        } else {
            if (m_lineLengthSoFar == kDisplayLineLength)
                breakLine(SoftBreak, offset);
            shown += shownChar(c);
            ++m_lineLengthSoFar;
            ++offset;
        }
    }
    return shown;
}

void ByteTextBox::fillSlice(qint64 turnMs)
{
    const qsizetype length = textLength();
    QElapsedTimer turn;
    turn.start();
    QTextCursor end(document());
    // Inserting lays out the block it ends in, which a short text keeps for drawing; each such
    // layout of a long text would stay in memory (tens of kilobytes a block), so there they are
    // dropped, and blocks are laid out again when they come into view.
    const bool dropLayouts = length > kShortText;
    // A step is not begun when it would likely end past the turn: on a slow build or a busy
    // machine one step can take most of a turn, and finishing it late doubles the deafness.
    qint64 longestStepMs = 0;
    while (m_filledTo < length) {
        const qint64 stepStartMs = turn.elapsed();
        std::vector<int> ends;
        QTextBlock block = document()->lastBlock();
        qsizetype offset = m_filledTo;
        const QString run = takeDisplayRun(offset, std::min(length, m_filledTo + kFillStep), ends);
        {
            const QSignalBlocker quiet(this);
            // In an edit block the cursor leaves its place on the line to be worked out when it
            // is asked for, rather than laying the line out once more to find it now.
            end.beginEditBlock();
            end.setPosition(document()->characterCount() - 1);
            end.insertText(run);
            end.endEditBlock();
        }
        for (int kind : ends) {
            block.setUserState(kind);
            keepOrDropLayout(block, dropLayouts);
            block = block.next();
        }
        keepOrDropLayout(block, dropLayouts);
        m_filledTo = offset;
        longestStepMs = std::max(longestStepMs, turn.elapsed() - stepStartMs);
        if (turn.elapsed() + longestStepMs >= turnMs)
            break;
    }

    if (m_filledTo < length) {
        // Typing into a half-filled document would mix the operator's text into the reply.
        setTextInteractionFlags(m_interactionBeforeFill & ~Qt::TextEditable);
        m_fillTimer.start();
        return;
    }
    m_fillTimer.stop();
    m_filling = false;
    setTextInteractionFlags(m_interactionBeforeFill);
    document()->setUndoRedoEnabled(true);
    if (length >= kLongText)
        ::malloc_trim(0);
    emit shownInFull();
}

void ByteTextBox::fillUpTo(qsizetype textOffset)
{
    while (isFilling() && m_filledTo <= textOffset)
        fillSlice(0);
}

void ByteTextBox::rebuildFromDocument()
{
    QString typed;
    std::vector<qsizetype> starts;
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next()) {
        starts.push_back(typed.size());
        const QString line = block.text();
        for (QChar c : line)
            typed += typedChar(c);
        if (!block.next().isValid())
            break;
        switch (block.userState()) {
        case SoftBreak:
            break;
        case CarriageReturn:
            typed += u'\r';
            break;
        case CarriageReturnLineFeed:
            typed += QStringLiteral("\r\n");
            break;
        default:
            typed += u'\n';
            break;
        }
    }
    m_isLatin1 = fitsLatin1(typed);
    m_latin1 = m_isLatin1 ? typed.toLatin1() : QByteArray();
    m_wide = m_isLatin1 ? QString() : typed;
    m_blockStart = std::move(starts);
    m_filledTo = textLength();
}

qsizetype ByteTextBox::textOffsetAt(int documentPosition) const
{
    if (m_blank)
        return 0;
    const QTextBlock block = document()->findBlock(std::max(0, documentPosition));
    if (!block.isValid())
        return documentPosition <= 0 ? 0 : m_filledTo;
    const size_t number = size_t(block.blockNumber());
    if (number >= m_blockStart.size())
        return m_filledTo;
    const int inBlock = std::clamp(documentPosition - block.position(), 0, block.length() - 1);
    return m_blockStart[number] + inBlock;
}

int ByteTextBox::documentPositionAt(qsizetype textOffset) const
{
    if (m_blank)
        return 0;
    if (textOffset >= m_filledTo)
        return document()->characterCount() - 1;
    const auto after = std::upper_bound(m_blockStart.begin(), m_blockStart.end(), textOffset);
    const int number = std::max(0, int(after - m_blockStart.begin()) - 1);
    const QTextBlock block = document()->findBlockByNumber(number);
    const qsizetype inBlock
            = std::min<qsizetype>(textOffset - m_blockStart[size_t(number)], block.length() - 1);
    return block.position() + int(inBlock);
}

QMimeData *ByteTextBox::createMimeDataFromSelection() const
{
    const QTextCursor cursor = textCursor();
    const int documentEnd = document()->characterCount() - 1;
    const qsizetype from = textOffsetAt(cursor.selectionStart());
    // A selection to the end of a document still filling takes in the rest of the text.
    const qsizetype to = cursor.selectionEnd() >= documentEnd ? textLength()
                                                              : textOffsetAt(cursor.selectionEnd());
    auto *data = new QMimeData;
    data->setText(textRange(from, to));
    return data;
}
