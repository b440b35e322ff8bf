// The results box gives back exactly the codes it was given, however long the line and however
// it is read: text(), the accessibility interface, select-all and copy, and after typing.

#include "processclock.h"
#include "testmain.h"
#include "windows/views/bytetextbox.h"

#include <QAccessible>
#include <QAccessibleTextInterface>
#include <QClipboard>
#include <QSignalSpy>

#include <fstream>
#include <malloc.h>
#include <string>

namespace {

QString everyCode(qsizetype size)
{
    QString text(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        text[i] = QChar(char16_t(i % 256));
    return text;
}

// A text without line breaks, with every code that is not CR or LF.
QString oneLine(qsizetype size)
{
    QString text(size, Qt::Uninitialized);
    for (qsizetype i = 0, code = 0; i < size; ++i, code = (code + 1) % 256) {
        while (code == '\r' || code == '\n')
            code = (code + 1) % 256;
        text[i] = QChar(char16_t(code));
    }
    return text;
}

// Moves an offset off the middle of a CR LF pair, which is one break on screen.
qsizetype offPair(const QString &text, qsizetype at)
{
    return at > 0 && at < text.size() && text[at - 1] == u'\r' && text[at] == u'\n' ? at + 1 : at;
}

QString clipboardAfter(ByteTextBox &box, bool byKeyboard)
{
    QGuiApplication::clipboard()->clear();
    if (byKeyboard) {
        box.setFocus();
        QTest::keyClick(&box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&box, Qt::Key_C, Qt::ControlModifier);
    } else {
        box.selectAll();
        box.copy();
    }
    return QGuiApplication::clipboard()->text();
}

void waitUntilFull(ByteTextBox &box)
{
    QSignalSpy full(&box, &ByteTextBox::shownInFull);
    if (box.isFilling())
        QVERIFY(full.wait(60000));
}

} // namespace

class ResultsBoxTest : public QObject
{
    Q_OBJECT

private slots:
    void readsBackExactly_data()
    {
        QTest::addColumn<QString>("text");
        const qsizetype step = 16 * 1024; // the box fills its document in steps of this size
        QTest::newRow("empty") << QString();
        QTest::newRow("verdict lines") << QStringLiteral("ACK Packet received\r\nRespStr= 1");
        QTest::newRow("all 256 codes, 300 KiB") << everyCode(300 * 1024);
        QTest::newRow("one line, 300 KiB") << oneLine(300 * 1024);
        QTest::newRow("CR LF across a fill step")
                << QString(step - 1, u'A') + QStringLiteral("\r\n") + QString(3000, u'B');
        QTest::newRow("line of exactly the drawn width then CR LF")
                << QString(ByteTextBox::kDisplayLineLength, u'C') + QStringLiteral("\r\nD");
        QTest::newRow("lone CRs, lone LFs, empty lines")
                << QStringLiteral("\r\r\n\n\rA\n\r\n\r\nB\r");
        QTest::newRow("NBSP, DEL, NUL, TAB")
                << QStringLiteral("a\u00A0b\u007Fc") + QChar(u'\0') + QStringLiteral("d\te\u00FF");
    }

    void readsBackExactly()
    {
        QFETCH(QString, text);
        ByteTextBox box;
        box.resize(385, 73);
        box.show();
        box.setText(text);
        QCOMPARE(box.text(), text);

        // While a long text still fills the document, as well as after; then as a loop of
        // exchanges sets it, emptied first and shown again, and after another text.
        for (int pass = 0; pass < 4; ++pass) {
            QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(&box);
            QVERIFY(accessible && accessible->textInterface());
            QAccessibleTextInterface *reader = accessible->textInterface();
            QCOMPARE(reader->characterCount(), int(text.size()));
            QCOMPARE(reader->text(0, int(text.size())), text);
            QCOMPARE(accessible->text(QAccessible::Value), text);
            QCOMPARE(clipboardAfter(box, pass == 0), text);

            const qsizetype from = offPair(text, text.size() / 3);
            const qsizetype to = offPair(text, 2 * text.size() / 3);
            reader->setSelection(0, int(from), int(to));
            int start = -1, end = -1;
            reader->selection(0, &start, &end);
            QCOMPARE(start, int(from));
            QCOMPARE(end, int(to));
            box.copy();
            QCOMPARE(QGuiApplication::clipboard()->text(), text.mid(from, to - from));
            waitUntilFull(box);
            if (pass == 1 || pass == 2) {
                if (pass == 2)
                    box.setText(QStringLiteral("Sent *IDN?"));
                box.setText(QString());
                box.setText(text);
                box.setText(text);
            }
        }
    }

