// Port selection, Initialize and Exit, over pseudo-terminals.

#include "line/port/serialcontrol.h"
#include "ptydevice.h"
#include "recordedwindow.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/views/bytetextbox.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleEditableTextInterface>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/resource.h>

using namespace WindowDriver;

namespace {

const QStringList kDeviceButtons = {"cmdE", "cmdF", "cmdSet", "cmdSend", "cmdRead", "cmdRST",
        "cmdCLS", "cmdIDNTst", "cmdIDNtstoff", "cmdCmdtst", "cmdCmdtstoff"};

QString errorText(frmMain &w)
{
    return control<QPlainTextEdit>(&w, "txtError")->toPlainText();
}

bool deviceButtonsEnabled(frmMain &w, bool enabled)
{
    for (const QString &name : kDeviceButtons)
        if (control<QWidget>(&w, name)->isEnabled() != enabled)
            return false;
    return true;
}

// Records the order in which buttons become enabled.
class EnableRecorder : public QObject
{
public:
    QStringList order;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::EnabledChange && static_cast<QWidget *>(watched)->isEnabled())
            order << watched->objectName();
        return false;
    }
};

} // namespace

class PortSetupTest : public QObject
{
    Q_OBJECT

private slots:
    void noPortEverChosen()
    {
        frmMain w;
        QSignalSpy beeps(&w, &frmMain::beeped);
        initialize(w, [](frmPorts *ports) { click(ports, "optBaud_4"); });
        QCOMPARE(errorText(w), QStringLiteral("No COM Port Selected"));
        QVERIFY(errorShown(&w));
        QCOMPARE(beeps.size(), 1);
        QVERIFY(deviceButtonsEnabled(w, false));
        QVERIFY(!w.serial()->PortOpen());
        QCOMPARE(w.portsWindow()->choice().comPort, 0);
        QCOMPARE(w.portsWindow()->choice().commSettings, QStringLiteral("38400,N,8,1"));
    }

    void opensTheChosenPortAndEnablesButtonsInOrder()
    {
        PtyDevice device;
        device.bindTo(1);
        frmMain w;
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        EnableRecorder recorder;
        for (const QString &name : kDeviceButtons)
            control<QWidget>(&w, name)->installEventFilter(&recorder);
        control<ByteTextBox>(&w, "txtResults")->setText("old results");
        QSignalSpy beeps(&w, &frmMain::beeped);

        // The baud rate chosen after the COM button is the one used.
        initializeOn(w, 1, 0);
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(w.serial()->CommPort(), 1);
        QCOMPARE(w.serial()->Settings(), QStringLiteral("2400,N,8,1"));
        QCOMPARE(device.outputBaud(), 2400);
        QVERIFY(device.rawEightN1());
        QCOMPARE(recorder.order, kDeviceButtons);
        QCOMPARE(control<ByteTextBox>(&w, "txtResults")->text(), QString());
        QVERIFY(!errorShown(&w));
        QCOMPARE(beeps.size(), 0); // a pty's missing modem lines are not worth a word
        QTRY_VERIFY2(control<QComboBox>(&w, "combCmd")->hasFocus(),
                qPrintable(QApplication::focusWidget()
                                ? QApplication::focusWidget()->objectName() + " in "
                                        + QApplication::focusWidget()->window()->objectName()
                                : QString("none")));
        // Set Address is enabled even under "Off(none)".
        QVERIFY(control<QWidget>(&w, "cmdSet")->isEnabled());
        QVERIFY(control<QAbstractButton>(&w, "optProt_0")->isChecked());
    }

