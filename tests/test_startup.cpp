// The state every control and field is in when the main window first appears.

#include "testmain.h"
#include "windows/forms/frmmain.h"
#include "windows/forms/frmports.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <limits>

#include "windows/views/bytetextbox.h"

namespace {
QString textOf(QWidget *w)
{
    if (auto *box = qobject_cast<ByteTextBox *>(w))
        return box->text();
    if (auto *edit = qobject_cast<QPlainTextEdit *>(w))
        return edit->toPlainText();
    if (auto *line = qobject_cast<QLineEdit *>(w))
        return line->text();
    if (auto *combo = qobject_cast<QComboBox *>(w))
        return combo->currentText();
    return {};
}
} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<int>("checked"); // -1: not a check box or option
        QTest::addColumn<QString>("text");

        QTest::newRow("txtRev") << "txtRev" << true << true << -1 << "Revised 11-20-2015";
        QTest::newRow("txtError") << "txtError" << false << false << -1 << "";
        QTest::newRow("txtResults") << "txtResults" << true << true << -1 << "";
        QTest::newRow("combCmd") << "combCmd" << true << true << -1 << "";
        QTest::newRow("txtAddr") << "txtAddr" << true << true << -1 << "";
        QTest::newRow("txtCount") << "txtCount" << false << true << -1 << "";
        QTest::newRow("lblCount") << "lblCount" << false << true << -1 << "";
        QTest::newRow("ckCR") << "ckCR" << true << true << 0 << "";
        QTest::newRow("ckLF") << "ckLF" << true << true << 1 << "";
        QTest::newRow("ckAuto") << "ckAuto" << true << true << 1 << "";
        QTest::newRow("ckByteCnt") << "ckByteCnt" << true << true << 0 << "";
        QTest::newRow("ckDispAll") << "ckDispAll" << true << true << 0 << "";
        QTest::newRow("ckPrompt") << "ckPrompt" << true << true << 1 << "";
        QTest::newRow("ckRead") << "ckRead" << true << true << 0 << "";
        QTest::newRow("optProt 0") << "optProt_0" << true << true << 1 << "";
        QTest::newRow("optProt 1") << "optProt_1" << true << true << 0 << "";
        QTest::newRow("optProt 2") << "optProt_2" << true << true << 0 << "";
        for (int i = 0; i < 5; ++i)
            QTest::addRow("optTime %d", i) << QStringLiteral("optTime_%1").arg(i) << true << true
                                           << (i == 3 ? 1 : 0) << "";
        QTest::newRow("cmdInit") << "cmdInit" << true << true << -1 << "";
        QTest::newRow("cmdExit") << "cmdExit" << true << true << -1 << "";
        for (const char *device : {"cmdE", "cmdF", "cmdSet", "cmdSend", "cmdRead", "cmdRST",
                     "cmdCLS", "cmdIDNTst", "cmdIDNtstoff", "cmdCmdtst", "cmdCmdtstoff"})
            QTest::newRow(device) << device << true << false << -1 << "";
    }

    void controls()
    {
        QFETCH(QString, name);
        QFETCH(bool, visible);
        QFETCH(bool, enabled);
        QFETCH(int, checked);
        QFETCH(QString, text);
        frmMain window;
        auto *w = window.findChild<QWidget *>(name);
        QVERIFY(w);
        QCOMPARE(w->isVisibleTo(&window), visible);
        QCOMPARE(w->isEnabled(), enabled);
        if (checked >= 0)
            QCOMPARE(qobject_cast<QAbstractButton *>(w)->isChecked(), checked == 1);
        QCOMPARE(textOf(w), text);
    }

    void stateFields()
    {
        frmMain window;
        const MainState &m = window.state();
        QCOMPARE(m.AddrSetFlg, false);
        QCOMPARE(window.loops().LpCount(), 0);
        QCOMPARE(m.framing.protocol, Framing::Protocol::Off);
        QCOMPARE(m.framing.address, QByteArray("4"));
        QCOMPARE(m.lastCmd, QString());
        QCOMPARE(m.crlf, QStringLiteral("\r\n"));
    }

    void commandListAndTimer()
    {
        frmMain window;
        auto *combo = window.findChild<QComboBox *>("combCmd");
        QStringList items;
        for (int i = 0; i < combo->count(); ++i)
            items << combo->itemText(i);
        QCOMPARE(items, QStringList({"*esr?", "*idn?", "*stb?"}));
        QVERIFY(combo->isEditable());
        QCOMPARE(window.timer()->interval(), 500);
        QVERIFY(window.timer()->isActive());
    }

    void portWindowIsReadyAndHidden()
    {
        frmMain window;
        frmPorts *ports = window.portsWindow();
        QVERIFY(ports);
        QVERIFY(!ports->isVisible());
        QCOMPARE(ports->choice().commSettings, QStringLiteral("9600,N,8,1"));
        QCOMPARE(ports->choice().comPort, 0);
        QVERIFY(ports->findChild<QAbstractButton *>("optBaud_2")->isChecked());
        QVERIFY(!ports->findChild<QWidget *>("txtERROR")->isVisibleTo(ports));
    }

    void noBoxLimitsItsLength()
    {
        frmMain window;
        // Both windows' line edits, the command box's included.
        for (auto *box : window.findChildren<QLineEdit *>())
            QVERIFY2(box->maxLength() == std::numeric_limits<int>::max(),
                    qPrintable(box->parentWidget()->objectName()));
    }

    void noButtonIsTheDefault()
    {
        frmMain window;
        // Both windows' buttons (the port window is a child of the main window).
        for (auto *button : window.findChildren<QPushButton *>())
            QVERIFY2(!button->isDefault(), qPrintable(button->objectName()));
    }
};

QUILLON_TEST_MAIN(StartupTest)
#include "test_startup.moc"
