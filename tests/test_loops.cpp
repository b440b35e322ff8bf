// The timer loops, their count, and the quick commands.

#include "hexbytes.h"
#include "line/serialcontrol.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/bytetextbox.h"
#include "wiredwindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>

using namespace WindowDriver;

class LoopsTest : public WiredWindowTest
{
    Q_OBJECT

    int idnReceived = 0;

    bool shown(const char *name) const
    {
        return control<QWidget>(w.get(), name)->isVisibleTo(w.get());
    }
    QString count() const { return control<QLineEdit>(w.get(), "txtCount")->text(); }

    // What a ticking timer would do, without waiting for it.
    void tick() { w->Timer1_Timer(); }

private slots:
    void init()
    {
        openWiredWindow();
        w->timer()->stop(); // the tests tick by hand unless they measure the timer
        idnReceived = 0;
        // An interface that answers each *IDN? with an identity and its prompt.
        device->onReceived = [this](const QByteArray &chunk) {
            const int n = int(chunk.count("*IDN?"));
            idnReceived += n;
            for (int i = 0; i < n; ++i)
                device->send("VELK,QSIM\r\n>");
            if (chunk.contains("*RST") || chunk.contains("*CLS"))
                device->send(">");
        };
    }

    void cleanup() { closeWiredWindow(); }