    void secondInitializeClosesFirstAndKeepsChoices()
    {
        PtyDevice one, two;
        one.bindTo(1);
        two.bindTo(2);
        frmMain w;
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        one.onReceived = [&](const QByteArray &) { one.send(">"); };
        control<QComboBox>(&w, "combCmd")->setEditText("*CLS");
        w.cmdSend_Click();
        QVERIFY(one.waitForReceived(5));

        bool closedWhileChoosing = false;
        int baudShown = -1;
        initialize(w, [&](frmPorts *ports) {
            closedWhileChoosing = !w.serial()->PortOpen();
            for (int i = 0; i < 7; ++i)
                if (control(ports, QStringLiteral("optBaud_%1").arg(i))->isChecked())
                    baudShown = i;
            click(ports, "optBaud_3"); // 19200, no COM button: same port again
        });
        QVERIFY(closedWhileChoosing);
        QCOMPARE(baudShown, 2);
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(w.serial()->CommPort(), 1);
        QCOMPARE(one.outputBaud(), 19200);
        // The previous command is forgotten: an empty Send has nothing to repeat.
        one.clearReceived();
        control<QComboBox>(&w, "combCmd")->setEditText(QString());
        w.cmdSend_Click();
        QCOMPARE(errorText(w), QStringLiteral("Nothing to send"));
        QTest::qWait(50);
        QCOMPARE(one.received(), QByteArray());

        // Another port: the old one is free again while the window is shown.
        bool oldPortFree = false;
        initialize(w, [&](frmPorts *ports) {
            SerialControl other;
            other.setCommPort(1);
            oldPortFree = other.setPortOpen(true);
            click(ports, "cmdCOM1");
            click(ports, "cmdCOM2"); // the last one pressed wins
        });
        QVERIFY(oldPortFree);
        QCOMPARE(w.serial()->CommPort(), 2);
        QCOMPARE(w.serial()->devicePath(), two.path());
        QCOMPARE(two.outputBaud(), 19200);
    }

    void baudChoiceReachesTheLine_data()
    {
        QTest::addColumn<SelectBy>("way");
        for (SelectBy way : {SelectBy::Mouse, SelectBy::SpaceKey, SelectBy::ArrowKey,
                     SelectBy::Accessibility, SelectBy::Code})
            QTest::addRow("%s", selectByName(way)) << way;
    }

    void baudChoiceReachesTheLine()
    {
        QFETCH(SelectBy, way);
        PtyDevice device;
        device.bindTo(1);
        frmMain w;
        initialize(w, [way](frmPorts *ports) {
            QVERIFY(QTest::qWaitForWindowExposed(ports));
            click(ports, "cmdCOM1");
            click(ports, "optBaud_5"); // arrow keys move the selection from the selected option
            select(ports, "optBaud_6", way, "optBaud_5");
        });
        QCOMPARE(w.portsWindow()->choice().commSettings, QStringLiteral("115200,N,8,1"));
        // The button says which device it opens to those who cannot see the binding.
        QCOMPARE(control(w.portsWindow(), "cmdCOM1")->accessibleDescription(),
                "Opens " + device.path());
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(device.outputBaud(), 115200);
    }

    void portWindowKeysPressOnlyTheFocusedButton()
    {
        PtyDevice device;
        device.bindTo(1);
        frmMain w;
        QSignalSpy beeps(&w, &frmMain::beeped);
        // A first Initialize: Enter and Esc on a baud option neither choose COM 1 nor leave.
        initialize(w, [](frmPorts *ports) {
            QVERIFY(QTest::qWaitForWindowActive(ports));
            // The focus starts on the baud rate in force, so Space cannot change it by surprise.
            QCOMPARE(ports->focusWidget(), control<QWidget>(ports, "optBaud_2"));
            for (const char *button : {"cmdCOM1", "cmdCOM2", "cmdCOM3", "cmdCOM4", "cmdExit"})
                QVERIFY2(!control<QPushButton>(ports, button)->isDefault(), button);
            select(ports, "optBaud_3", SelectBy::ArrowKey, "optBaud_2");
            select(ports, "optBaud_4", SelectBy::ArrowKey, "optBaud_3");
            QTest::keyClick(control(ports, "optBaud_4"), Qt::Key_Return);
            QTest::keyClick(control(ports, "optBaud_4"), Qt::Key_Escape);
            QVERIFY(ports->isVisible());
            QCOMPARE(ports->choice().comPort, 0);
            for (const char *button : {"cmdCOM1", "cmdCOM2", "cmdCOM3", "cmdCOM4", "cmdExit"})
                QVERIFY2(!control<QPushButton>(ports, button)->isDefault(), button);
        });
        QCOMPARE(errorText(w), QStringLiteral("No COM Port Selected"));
        QCOMPARE(beeps.size(), 1);
        QVERIFY(!w.serial()->PortOpen());

        // Enter on a focused button presses that button: COM 3, then the return button.
        device.bindTo(3);
        initialize(w, [](frmPorts *ports) {
            QCOMPARE(ports->focusWidget(), control<QWidget>(ports, "optBaud_4"));
            control(ports, "cmdCOM3")->setFocus();
            QTest::keyClick(control(ports, "cmdCOM3"), Qt::Key_Return);
            control(ports, "cmdExit")->setFocus();
            QTest::keyClick(control(ports, "cmdExit"), Qt::Key_Enter, Qt::KeypadModifier);
        });
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(w.serial()->CommPort(), 3);
        QCOMPARE(device.outputBaud(), 38400);
    }

