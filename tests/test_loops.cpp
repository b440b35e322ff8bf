// The timer loops, their count, and the quick commands.

#include "hexbytes.h"
#include "line/port/serialcontrol.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/views/bytetextbox.h"
#include "wiredwindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>

#include <utility>

using namespace WindowDriver;

class LoopsTest : public WiredWindowTest
{
    Q_OBJECT

    int idnReceived = 0;
    int lateMs = 0; // the next answer's delay
    QStringList taken; // the count box after each click and tick

    bool shown(const char *name) const
    {
        return control<QWidget>(w.get(), name)->isVisibleTo(w.get());
    }
    QString count() const { return control<QLineEdit>(w.get(), "txtCount")->text(); }

    // What a ticking timer would do, without waiting for it.
    void tick() { w->Timer1_Timer(); }

    void take(const QString &step)
    {
        const QString word = step.section(' ', 0, 0);
        const QString rest = step.section(' ', 1);
        static const QHash<QString, QString> buttons
                = {{"run", "cmdIDNTst"}, {"start", "cmdCmdtst"}, {"stop idn", "cmdIDNtstoff"},
                        {"stop cmd", "cmdCmdtstoff"}, {"read", "cmdRead"}};
        if (word.startsWith('@')) {
            QTimer::singleShot(word.mid(1).toInt(), w.get(), [this, rest] { take(rest); });
        } else if (buttons.contains(step) || word == "tick") {
            QElapsedTimer clock;
            clock.start();
            word == "tick" ? tick() : click(w.get(), buttons[step]);
            // Nothing here waits long: a tick that takes seconds waited for a reply in vain.
            QVERIFY2(clock.elapsed() < 2000, qPrintable(step));
            taken << (shown("txtCount") ? count() : "-");
        } else if (word == "type") {
            command()->setEditText(rest);
        } else if (word == "late") {
            lateMs = rest.toInt();
        } else if (word == "answer") {
            device->send("LATE\r\n>", rest.toInt());
        } else if (word == "init") {
            initialize(*w, [this](frmPorts *) {
                take("tick");
                take("tick");
            });
        } else if (word == "reopened") {
            QTRY_VERIFY(w->serial()->PortOpen());
        } else {
            QFAIL(qPrintable("no such step: " + step));
        }
    }

private slots:
    void init()
    {
        openWiredWindow();
        w->timer()->stop(); // the tests tick by hand unless they measure the timer
        idnReceived = 0;
        lateMs = 0;
        taken.clear();
        // An interface that answers each *IDN? with an identity and its prompt.
        device->onReceived = [this](const QByteArray &chunk) {
            const int n = int(chunk.count("*IDN?"));
            idnReceived += n;
            for (int i = 0; i < n; ++i)
                device->send("VELK,QSIM\r\n>", std::exchange(lateMs, 0));
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

    // A loop's story, told in steps: the buttons by their captions' meaning ("run" is the IDN
    // loop's Run Loop, "stop cmd" the command loop's Stop Loop), "tick" a tick of Timer1,
    // "type TEXT" into the command box, "late MS" for the device's next answer, "answer MS" for
    // a reply the device sends unasked, "init" for Initialize with two ticks while the port
    // window shows, "reopened" to wait for the port, and "@MS STEP" for a step taken inside the
    // wait that follows. The trace holds the count box after every click and tick, "-" while
    // it is hidden.
    void loops_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("results");
        QTest::addColumn<QString>("error"); // as shown; empty while hidden
        QTest::addColumn<int>("beeps");
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("label");
        const QString idn = "VELK,QSIM";
        QTest::newRow("run writes the command") << QStringList{"run"} << "-" << QByteArray() << ""
                                                << "" << 0 << "*idn?" << false;
        QTest::newRow("IDN loop counts")
                << QStringList{"run", "tick", "tick", "tick"} << "- 1 2 3"
                << QByteArray("*IDN?\n*IDN?\n*IDN?\n") << idn << "" << 0 << "*IDN?" << true;
        QTest::newRow("both loops send twice and count once") << QStringList{"type *RST", "start",
                "run", "tick", "tick", "stop idn", "tick", "stop cmd",
                "tick"} << "- - 1 2 2 3 - -" << QByteArray("*IDN?\n").repeated(5)
                                                              << idn << "" << 0 << "*IDN?" << false;
        QTest::newRow("start loop needs a command")
                << QStringList{"type", "start", "tick"} << "- -" << QByteArray()
                << "No command specified.  Enter a command before starting the Command Loop"
                << "" << 1 << "" << false;
        QTest::newRow("box emptied while looping")
                << QStringList{"type *CLS", "start", "type", "tick", "tick"} << "- 1 2"
                << QByteArray() << ""
                << "Command box empty" << 2 << "" << true;
        // The tick under way still counts, and shows its count and label once more; the next
        // finds both loops off and hides the count, and only a Stop Loop hides the label.
        QTest::newRow("stop pressed during a tick's wait")
                << QStringList{"run", "late 80", "@30 stop idn", "tick", "tick"} << "- - 1 -"
                << QByteArray("*IDN?\n") << idn << "" << 0 << "*IDN?" << true;
        QTest::newRow("tick during a tick's wait is dropped")
                << QStringList{"run", "late 100", "@20 tick", "@20 tick", "tick"} << "- - - 1"
                << QByteArray("*IDN?\n") << idn << "" << 0 << "*IDN?" << true;
        // Fault caught: ticks stopped counting while the operator's own Send or Read waited,
        // though only a tick's own wait may drop the next one. Their sends are refused.
        QTest::newRow("ticks during the operator's read count")
                << QStringList{"run", "answer 250", "@20 tick", "@60 tick", "@100 tick", "read"}
                << "- 1 2 3 3" << QByteArray() << "LATE"
                << "" << 0 << "*IDN?" << true;
        QTest::newRow("ticks while the port window shows send nothing")
                << QStringList{"run", "init", "tick"} << "- 1 2 3" << QByteArray("*IDN?\n") << idn
                << "" << 0 << "*IDN?" << true;
        // Fault caught: the port window ran inside the tick's wait, so every tick meanwhile was
        // dropped, and the wait went on on the reopened port until it ran out.
        QTest::newRow("Initialize pressed during a tick's wait")
                << QStringList{"type *RST", "start", "run", "late 20000", "@30 init", "tick",
                           "reopened", "tick"}
                << "- - 1 2 3 4" << QByteArray("*IDN?\n").repeated(3) << idn << "" << 0 << "*IDN?"
                << true;
    }

    void loops()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, trace);
        for (const QString &step : steps)
            take(step);
        QCOMPARE(taken.join(' '), trace);
        QTEST(device->received(), "sent");
        QTEST(results(), "results");
        QTEST(shownError(w.get()), "error");
        QTEST(int(beeps->size()), "beeps");
        QTEST(command()->currentText(), "box");
        QTEST(shown("lblCount"), "label");
    }

    void runningTimerDrivesTheLoop()
    {
        click(w.get(), "optTime_0");
        click(w.get(), "cmdIDNTst");
        w->timer()->start();
        QTRY_VERIFY_WITH_TIMEOUT(w->loops().LpCount() >= 5, 3000);
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
