#pragma once

#include <QAccessibleWidget>

class ByteTextBox;

// What a screen reader reads from a ByteTextBox: the box's exact text, offsets counted in that
// text, not in the document it draws (where control codes are pictures, a CR LF pair is one
// break and long lines are broken for drawing).
class ByteTextBoxAccessible : public QAccessibleWidget,
                              public QAccessibleTextInterface,
                              public QAccessibleEditableTextInterface
{
public:
    explicit ByteTextBoxAccessible(ByteTextBox *box);

    // Makes Qt ask this class for every ByteTextBox; safe to call more than once.
    static void install();

    QAccessible::State state() const override;
    QString text(QAccessible::Text t) const override;
    void *interface_cast(QAccessible::InterfaceType t) override;

    void selection(int selectionIndex, int *startOffset, int *endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint &point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int *startOffset, int *endOffset) const override;

    void deleteText(int startOffset, int endOffset) override;
    void insertText(int offset, const QString &text) override;
    void replaceText(int startOffset, int endOffset, const QString &text) override;

private:
    ByteTextBox *box() const;
};