    void nothingBehindThePortWindowActsThroughAccessibility()
    {
        PtyDevice one, two;
        one.bindTo(1);
        two.bindTo(2);
        frmMain w;
        w.show();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        auto *command = control<QComboBox>(&w, "combCmd");
        command->setEditText("*IDN?");
        const auto act = [&](const QString &name, const QString &action) {
            QAccessibleInterface *accessible
                    = QAccessible::queryAccessibleInterface(control<QWidget>(&w, name));
            QVERIFY(accessible && accessible->actionInterface());
            accessible->actionInterface()->doAction(action);
        };
        const auto type = [](QWidget *box, const QString &text) {
            QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(box);
            QVERIFY(accessible && accessible->editableTextInterface());
            accessible->editableTextInterface()->insertText(0, text);
        };
        const QStringList checks = {"ckCR", "ckLF", "ckRead", "ckAuto", "ckByteCnt", "ckDispAll",
                "ckPrompt", "optProt_0", "optProt_2", "optTime_3", "optTime_0"};
        QList<bool> before;
        for (const QString &name : checks)
            before << control(&w, name)->isChecked();

        QList<bool> during;
        QString commandDuring, addressDuring;
        initialize(w, [&](frmPorts *ports) {
            click(ports, "cmdCOM2");
            click(ports, "optBaud_3");
            for (const QString &name : QStringList{"cmdInit", "cmdSend", "cmdRead", "cmdSet",
                         "cmdCLS", "cmdRST", "cmdE", "cmdF", "cmdIDNTst", "cmdCmdtst"})
                act(name, QAccessibleActionInterface::pressAction());
            for (const QString &name : checks)
                act(name, QAccessibleActionInterface::toggleAction());
            type(command->lineEdit(), "*RST;");
            type(control<QLineEdit>(&w, "txtAddr"), "7");
            QTest::qWait(300); // a press acts after Qt's 100 ms click animation
            for (const QString &name : checks)
                during << control(&w, name)->isChecked();
            commandDuring = command->currentText();
            addressDuring = control<QLineEdit>(&w, "txtAddr")->text();
            // The port window's own controls still answer.
            QAccessibleInterface *com3
                    = QAccessible::queryAccessibleInterface(control<QWidget>(ports, "cmdCOM3"));
            com3->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
            QTest::qWait(300);
            QCOMPARE(ports->choice().comPort, 3);
            click(ports, "cmdCOM2");
        });
        QCOMPARE(during, before);
        QCOMPARE(commandDuring, QStringLiteral("*IDN?"));
        QCOMPARE(addressDuring, QString());
        // What was chosen in the port window is what is open, and nothing reached either line.
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(w.serial()->CommPort(), 2);
        QCOMPARE(two.outputBaud(), 19200);
        QTest::qWait(100);
        QCOMPARE(one.received(), QByteArray());
        QCOMPARE(two.received(), QByteArray());

        // Once the port window is gone the same actions act again.
        act("ckCR", QAccessibleActionInterface::toggleAction());
        QCOMPARE(control(&w, "ckCR")->isChecked(), !before[0]);
    }

