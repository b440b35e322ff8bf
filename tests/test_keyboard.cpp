// Keyboard use: Tab walks both windows in the layout's order, Space presses the focused button.

#include "line/port/serialcontrol.h"
#include "ptydevice.h"
#include "testmain.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>

using namespace WindowDriver;

namespace {
// Presses Tab from the window's first control and lists where the focus lands, once round.
QStringList tabWalk(QWidget *window, QWidget *first)
{
    first->setFocus(Qt::TabFocusReason);
    QStringList visited;
    for (int i = 0; i < 60; ++i) {
        QWidget *focus = QApplication::focusWidget();
        if (!focus)
            break;
        // The command box's focus sits in its line edit.
        QWidget *named = focus->objectName().isEmpty() || focus->objectName().startsWith("qt_")
                ? focus->parentWidget()
                : focus;
        if (!visited.isEmpty() && named->objectName() == visited.first())
            break;
        visited << named->objectName();
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    Q_UNUSED(window);
    return visited;
}
} // namespace

class KeyboardTest : public QObject
{
    Q_OBJECT

private slots:
    void tabWalksTheMainWindow()
    {
        PtyDevice device;
        device.bindTo(1);
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        initializeOn(w, 1); // every device button enabled
        w.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &w);
        const QStringList expected = {"cmdInit", "txtAddr", "cmdSet", "cmdE", "cmdF", "cmdExit",
                "txtResults", "cmdRead", "ckAuto", "ckByteCnt", "ckDispAll", "combCmd", "cmdSend",
                "cmdRST", "cmdCLS", "cmdIDNTst", "cmdIDNtstoff", "cmdCmdtst", "cmdCmdtstoff",
                "ckCR", "ckLF", "optTime_3", "optProt_0", "ckPrompt", "ckRead"};
        // The hidden error box and the hidden loop count are skipped; an option group is one stop.
        QCOMPARE(tabWalk(&w, control<QWidget>(&w, "cmdInit")), expected);
    }

    void tabWalksThePortWindow()
    {
        frmMain w;
        frmPorts *ports = w.portsWindow();
        ports->show();
        QVERIFY(QTest::qWaitForWindowActive(ports));
        const QStringList expected
                = {"optBaud_2", "cmdCOM1", "cmdCOM2", "cmdCOM3", "cmdCOM4", "cmdExit"};
        QCOMPARE(tabWalk(ports, control<QWidget>(ports, "optBaud_2")), expected);
        ports->hide();
    }

    void spaceAndEnterPressTheFocusedButton()
    {
        PtyDevice device;
        device.bindTo(1);
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        initializeOn(w, 1);
        w.activateWindow();
        QTRY_COMPARE(QApplication::activeWindow(), &w);
        auto *runLoop = control<QWidget>(&w, "cmdIDNTst");
        runLoop->setFocus(Qt::TabFocusReason);
        QTest::keyClick(runLoop, Qt::Key_Space);
        QCOMPARE(w.loops().IDNTestFlg(), 1);
        auto *stopLoop = control<QWidget>(&w, "cmdIDNtstoff");
        stopLoop->setFocus(Qt::TabFocusReason);
        QTest::keyClick(stopLoop, Qt::Key_Return);
        QCOMPARE(w.loops().IDNTestFlg(), 0);
        // Enter with the focus on an option presses nothing.
        auto *option = control<QWidget>(&w, "optProt_0");
        option->setFocus(Qt::TabFocusReason);
        QTest::keyClick(option, Qt::Key_Return);
        QCOMPARE(w.loops().IDNTestFlg(), 0);
        QCOMPARE(device.received(), QByteArray());
    }
};

QUILLON_TEST_MAIN(KeyboardTest)
#include "test_keyboard.moc"
