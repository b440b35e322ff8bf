#include "windows/access/guardedaccessible.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleEditableTextInterface>
#include <QAccessibleTextInterface>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTextBlock>

bool BlockedByModalWindow(const QWidget *widget)
{
    const QWidget *modal = QApplication::activeModalWidget();
    return modal && widget && widget->window() != modal;
}

namespace {

// "&Send" is read as "Send"; "&&" stands for one "&".
QString withoutMnemonic(const QString &caption)
{
    QString out;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption.at(i) == u'&') {
            if (i + 1 < caption.size() && caption.at(i + 1) == u'&')
                out += u'&';
            ++i;
            if (i < caption.size() && caption.at(i) != u'&')
                out += caption.at(i);
            continue;
        }
        out += caption.at(i);
    }
    return out;
}

QAccessible::Role roleOf(const QAbstractButton *button)
{
    if (qobject_cast<const QRadioButton *>(button))
        return QAccessible::RadioButton;
    if (qobject_cast<const QCheckBox *>(button))
        return QAccessible::CheckBox;
    return QAccessible::Button;
}

class GuardedButton : public QAccessibleWidget
{
public:
    explicit GuardedButton(QAbstractButton *button) : QAccessibleWidget(button, roleOf(button)) { }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name && button()->accessibleName().isEmpty())
            return withoutMnemonic(button()->text());
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.checkable = button()->isCheckable();
        state.checked = button()->isChecked();
        state.pressed = button()->isDown();
        if (const auto *push = qobject_cast<const QPushButton *>(button()))
            state.defaultButton = push->isDefault();
        return state;
    }

    QStringList actionNames() const override
    {
        QStringList names;
        if (widget()->isEnabled())
            names << (button()->isCheckable() || role() == QAccessible::RadioButton
                            ? toggleAction()
                            : pressAction());
        return names + QAccessibleWidget::actionNames();
    }

    void doAction(const QString &action) override
    {
        if (!widget()->isEnabled() || BlockedByModalWindow(widget()))
            return;
        if (action == pressAction())
            button()->animateClick();
        else if (action == toggleAction())
            button()->toggle();
        else
            QAccessibleWidget::doAction(action);
    }

private:
    QAbstractButton *button() const { return static_cast<QAbstractButton *>(widget()); }
};

