#pragma once

#include <QPlainTextEdit>

// A multi-line text box whose text is a string of 8-bit codes received from a device. text()
// returns exactly what was set; on screen, control codes other than CR, LF and TAB are drawn
// as their Unicode control pictures so that a NUL or an ETX neither cuts nor garbles the rest.
class ByteTextBox : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit ByteTextBox(QWidget *parent = nullptr);

    void setText(const QString &text);
    QString text() const { return m_text; }

    // What is drawn for a given text: CR LF pairs and lone CRs or LFs become line breaks.
    static QString displayForm(const QString &text);

private:
    QString m_text;
};
