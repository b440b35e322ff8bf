// The main window against a quillon-sim process: whole exchanges and injected faults.

#include "line/port/serialcontrol.h"
#include "simprocess.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/views/bytetextbox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>

using namespace WindowDriver;

namespace {
const QString kIdentity = QStringLiteral("VELK,QSIM-488,0,1.0");
const QString kPromptMissing = QStringLiteral(
        "Prompt not found. Uncheck Next Msg Prompt box if communicating with a non-Velk device");
} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<frmMain> w;
    std::unique_ptr<QSignalSpy> beeps;

    QString results() const { return resultsText(w.get()); }
    QString error() const { return shownError(w.get()); }
    void protocol(int index, const QString &address = "4")
    {
        click(w.get(), QStringLiteral("optProt_%1").arg(index));
        control<QLineEdit>(w.get(), "txtAddr")->setText(address);
        w->cmdSet_Click();
    }
    void send(const QString &command)
    {
        control<QComboBox>(w.get(), "combCmd")->setEditText(command);
        w->cmdSend_Click();
    }

private slots:
    void init()
    {
        w = std::make_unique<frmMain>();
        w->timer()->stop();
        beeps = std::make_unique<QSignalSpy>(w.get(), &frmMain::beeped);
    }

    void cleanup()
    {
        beeps.reset();
        w.reset();
    }

    void identityInEachFraming_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::newRow("Off(none)") << 0;
        QTest::newRow("Addr") << 1;
        QTest::newRow("Packet") << 2;
    }

    void identityInEachFraming()
    {
        QFETCH(int, protocol);
        SimProcess sim;
        QVERIFY(sim.ready());
        initializeOn(*w, 1);
        QVERIFY(w->serial()->PortOpen());
        if (protocol != 0)
            this->protocol(protocol);
        send("*IDN?");
        if (protocol == 2) {
            QVERIFY2(results().startsWith("ACK Packet received\r\nCksum verified, Cksum =  "),
                    qPrintable(results()));
            QVERIFY(results().endsWith("\r\nRespStr= " + kIdentity));
        } else {
            QCOMPARE(results(), kIdentity);
        }
        QCOMPARE(error(), QString());
        QCOMPARE(beeps->size(), 0);
    }

    void registersThroughTheWindow()
    {
        SimProcess sim;
        initializeOn(*w, 1);
        send("*FOO");
        QCOMPARE(error(), QString()); // the prompt came
        send("*ESR?");
        QCOMPARE(results(), QStringLiteral("32"));
        send("*esr?");
        QCOMPARE(results(), QStringLiteral("0"));
        // Echo on: the command comes back in front of the reply.
        w->cmdE_Click();
        QCOMPARE(results(), QStringLiteral("CNTL-E sent"));
        QTest::qWait(20);
        control<QCheckBox>(w.get(), "ckDispAll")->setChecked(true);
        send("*IDN?");
        QCOMPARE(results(), "*IDN?<lf>" + kIdentity + "<cr><lf>>");
    }

    // Each fault: the message the operator sees, the wait within its bound, no crash, and a
    // healthy device works right after (after a new Initialize where the port was lost).
    void faults_data()
    {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("shownStart");
        QTest::addColumn<QString>("errorStart");
        QTest::addColumn<int>("maxMs");
        QTest::newRow("silent") << QStringList{"--silent"} << 0 << "Rx buffer empty"
                                << kPromptMissing << 5500;
        QTest::newRow("no prompt")
                << QStringList{"--no-prompt"} << 0 << kIdentity << kPromptMissing << 2500;
        QTest::newRow("garbage") << QStringList{"--garbage", "--seed", "7"} << 0 << ""
                                 << "" << 1500;
        QTest::newRow("1 MB flood")
                << QStringList{"--flood", "1048576"} << 0 << QString(62, u'#') << "" << 4000;
        QTest::newRow("hang-up mid-reply") << QStringList{"--hangup-after", "1"} << 0 << "VELK,QSIM"
                                           << "COM 1 (" << 2500;
        QTest::newRow("bad checksum") << QStringList{"--bad-checksum"} << 2
                                      << "ACK Packet received\r\nCksum fails\r\nRespStr= "
                                      << "" << 1500;
        QTest::newRow("nak") << QStringList{"--nak"} << 2 << "NAK packet received\r\nCksum verified"
                             << "" << 1500;
        QTest::newRow("2400 baud, 500 ms late")
                << QStringList{"--baud", "2400", "--delay", "500"} << 0 << kIdentity << "" << 2500;
    }

    void faults()
    {
        QFETCH(QStringList, switches);
        QFETCH(int, protocol);
        QFETCH(QString, shownStart);
        QFETCH(QString, errorStart);
        QFETCH(int, maxMs);
        {
            SimProcess sim(switches);
            QVERIFY(sim.ready());
            initializeOn(*w, 1, switches.contains("2400") ? 0 : 2);
            QVERIFY(w->serial()->PortOpen());
            if (protocol != 0)
                this->protocol(protocol);
            control<QCheckBox>(w.get(), "ckByteCnt")->setChecked(true);
            QElapsedTimer clock;
            clock.start();
            send("*IDN?");
            const qint64 took = clock.elapsed();
            QVERIFY_IN_TIME(took < maxMs, qPrintable(QStringLiteral("took %1 ms").arg(took)));
            QVERIFY2(results().startsWith(shownStart), qPrintable(results().left(200)));
            if (errorStart.isEmpty())
                QCOMPARE(error(), QString());
            else
                QVERIFY2(error().startsWith(errorStart), qPrintable(error()));
            if (switches.contains("--flood"))
                QVERIFY2(results().endsWith("Count =  1048579"), qPrintable(results().right(40)));
            QVERIFY(!w->exchangeInProgress());
        }
        // A healthy device on a fresh line.
        SimProcess healthy;
        QVERIFY(healthy.ready());
        initializeOn(*w, 1, 2);
        protocol == 0 ? click(w.get(), "optProt_0") : this->protocol(protocol);
        control<QCheckBox>(w.get(), "ckByteCnt")->setChecked(false);
        send("*IDN?");
        QVERIFY2(results().endsWith(kIdentity), qPrintable(results()));
        QCOMPARE(error(), QString());
    }
};

QUILLON_TEST_MAIN(EndToEndTest)
#include "test_endtoend.moc"
