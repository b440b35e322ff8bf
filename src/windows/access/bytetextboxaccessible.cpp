#include "windows/access/bytetextboxaccessible.h"

#include "windows/views/bytetextbox.h"

#include <QFontMetrics>

#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace {

QAccessibleInterface *byteTextBoxFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("ByteTextBox"))
        if (auto *box = qobject_cast<ByteTextBox *>(object))
            return new ByteTextBoxAccessible(box);
    return nullptr;
}

} // namespace

ByteTextBoxAccessible::ByteTextBoxAccessible(ByteTextBox *box)
    : QAccessibleWidget(box, QAccessible::EditableText)
{ }

void ByteTextBoxAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(byteTextBoxFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

ByteTextBox *ByteTextBoxAccessible::box() const
{
    return static_cast<ByteTextBox *>(widget());
}

QAccessible::State ByteTextBoxAccessible::state() const
{
    QAccessible::State s = QAccessibleWidget::state();
    s.editable = !box()->isReadOnly();
    s.readOnly = box()->isReadOnly();
    s.multiLine = true;
    s.selectableText = true;
    return s;
}

QString ByteTextBoxAccessible::text(QAccessible::Text t) const
{
    if (t == QAccessible::Value)
        return box()->text();
    return QAccessibleWidget::text(t);
}

void *ByteTextBoxAccessible::interface_cast(QAccessible::InterfaceType t)
{
    if (t == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface *>(this);
    if (t == QAccessible::EditableTextInterface)
        return static_cast<QAccessibleEditableTextInterface *>(this);
    return QAccessibleWidget::interface_cast(t);
}

void ByteTextBoxAccessible::selection(int selectionIndex, int *startOffset, int *endOffset) const
{
    *startOffset = *endOffset = 0;
    const QTextCursor cursor = box()->textCursor();
    if (selectionIndex != 0 || !cursor.hasSelection())
        return;
    const int documentEnd = box()->document()->characterCount() - 1;
    *startOffset = int(box()->textOffsetAt(cursor.selectionStart()));
    *endOffset = cursor.selectionEnd() >= documentEnd
            ? characterCount()
            : int(box()->textOffsetAt(cursor.selectionEnd()));
}

int ByteTextBoxAccessible::selectionCount() const
{
    return box()->textCursor().hasSelection() ? 1 : 0;
}

void ByteTextBoxAccessible::addSelection(int startOffset, int endOffset)
{
    setSelection(0, startOffset, endOffset);
}

void ByteTextBoxAccessible::removeSelection(int selectionIndex)
{
    if (selectionIndex != 0)
        return;
    QTextCursor cursor = box()->textCursor();
    cursor.clearSelection();
    box()->setTextCursor(cursor);
}

void ByteTextBoxAccessible::setSelection(int selectionIndex, int startOffset, int endOffset)
{
    if (selectionIndex != 0)
        return;
    box()->fillUpTo(std::max(startOffset, endOffset));
    QTextCursor cursor = box()->textCursor();
    cursor.setPosition(box()->documentPositionAt(startOffset));
    cursor.setPosition(box()->documentPositionAt(endOffset), QTextCursor::KeepAnchor);
    box()->setTextCursor(cursor);
}

int ByteTextBoxAccessible::cursorPosition() const
{
    const int position = box()->textCursor().position();
    if (position >= box()->document()->characterCount() - 1)
        return characterCount();
    return int(box()->textOffsetAt(position));
}

void ByteTextBoxAccessible::setCursorPosition(int position)
{
    box()->fillUpTo(position);
    QTextCursor cursor = box()->textCursor();
    cursor.setPosition(box()->documentPositionAt(position));
    box()->setTextCursor(cursor);
}

QString ByteTextBoxAccessible::text(int startOffset, int endOffset) const
{
    if (endOffset < 0)
        endOffset = characterCount();
    return box()->textRange(startOffset, endOffset);
}

int ByteTextBoxAccessible::characterCount() const
{
    return int(box()->textLength());
}

QRect ByteTextBoxAccessible::characterRect(int offset) const
{
    box()->fillUpTo(offset);
    QTextCursor cursor(box()->document());
    cursor.setPosition(box()->documentPositionAt(offset));
    QRect r = box()->cursorRect(cursor);
    const QChar shown = box()->document()->characterAt(cursor.position());
    r.setWidth(QFontMetrics(box()->font()).horizontalAdvance(shown));
    r.moveTopLeft(box()->viewport()->mapToGlobal(r.topLeft()));
    return r;
}

int ByteTextBoxAccessible::offsetAtPoint(const QPoint &point) const
{
    const QPoint inside = box()->viewport()->mapFromGlobal(point);
    return int(box()->textOffsetAt(box()->cursorForPosition(inside).position()));
}

void ByteTextBoxAccessible::scrollToSubstring(int startIndex, int endIndex)
{
    setSelection(0, startIndex, endIndex);
    box()->ensureCursorVisible();
}

QString ByteTextBoxAccessible::attributes(int offset, int *startOffset, int *endOffset) const
{
    // One run of plain text without attributes of its own.
    Q_UNUSED(offset);
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
}

void ByteTextBoxAccessible::deleteText(int startOffset, int endOffset)
{
    replaceText(startOffset, endOffset, QString());
}

void ByteTextBoxAccessible::insertText(int offset, const QString &text)
{
    replaceText(offset, offset, text);
}

void ByteTextBoxAccessible::replaceText(int startOffset, int endOffset, const QString &text)
{
    if (box()->isReadOnly())
        return;
    // Edited in the exact text, so the codes around the change stay as they were.
    const int length = characterCount();
    startOffset = qBound(0, startOffset, length);
    endOffset = qBound(startOffset, endOffset, length);
    box()->setText(box()->textRange(0, startOffset) + text + box()->textRange(endOffset, length));
    setCursorPosition(startOffset + int(text.size()));
}