    void intervals_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<SelectBy>("way");
        QTest::addColumn<int>("ms");
        const QList<std::pair<const char *, int>> periods = {{"100 ms", 100}, {"200 ms", 200},
                {"300 ms", 300}, {"500 ms", 500}, {"1 sec", 1000}};
        for (int index = 0; index < periods.size(); ++index)
            QTest::addRow("%s", periods[index].first)
                    << index << SelectBy::Mouse << periods[index].second;
        // The other ways of choosing, on the fastest period, where a missed choice shows most.
        for (SelectBy way :
                {SelectBy::SpaceKey, SelectBy::ArrowKey, SelectBy::Accessibility, SelectBy::Code})
            QTest::addRow("100 ms, %s", selectByName(way)) << 0 << way << 100;
    }

    void intervals()
    {
        QFETCH(int, index);
        QFETCH(SelectBy, way);
        QFETCH(int, ms);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        const QString neighbour = QStringLiteral("optTime_%1").arg(index == 0 ? 1 : index - 1);
        click(w.get(), neighbour);
        select(w.get(), QStringLiteral("optTime_%1").arg(index), way, neighbour);
        QCOMPARE(w->timer()->interval(), ms);
        w->optTime_Click(9); // not a member
        QCOMPARE(w->timer()->interval(), ms);
        // The timer really ticks at that period.
        w->timer()->start();
        QSignalSpy ticks(w->timer(), &QTimer::timeout);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(ticks.wait(ms * 3));
        QVERIFY(ticks.wait(ms * 3));
        const qint64 twoTicks = clock.elapsed();
        QVERIFY2(twoTicks >= ms * 2 - 20, qPrintable(QString::number(twoTicks)));
        QVERIFY_IN_TIME(twoTicks < ms * 2 + 250, qPrintable(QString::number(twoTicks)));
    }

    void idnLoopCounts()
    {
        click(w.get(), "cmdIDNTst");
        QCOMPARE(command()->currentText(), QStringLiteral("*idn?"));
        QCOMPARE(w->state().IDNTestFlg, 1);
        QVERIFY(!shown("txtCount")); // shown from the first tick on, not at the start
        for (int i = 1; i <= 3; ++i) {
            tick();
            QCOMPARE(idnReceived, i);
            QCOMPARE(count(), QString::number(i));
            QCOMPARE(command()->currentText(), QStringLiteral("*IDN?"));
            QCOMPARE(results(), QStringLiteral("VELK,QSIM"));
        }
        QVERIFY(shown("txtCount") && shown("lblCount"));
        QCOMPARE(device->received(), QByteArray("*IDN?\n*IDN?\n*IDN?\n"));
    }

    void bothLoopsSendTwiceCountOnce()
    {
        command()->setEditText("*RST");
        click(w.get(), "cmdCmdtst");
        click(w.get(), "cmdIDNTst");
        tick();
        tick();
        QCOMPARE(idnReceived, 4);
        QCOMPARE(w->state().LpCount, 2);
        // Stopping one leaves the count running.
        click(w.get(), "cmdIDNtstoff");
        QVERIFY(shown("txtCount"));
        tick();
        QCOMPARE(w->state().LpCount, 3);
        QCOMPARE(count(), QStringLiteral("3"));
        // Stopping the last hides the count and zeroes it.
        click(w.get(), "cmdCmdtstoff");
        QVERIFY(!shown("txtCount") && !shown("lblCount"));
        QCOMPARE(w->state().LpCount, 0);
        tick();
        QCOMPARE(w->state().LpCount, 0);
        QCOMPARE(idnReceived, 5);
    }

    void startLoopNeedsACommand()
    {
        command()->setEditText("");
        click(w.get(), "cmdCmdtst");
        QCOMPARE(w->state().CMDloopFlg, 0);
        QCOMPARE(beeps->size(), 1);
        QCOMPARE(results(),
                QStringLiteral(
                        "No command specified.  Enter a command before starting the Command Loop"));
        QVERIFY(!shown("txtError"));
    }

    void emptiedBoxWhileLooping()
    {
        command()->setEditText("*CLS");
        click(w.get(), "cmdCmdtst");
        command()->setEditText("");
        tick();
        tick();
        QCOMPARE(beeps->size(), 2);
        QCOMPARE(error(), QStringLiteral("Command box empty"));
        QVERIFY(shown("txtError"));
        QCOMPARE(w->state().LpCount, 2);
        QCOMPARE(device->received(), QByteArray());
    }

    void stopPressedDuringATicksWait()
    {
        click(w.get(), "cmdIDNTst");
        // The device answers late; Stop Loop is pressed while the tick's Send waits.
        device->onReceived = [this](const QByteArray &) {
            QTimer::singleShot(30, w.get(), [this] { click(w.get(), "cmdIDNtstoff"); });
            device->send("LATE\r\n>", 80);
        };
        tick();
        QCOMPARE(w->state().IDNTestFlg, 0);
        // The tick under way still counted and showed its count.
        QCOMPARE(count(), QStringLiteral("1"));
        QVERIFY(shown("txtCount") && shown("lblCount"));
        tick();
        QVERIFY(!shown("txtCount"));
        QVERIFY(shown("lblCount")); // only a Stop Loop hides the label
        QCOMPARE(w->state().LpCount, 0);
    }

    void tickDuringAWaitIsSkipped()
    {
        click(w.get(), "cmdIDNTst");
        int nestedTicks = 0;
        device->onReceived = [this, &nestedTicks](const QByteArray &) {
            if (nestedTicks++ == 0) {
                QTimer::singleShot(20, w.get(), [this] {
                    tick();
                    tick();
                });
                device->send("SLOW\r\n>", 100);
            }
        };
        tick();
        QCOMPARE(nestedTicks, 1);
        QCOMPARE(w->state().LpCount, 1);
        QCOMPARE(device->received(), QByteArray("*IDN?\n"));
    }

    void tickDuringTheOperatorsReadCounts()
    {
        // Fault caught: ticks stopped counting while the operator's own Send or Read waited,
        // though only a tick's own wait may drop the next one. Their sends are refused.
        click(w.get(), "cmdIDNTst");
        device->onReceived = nullptr;
        for (int at : {20, 60, 100})
            QTimer::singleShot(at, w.get(), [this] { tick(); });
        device->send("LATE\r\n>", 250);
        click(w.get(), "cmdRead");
        QCOMPARE(w->state().LpCount, 3);
        QCOMPARE(count(), QStringLiteral("3"));
        QCOMPARE(device->received(), QByteArray());
        QCOMPARE(results(), QStringLiteral("LATE"));
    }

    void closedPortTicksQuietly()
    {
        click(w.get(), "cmdIDNTst");
        // While the port window is shown after Initialize closed the port, ticks go on.
        initialize(*w, [this](frmPorts *) {
            tick();
            tick();
        });
        QCOMPARE(w->state().LpCount, 2);
        QCOMPARE(beeps->size(), 0);
        QCOMPARE(device->received(), QByteArray());
        tick();
        QCOMPARE(device->received(), QByteArray("*IDN?\n"));
    }

    void runningTimerDrivesTheLoop()
    {
        click(w.get(), "optTime_0");
        click(w.get(), "cmdIDNTst");
        w->timer()->start();
        QTRY_VERIFY_WITH_TIMEOUT(w->state().LpCount >= 5, 3000);
        click(w.get(), "cmdIDNtstoff");
        QTRY_COMPARE(idnReceived, int(device->received().count("*IDN?")));
    }

    void controlChars_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("address"); // empty: none committed
        QTest::addColumn<QString>("button");
        QTest::addColumn<QByteArray>("wire");
        QTest::addColumn<QString>("shown");
        QTest::newRow("E off") << 0 << ""
                               << "cmdE" << hex("05") << "CNTL-E sent";
        QTest::newRow("E addr, none set") << 1 << ""
                                          << "cmdE" << hex("02 34 05") << "CNTL-E sent";
        QTest::newRow("F addr 12") << 1 << "12"
                                   << "cmdF" << hex("02 3C 06") << "CNTL-F sent";
        QTest::newRow("E packet") << 2 << "12"
                                  << "cmdE" << hex("05") << "CNTL-E sent";
        QTest::newRow("F off") << 0 << "12"
                               << "cmdF" << hex("06") << "CNTL-F sent";
    }

    void controlChars()
    {
        QFETCH(int, protocol);
        QFETCH(QString, address);
        QFETCH(QString, button);
        QFETCH(QByteArray, wire);
        QFETCH(QString, shown);
        if (!address.isEmpty()) {
            control<QLineEdit>(w.get(), "txtAddr")->setText(address);
            w->cmdSet_Click();
        }
        click(w.get(), QStringLiteral("optProt_%1").arg(protocol));
        command()->setEditText("untouched");
        click(w.get(), button);
        QVERIFY(device->waitForReceived(wire.size()));
        QCOMPARE(device->received().toHex(' '), wire.toHex(' '));
        QCOMPARE(results(), shown);
        QCOMPARE(command()->currentText(), QStringLiteral("untouched"));
        QCOMPARE(w->state().lastCmd, QString());
        QCOMPARE(beeps->size(), 0);
    }

    void controlCharWithPortGoneIsNotReportedSent()
    {
        device->hangUp();
        QTRY_VERIFY(!w->serial()->PortOpen());
        beeps->clear();
        click(w.get(), "cmdE");
        QCOMPARE(results(), QString());
        QVERIFY(error().startsWith("COM port not open"));
        QCOMPARE(beeps->size(), 1);
    }

    void quickCommandsGoThroughSend()
    {
        click(w.get(), "cmdCLS");
        QCOMPARE(command()->currentText(), QStringLiteral("*CLS"));
        QCOMPARE(results(), QStringLiteral("Sent *CLS"));
        w->cmdSend_Click(); // the unchanged box is sent again
        QCOMPARE(device->received(), QByteArray("*CLS\n*CLS\n"));

        // Send *RST while the command loop runs changes the loop's command.
        click(w.get(), "cmdCmdtst");
        tick();
        click(w.get(), "cmdRST");
        tick();
        QCOMPARE(device->received(), QByteArray("*CLS\n*CLS\n*CLS\n*RST\n*RST\n"));
    }

    void enterSendsLikeSend()
    {
        w->show();
        command()->setEditText("*IDN?");
        QTest::keyClick(command(), Qt::Key_Return);
        QCOMPARE(device->received(), QByteArray("*IDN?\n"));
        QCOMPARE(results(), QStringLiteral("VELK,QSIM"));
        QCOMPARE(command()->count(), 3); // Enter adds nothing to the list
        // An empty box repeats the last command, as Send does.
        command()->setEditText("");
        QTest::keyClick(command(), Qt::Key_Enter);
        QCOMPARE(device->received(), QByteArray("*IDN?\n*IDN?\n"));
        QCOMPARE(command()->currentText(), QStringLiteral("*IDN?"));
        // Typing is not completed from the list: "*" stays "*", not "*esr?".
        command()->setEditText("");
        QTest::keyClicks(command(), "*");
        QCOMPARE(command()->currentText(), QStringLiteral("*"));
        QCOMPARE(device->received().size(), 12);
        QTest::keyClick(command(), Qt::Key_Return);
        QVERIFY(device->waitForReceived(14));
        QCOMPARE(device->received().mid(12), QByteArray("*\n"));
        // A key sent straight to the line edit (as input methods do) is handled once as well.
        command()->setEditText("*IDN?");
        QTest::keyClick(command()->lineEdit(), Qt::Key_Return);
        QVERIFY(device->waitForReceived(20));
        QTest::qWait(20);
        QCOMPARE(device->received().mid(14), QByteArray("*IDN?\n"));
    }
};

QUILLON_TEST_MAIN(LoopsTest)
#include "test_loops.moc"
