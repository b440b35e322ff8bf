#include "bytetextbox.h"

ByteTextBox::ByteTextBox(QWidget *parent) : QPlainTextEdit(parent)
{
    // The operator may type into the box; what they type becomes its text. setText() blocks
    // this signal, so the bytes it was given are kept exactly.
    connect(this, &QPlainTextEdit::textChanged, this, [this] { m_text = toPlainText(); });
}

void ByteTextBox::setText(const QString &text)
{
    const QSignalBlocker quiet(this);
    m_text = text;
    // Straight into the document: the widget's own setPlainText also scrolls to its caret,
    // which shapes the whole text a second time, and the box is written on every exchange.
    // The view still starts at the top; the caret ends after the text.
    document()->setPlainText(displayForm(text));
}

QString ByteTextBox::displayForm(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c == u'\r') {
            shown += u'\n';
            if (i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            // NOLINTNEXTLINE(bugprone-branch-clone): line breaks and tabs apart from text
        } else if (c == u'\n' || c == u'\t') {
            shown += QChar(c);
        } else if (c < 0x20) {
            shown += QChar(char16_t(0x2400 + c));
        } else if (c == 0x7F) {
            shown += QChar(char16_t(0x2421));
        } else {
            shown += QChar(c);
        }
    }
    return shown;
}
