// An operator gone wild: thousands of random clicks, keys and texts, with both loops running at
// 100 ms against a slow device. Nothing may crash, no exchange may nest, and the loop count
// must stay consistent. The seed is printed; QUILLON_ABUSE_SEED repeats a run.

#include "line/port/serialcontrol.h"
#include "simprocess.h"
#include "testmain.h"
#include "windowdriver.h"
#include "windows/views/bytetextbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QRandomGenerator>

using namespace WindowDriver;

class AbuseTest : public QObject
{
    Q_OBJECT

private slots:
    void randomOperator()
    {
        const quint32 seed = qEnvironmentVariableIsSet("QUILLON_ABUSE_SEED")
                ? quint32(qEnvironmentVariableIntValue("QUILLON_ABUSE_SEED"))
                : 20261207u;
        const int events = 3000;
        qInfo("abuse: seed %u, %d events", seed, events);
        QRandomGenerator random(seed);

        SimProcess sim({"--delay", "30"});
        QVERIFY(sim.ready());
        frmMain w;
        w.show();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        click(&w, "optTime_0");
        control<QComboBox>(&w, "combCmd")->setEditText("*STB?");
        click(&w, "cmdCmdtst");
        click(&w, "cmdIDNTst");

        int depth = 0, deepest = 0;
        connect(&w, &frmMain::exchangeStarted, this, [&] { deepest = qMax(deepest, ++depth); });
        connect(&w, &frmMain::exchangeFinished, this, [&] { --depth; });

        // The count moves by one per tick, or goes back to 0; the box shows it.
        qint64 lastCount = 0;
        int countJumps = 0;
        auto checkCount = [&] {
            const qint64 now = w.loops().LpCount();
            if (now != lastCount && now != lastCount + 1 && now != 0)
                ++countJumps;
            auto *box = control<QLineEdit>(&w, "txtCount");
            if (box->isVisibleTo(&w) && now != 0 && box->text() != QString::number(now))
                ++countJumps;
            lastCount = now;
        };
        connect(w.timer(), &QTimer::timeout, this, checkCount);

        const QStringList buttons = {"cmdSend", "cmdRead", "cmdRST", "cmdCLS", "cmdE", "cmdF",
                "cmdSet", "cmdIDNTst", "cmdIDNtstoff", "cmdCmdtst", "cmdCmdtstoff", "optProt_0",
                "optProt_1", "optProt_2", "optTime_0", "optTime_1", "optTime_2", "optTime_3",
                "optTime_4", "ckCR", "ckLF", "ckAuto", "ckRead", "ckPrompt", "ckDispAll",
                "ckByteCnt"};
        const QStringList commands = {"*IDN?", "*RST", "*CLS", "*ESR?", "*STB?", "*OPC?", "", "?",
                ">", QStringLiteral("*IDN\u20ac"), QString(2000, u'Z')};
        auto randomText = [&] {
            QString text;
            const int length = random.bounded(12);
            for (int i = 0; i < length; ++i)
                text += QChar(char16_t(random.bounded(random.bounded(10) == 0 ? 0x3000 : 256)));
            return text;
        };

        int done = 0, initializes = 0;
        // Two hands: a timer does not fire again while its own handler waits, and an operator
        // keeps clicking while a Send they started is waiting.
        QTimer leftHand, rightHand;
        auto act = [&] {
            if (done >= events || QApplication::activeModalWidget())
                return; // nobody can reach the main window while the port window is up
            ++done;
            checkCount();
            const int pick = random.bounded(100);
            if (pick < 60) {
                click(&w, buttons[random.bounded(buttons.size())]);
            } else if (pick < 75) {
                control<QComboBox>(&w, "combCmd")
                        ->setEditText(random.bounded(3) ? commands[random.bounded(commands.size())]
                                                        : randomText());
            } else if (pick < 85) {
                QTest::keyClick(control<QComboBox>(&w, "combCmd"), Qt::Key_Return);
            } else if (pick < 97) {
                const QStringList addresses
                        = {"4", "12", "15", "14", "0", "00", "-3", "9.5", "&HF", "", "x"};
                control<QLineEdit>(&w, "txtAddr")
                        ->setText(random.bounded(2) ? addresses[random.bounded(addresses.size())]
                                                    : randomText());
            } else if (pick < 99) {
                w.cmdSet_Click();
            } else {
                ++initializes;
                initializeOn(w, 1, int(random.bounded(7)));
            }
        };
        for (QTimer *hand : {&leftHand, &rightHand}) {
            hand->setInterval(2);
            connect(hand, &QTimer::timeout, this, act);
            hand->start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(done >= events, 240000);
        leftHand.stop();
        rightHand.stop();

        // Calm down, then the program must still do a plain exchange.
        click(&w, "cmdIDNtstoff");
        click(&w, "cmdCmdtstoff");
        QTRY_VERIFY_WITH_TIMEOUT(!w.exchangeInProgress(), 10000);
        qInfo("abuse: %d events, %d initializations, deepest exchange nesting %d", done,
                initializes, deepest);
        QCOMPARE(deepest, 1);
        QCOMPARE(countJumps, 0);
        QCOMPARE(w.loops().LpCount(), 0);

        initializeOn(w, 1, 2);
        QVERIFY(w.serial()->PortOpen());
        click(&w, "optProt_0");
        click(&w, "cmdF"); // echo off, in case a random CNTL-E turned it on
        for (const char *name : {"ckCR", "ckRead", "ckDispAll", "ckByteCnt"})
            control<QCheckBox>(&w, name)->setChecked(false);
        for (const char *name : {"ckLF", "ckAuto", "ckPrompt"})
            control<QCheckBox>(&w, name)->setChecked(true);
        QTest::qWait(200);
        control<QComboBox>(&w, "combCmd")->setEditText("*IDN?");
        w.cmdSend_Click();
        QCOMPARE(control<ByteTextBox>(&w, "txtResults")->text(),
                QStringLiteral("VELK,QSIM-488,0,1.0"));
    }
};

QUILLON_TEST_MAIN(AbuseTest)
#include "test_abuse.moc"