    void readOnlyBoxesTakeNoTextThroughAccessibility()
    {
        frmMain w;
        w.show();
        auto *error = control<QPlainTextEdit>(&w, "txtError");
        error->setPlainText("No COM Port Selected");
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(error);
        QVERIFY(accessible && accessible->textInterface());
        QCOMPARE(accessible->textInterface()->text(0, 6), QStringLiteral("No COM"));
        QCOMPARE(accessible->editableTextInterface(), nullptr);
        QVERIFY(accessible->state().readOnly);
        accessible->setText(QAccessible::Value, "forged");
        QCOMPARE(error->toPlainText(), QStringLiteral("No COM Port Selected"));

        // A read-only one-line box likewise, and an editable one does take text.
        auto *count = control<QLineEdit>(&w, "txtCount");
        count->setReadOnly(true);
        count->setText("12");
        QAccessibleInterface *countAccessible = QAccessible::queryAccessibleInterface(count);
        QCOMPARE(countAccessible->editableTextInterface(), nullptr);
        countAccessible->setText(QAccessible::Value, "99");
        QCOMPARE(count->text(), QStringLiteral("12"));
        QAccessibleInterface *address
                = QAccessible::queryAccessibleInterface(control<QLineEdit>(&w, "txtAddr"));
        QVERIFY(address->editableTextInterface());
        address->editableTextInterface()->insertText(0, "5");
        QCOMPARE(control<QLineEdit>(&w, "txtAddr")->text(), QStringLiteral("5"));
    }

    void transcriptFailureIsSaidOnceWithOneBeep()
    {
        PtyDevice device;
        device.bindTo(1);
        RecordedWindow recorded;
        QVERIFY(recorded.start());
        frmMain &w = recorded.window();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy beeps(&w, &frmMain::beeped);
        struct rlimit unlimited
        {
        };
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        struct rlimit full = unlimited;
        full.rlim_cur = rlim_t(QFileInfo(recorded.transcriptPath()).size());
        ::setrlimit(RLIMIT_FSIZE, &full);
        for (int i = 0; i < 5; ++i)
            QVERIFY(w.serial()->Output("*CLS\n")); // the line itself goes on working
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        QCOMPARE(beeps.size(), 1);
        QVERIFY2(shownError(&w).startsWith("The transcript ")
                        && shownError(&w).contains("(File too large)"),
                qPrintable(shownError(&w)));
        QVERIFY(device.waitForReceived(25));
        QCOMPARE(device.received(), QByteArray("*CLS\n").repeated(5));
        QVERIFY(w.serial()->Output("*RST\n"));
        const QByteArray content = recorded.transcriptText();
        QVERIFY(content.contains("\n# 5 lines missing here, from "));
        QVERIFY(content.endsWith("COM1 sent 5 bytes: 2A 52 53 54 0A  \"*RST\\n\"\n"));
    }

    void titleBarCloseLeavesLikeReturn()
    {
        PtyDevice device;
        device.bindTo(3);
        frmMain w;
        initialize(w, [](frmPorts *ports) {
            click(ports, "cmdCOM3");
            ports->close();
        });
        QVERIFY(!w.portsWindow()->isVisible());
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(w.serial()->CommPort(), 3);
    }

    void timerKeepsTickingWhileChoosing()
    {
        frmMain w;
        w.timer()->setInterval(50);
        QSignalSpy ticks(w.timer(), &QTimer::timeout);
        initialize(w, [](frmPorts *) { QTest::qWait(400); });
        QVERIFY2(ticks.size() >= 4, qPrintable(QString::number(ticks.size())));
    }