// One class for the one-line and the multi-line boxes; they differ only in how the text, the
// caret and the selection are reached.
class GuardedTextBox : public QAccessibleWidget,
                       public QAccessibleTextInterface,
                       public QAccessibleEditableTextInterface
{
public:
    explicit GuardedTextBox(QWidget *box) : QAccessibleWidget(box, QAccessible::EditableText) { }

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        if (type == QAccessible::EditableTextInterface && !readOnly())
            return static_cast<QAccessibleEditableTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return all();
        return QAccessibleWidget::text(t);
    }

    void setText(QAccessible::Text t, const QString &text) override
    {
        if (t == QAccessible::Value)
            replaceText(0, characterCount(), text);
        else
            QAccessibleWidget::setText(t, text);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = readOnly();
        state.editable = !state.readOnly;
        state.multiLine = plain() != nullptr;
        state.selectableText = true;
        return state;
    }

    // Reading
    QString text(int startOffset, int endOffset) const override
    {
        return all().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return int(all().size()); }
    int cursorPosition() const override
    {
        return plain() ? plain()->textCursor().position() : line()->cursorPosition();
    }
    void setCursorPosition(int position) override
    {
        if (QPlainTextEdit *box = plain()) {
            QTextCursor cursor = box->textCursor();
            cursor.setPosition(qBound(0, position, characterCount()));
            box->setTextCursor(cursor);
        } else {
            line()->setCursorPosition(position);
        }
    }
    void selection(int selectionIndex, int *startOffset, int *endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0)
            return;
        if (const QPlainTextEdit *box = plain()) {
            *startOffset = box->textCursor().selectionStart();
            *endOffset = box->textCursor().selectionEnd();
        } else if (line()->hasSelectedText()) {
            *startOffset = line()->selectionStart();
            *endOffset = line()->selectionEnd();
        }
    }
    int selectionCount() const override
    {
        return (plain() ? plain()->textCursor().hasSelection() : line()->hasSelectedText()) ? 1 : 0;
    }
    void addSelection(int startOffset, int endOffset) override
    {
        setSelection(0, startOffset, endOffset);
    }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex != 0)
            return;
        if (QPlainTextEdit *box = plain()) {
            QTextCursor cursor = box->textCursor();
            cursor.clearSelection();
            box->setTextCursor(cursor);
        } else {
            line()->deselect();
        }
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex != 0)
            return;
        const int count = characterCount();
        startOffset = qBound(0, startOffset, count);
        endOffset = qBound(0, endOffset, count);
        if (QPlainTextEdit *box = plain()) {
            QTextCursor cursor = box->textCursor();
            cursor.setPosition(startOffset);
            cursor.setPosition(endOffset, QTextCursor::KeepAnchor);
            box->setTextCursor(cursor);
        } else {
            line()->setSelection(startOffset, endOffset - startOffset);
        }
    }
    QRect characterRect(int offset) const override
    {
        if (const QPlainTextEdit *box = plain()) {
            QTextCursor cursor(box->document());
            cursor.setPosition(qBound(0, offset, characterCount()));
            QRect rect = box->cursorRect(cursor);
            rect.setWidth(box->fontMetrics().horizontalAdvance(all().mid(offset, 1)));
            return QRect(box->viewport()->mapToGlobal(rect.topLeft()), rect.size());
        }
        // A line edit tells only where its caret is; the rest is measured from its start.
        const QLineEdit *box = line();
        const QFontMetrics metrics = box->fontMetrics();
        const QRect contents = box->contentsRect();
        const int x = contents.left() + 2 + metrics.horizontalAdvance(all().left(offset));
        const QRect rect(x, contents.top() + (contents.height() - metrics.height()) / 2,
                metrics.horizontalAdvance(all().mid(offset, 1)), metrics.height());
        return QRect(box->mapToGlobal(rect.topLeft()), rect.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        if (const QPlainTextEdit *box = plain())
            return box->cursorForPosition(box->viewport()->mapFromGlobal(point)).position();
        return line()->cursorPositionAt(line()->mapFromGlobal(point));
    }
    void scrollToSubstring(int startIndex, int endIndex) override
    {
        if (QPlainTextEdit *box = plain()) {
            QTextCursor cursor = box->textCursor();
            cursor.setPosition(qBound(0, endIndex, characterCount()));
            box->setTextCursor(cursor);
            cursor.setPosition(qBound(0, startIndex, characterCount()));
            box->setTextCursor(cursor);
        } else {
            line()->setCursorPosition(endIndex);
            line()->setCursorPosition(startIndex);
        }
    }
    QString attributes(int offset, int *startOffset, int *endOffset) const override
    {
        Q_UNUSED(offset);
        *startOffset = 0;
        *endOffset = characterCount();
        return {};
    }

    // Editing: only where the operator could type.
    void deleteText(int startOffset, int endOffset) override
    {
        replaceText(startOffset, endOffset, QString());
    }
    void insertText(int offset, const QString &text) override { replaceText(offset, offset, text); }
    void replaceText(int startOffset, int endOffset, const QString &text) override
    {
        if (readOnly() || BlockedByModalWindow(widget()))
            return;
        const int count = characterCount();
        startOffset = qBound(0, startOffset, count);
        endOffset = qBound(startOffset, endOffset, count);
        if (QPlainTextEdit *box = plain()) {
            QTextCursor cursor(box->document());
            cursor.setPosition(startOffset);
            cursor.setPosition(endOffset, QTextCursor::KeepAnchor);
            cursor.insertText(text);
        } else {
            line()->setText(all().replace(startOffset, endOffset - startOffset, text));
        }
    }

private:
    QPlainTextEdit *plain() const { return qobject_cast<QPlainTextEdit *>(widget()); }
    QLineEdit *line() const { return qobject_cast<QLineEdit *>(widget()); }
    QString all() const { return plain() ? plain()->toPlainText() : line()->text(); }
    // A disabled box is one the operator cannot type into either.
    bool readOnly() const
    {
        return !widget()->isEnabled() || (plain() ? plain()->isReadOnly() : line()->isReadOnly());
    }
};

// A popup is no child of the application on the accessibility bus, so a window's context menu
// could be seen but not reached there. While it is open, the window that opened it (as the
// menu's parent, named "contextMenu") lists it as its last child.
class WindowWithContextMenu : public QAccessibleWidget
{
public:
    explicit WindowWithContextMenu(QWidget *window) : QAccessibleWidget(window, QAccessible::Client)
    { }

    int childCount() const override { return QAccessibleWidget::childCount() + (menu() ? 1 : 0); }

    QAccessibleInterface *child(int index) const override
    {
        if (QMenu *open = menu(); open && index == QAccessibleWidget::childCount())
            return QAccessible::queryAccessibleInterface(open);
        return QAccessibleWidget::child(index);
    }

    int indexOfChild(const QAccessibleInterface *child) const override
    {
        if (QMenu *open = menu(); open && child && child->object() == open)
            return QAccessibleWidget::childCount();
        return QAccessibleWidget::indexOfChild(child);
    }

private:
    QMenu *menu() const
    {
        auto *open = widget()->findChild<QMenu *>(
                QStringLiteral("contextMenu"), Qt::FindDirectChildrenOnly);
        return open && open->isVisible() ? open : nullptr;
    }
};

QAccessibleInterface *guardedInterface(const QString &className, QObject *object)
{
    // A plain form: dialogs and main windows keep the interfaces of their own kind.
    if (className == u"QWidget" && object->isWidgetType()
            && static_cast<QWidget *>(object)->isWindow())
        return new WindowWithContextMenu(static_cast<QWidget *>(object));
    if (auto *button = qobject_cast<QAbstractButton *>(object)) {
        if (qobject_cast<QPushButton *>(button) || qobject_cast<QCheckBox *>(button)
                || qobject_cast<QRadioButton *>(button))
            return new GuardedButton(button);
        return nullptr;
    }
    if (qobject_cast<QLineEdit *>(object) || qobject_cast<QPlainTextEdit *>(object))
        return new GuardedTextBox(static_cast<QWidget *>(object));
    return nullptr;
}

} // namespace

void InstallGuardedAccessibility()
{
    QAccessible::installFactory(guardedInterface);
}