    // A text shown again comes back in its old document, which must look like the box now.
    void textShownAgainTakesTheBoxFont()
    {
        ByteTextBox box;
        box.setText(QStringLiteral("VELK,QSIM-488"));
        box.setText(QString());
        box.setFont(QFont(box.font().family(), 24));
        box.setText(QStringLiteral("VELK,QSIM-488"));
        QCOMPARE(box.document()->defaultFont().pointSize(), 24);
    }

    void typingKeepsTheCodesAround_data()
    {
        QTest::addColumn<QString>("before"); // shown before, as by an earlier exchange
        QTest::addColumn<QString>("text");
        QTest::newRow("controls and every kind of break")
                << QString() << QStringLiteral("A\x01\r\nB\rC\nD\x03") + QChar(u'\0');
        QTest::newRow("line broken for drawing")
                << QString() << oneLine(3 * ByteTextBox::kDisplayLineLength + 7);
        QTest::newRow("emptied after a reply") << QStringLiteral("VELK\r\n>") << QString();
    }

    void typingKeepsTheCodesAround()
    {
        QFETCH(QString, before);
        QFETCH(QString, text);
        ByteTextBox box;
        box.show();
        box.setText(before);
        box.setText(text);
        waitUntilFull(box);
        box.setFocus();
        QTest::keyClick(&box, Qt::Key_End, Qt::ControlModifier);
        QTest::keyClick(&box, Qt::Key_X);
        QCOMPARE(box.text(), text + u'x');
        // The accessibility interface edits the same text.
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(&box);
        accessible->editableTextInterface()->insertText(1, QStringLiteral("\r\n"));
        const QString typed = text + u'x';
        QCOMPARE(box.text(), typed.left(1) + QStringLiteral("\r\n") + typed.mid(1));
    }

    // Emptied after a reply, the box draws as a box that never held one.
    void emptiedDrawsEmpty()
    {
        ByteTextBox emptied, never;
        for (ByteTextBox *box : {&emptied, &never}) {
            box->resize(385, 73);
            box->show();
        }
        emptied.setText(QStringLiteral("VELK,QSIM-488,SN0000012345"));
        QVERIFY(QTest::qWaitForWindowExposed(&emptied));
        emptied.setText(QString());
        never.setText(QString());
        QCOMPARE(emptied.grab().toImage(), never.grab().toImage());
    }

    void longReplyMemory()
    {
#ifdef __SANITIZE_ADDRESS__
        // The sanitizer keeps freed memory in quarantine and shadows all of it: resident memory
        // then measures the sanitizer, not the box.
        QSKIP("resident memory means nothing under AddressSanitizer");
#endif
        ByteTextBox box;
        box.resize(385, 73);
        box.show();
        QApplication::processEvents();
        ::malloc_trim(0);
        const double idle = residentMiB();
        const qsizetype size = 16 * 1024 * 1024;
        box.setText(oneLine(size));
        waitUntilFull(box);
        box.viewport()->repaint();
        const double shown = residentMiB() - idle;
        QVERIFY2(shown < 4.0 * double(size) / 1048576.0,
                qPrintable(QStringLiteral("%1 MiB above idle").arg(shown)));
    }
};

QUILLON_TEST_MAIN(ResultsBoxTest)
#include "test_resultsbox.moc"