    void failedOpenStopsInitialize_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << "/dev/quillon-missing"
                                 << "No such device";
        QTest::newRow("not serial") << "/dev/null"
                                    << "Not a serial device.";
    }

    void failedOpenStopsInitialize()
    {
        QFETCH(QString, device);
        QFETCH(QString, reason);
        qputenv("QUILLON_COM2", device.toLocal8Bit());
        frmMain w;
        QSignalSpy beeps(&w, &frmMain::beeped);
        initializeOn(w, 2);
        QVERIFY(!w.serial()->PortOpen());
        QVERIFY(errorShown(&w));
        QVERIFY(errorText(w).startsWith(
                QStringLiteral("Cannot open COM 2 (%1): %2").arg(device, reason)));
        QCOMPARE(beeps.size(), 1);
        QVERIFY(deviceButtonsEnabled(w, false));
    }

    void unplugWhileOpen()
    {
        auto device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        frmMain w;
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy beeps(&w, &frmMain::beeped);
        device->hangUp();
        QTRY_VERIFY(!w.serial()->PortOpen());
        QTest::qWait(100);
        QCOMPARE(beeps.size(), 1);
        QVERIFY(errorShown(&w));
        // The full device path, and what happened rather than an error left over from setup.
        QCOMPARE(errorText(w),
                QStringLiteral(
                        "COM 1 (%1) was lost: the device went away or hung up. The port will "
                        "be reopened when the device is back.")
                        .arg(device->path()));
        // Read on the lost port says so, instead of hiding that message behind "Rx buffer empty".
        control<ByteTextBox>(&w, "txtResults")->setText("kept");
        w.cmdRead_Click();
        QCOMPARE(errorText(w),
                QStringLiteral("COM port not open: nothing was read. The port will be reopened "
                               "when the device is back."));
        QVERIFY(errorShown(&w));
        QCOMPARE(beeps.size(), 2);
        QCOMPARE(control<ByteTextBox>(&w, "txtResults")->text(), QStringLiteral("kept"));

        // Back again (a new device at the same binding): Initialize opens it.
        device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        initialize(w);
        QVERIFY(w.serial()->PortOpen());
        QVERIFY(!errorShown(&w));
    }

    void enterBeforeAnyInitialize()
    {
        frmMain w;
        QSignalSpy beeps(&w, &frmMain::beeped);
        control<QComboBox>(&w, "combCmd")->setEditText("*IDN?");
        QTest::keyClick(control<QComboBox>(&w, "combCmd"), Qt::Key_Return);
        QCOMPARE(beeps.size(), 1);
        QVERIFY(errorText(w).startsWith("COM port not open: nothing was sent"));
        QCOMPARE(control<ByteTextBox>(&w, "txtResults")->text(), QString());
        w.cmdRead_Click();
        QCOMPARE(beeps.size(), 2);
        QVERIFY(errorText(w).startsWith("COM port not open: nothing was read"));
        QCOMPARE(control<ByteTextBox>(&w, "txtResults")->text(), QString());
    }

    // Exit ends the process; each case runs in a child copy of this program.
    void exitEndsTheProcess_data()
    {
        QTest::addColumn<QString>("scenario");
        QTest::addColumn<int>("withinMs");
        QTest::newRow("no port ever chosen") << "idle" << 2000;
        QTest::newRow("port open") << "open" << 2000;
        QTest::newRow("during a read's wait") << "waiting" << 2500;
        QTest::newRow("title-bar close") << "close" << 2000;
    }

    void exitEndsTheProcess()
    {
        QFETCH(QString, scenario);
        QFETCH(int, withinMs);
        PtyDevice device;
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUILLON_COM1", device.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        child.setProcessEnvironment(env);
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(), {"--child", scenario});
        QVERIFY(child.waitForFinished(10000));
        const QByteArray output = child.readAllStandardOutput();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QVERIFY2(output.contains("exiting"), output.constData());
        QVERIFY2(!output.contains("still running"), output.constData());
        QVERIFY_IN_TIME(clock.elapsed() < withinMs, qPrintable(QString::number(clock.elapsed())));
    }
};

// What a child does before Exit; anything printed after "exiting" means Exit did not end it.
static int runChild(const QString &scenario)
{
    frmMain w;
    w.show();
    std::printf("exiting\n");
    std::fflush(stdout);
    if (scenario == "idle") {
        w.cmdExit_Click();
    } else if (scenario == "open") {
        initializeOn(w, 1);
        w.cmdExit_Click();
    } else if (scenario == "waiting") {
        initializeOn(w, 1);
        // The device never answers: Read would wait about 3 s for its terminator.
        QTimer::singleShot(200, &w, &frmMain::cmdExit_Click);
        w.cmdRead_Click();
    } else if (scenario == "close") {
        w.close();
    }
    std::printf("still running\n");
    return 3;
}

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    if (argc == 3 && QByteArray(argv[1]) == "--child")
        return runChild(QString::fromLatin1(argv[2]));
    PortSetupTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_portsetup.moc"
