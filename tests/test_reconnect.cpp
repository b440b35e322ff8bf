// A lost port that comes back is reopened by itself: the simulator hanging up behind a link
// that goes and comes back, a socat relay killed and restarted during a loop, a ser2net server
// restarted, a server that keeps dropping us; and the ways the operator stops the wait.

#include "line/port/portreopener.h"
#include "line/port/serialcontrol.h"
#include "line/transport/linetransport.h"
#include "line/transport/transportregistry.h"
#include "processclock.h"
#include "recordedwindow.h"
#include "serialserver.h"
#include "simprocess.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/views/bytetextbox.h"

#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <sys/resource.h>

using namespace WindowDriver;

namespace {

const QString kIdentity = QStringLiteral("VELK,QSIM-488,0,1.0");

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                       .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)
                       .size());
}

// Lets the event loop run for `ms` without polling, so that the CPU measured meanwhile is the
// program's own.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// CPU of this process over `ms` of idling, in % of a core. The window, the test's own helpers
// and the device processes cost something however quiet the line; what the wait for a device
// adds is measured against the same process idling with its port open.
double idleCpuPercent(int ms)
{
    const double before = cpuSeconds();
    idle(ms);
    return 100.0 * (cpuSeconds() - before) * 1000.0 / ms;
}

// Runs events until `done` or the timeout; the time it took, or -1.
template<typename Done>
qint64 waitUntil(Done done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QTest::qSleep(1);
    }
    return clock.elapsed();
}

// socat between a new pseudo-terminal behind `link` and the simulator's line: what a USB
// adapter or a relay looks like to Quillon. Stopped, its link goes and its line hangs up.
class Relay
{
public:
    Relay(const QString &link, const QString &device) : m_link(link), m_device(device) { }
    ~Relay() { stop(); }
    bool start()
    {
        m_process.start(QStringLiteral("socat"),
                {QStringLiteral("PTY,link=%1,raw,echo=0").arg(m_link),
                        QStringLiteral("OPEN:%1,raw,echo=0").arg(m_device)});
        return m_process.waitForStarted(5000)
                && waitUntil([&] { return QFileInfo::exists(m_link); }, 5000) >= 0;
    }
    // Killed hard, socat leaves its link behind, pointing at a terminal that is gone.
    void stop(bool hard = false)
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        if (hard)
            m_process.kill();
        else
            m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }

private:
    QString m_link;
    QString m_device;
    QProcess m_process;
};

} // namespace

class ReopenTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    QString link() const { return dir.filePath(QStringLiteral("com1")); }
    static void bindCom1(const QString &binding) { qputenv("QUILLON_COM1", binding.toLocal8Bit()); }
    static void startIdnLoop(frmMain &w)
    {
        click(&w, "optTime_0"); // 100 ms
        click(&w, "cmdIDNTst");
    }

private slots:
    void cleanup() { qunsetenv("QUILLON_COM1"); }

    void simulatorHangsUpAndComesBack()
    {
        auto sim = std::make_unique<SimProcess>(
                QStringList{"--link", link(), "--hangup-after", "3"});
        QVERIFY(sim->ready());
        bindCom1(link());
        RecordedWindow recorded;
        QVERIFY(recorded.start());
        frmMain &w = recorded.window();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        QSignalSpy notices(w.serial(), &SerialControl::notice);
        // Read as the notice is shown: the loop's next Send hides the error box again.
        QString shownWithNotice;
        QObject::connect(
                w.serial(), &SerialControl::notice, &w, [&] { shownWithNotice = shownError(&w); });
        startIdnLoop(w);

        // The third answer is cut off: the Read waiting for it ends, the loss is said once.
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, 5000);
        QVERIFY(failures.first().first().toString().startsWith(
                QStringLiteral("COM 1 (%1) was lost").arg(link())));
        QTRY_VERIFY(!QFileInfo::exists(link()));
        QCOMPARE(w.serial()->state(), SerialControl::State::WaitingToReopen);
        // Fault caught: the operator was told to press Initialize, as if nothing would happen.
        w.cmdRead_Click();
        QCOMPARE(shownError(&w),
                "COM port not open: nothing was read. The port will be reopened when the device "
                "is back.");
        auto *count = control<QLineEdit>(&w, "txtCount");
        const int countWhileAway = count->text().toInt();
        QTest::qWait(700);
        QVERIFY(count->text().toInt() >= countWhileAway + 4); // ticks go on, sends are skipped
        QCOMPARE(failures.size(), 1);

        sim = std::make_unique<SimProcess>(QStringList{"--link", link()});
        QVERIFY(sim->ready()); // the link is there
        const qint64 reopenMs = waitUntil([&] { return w.serial()->PortOpen(); }, 3000);
        QVERIFY_IN_TIME(reopenMs >= 0 && reopenMs < 1000, qPrintable(QString::number(reopenMs)));
        const QString back
                = QStringLiteral("COM 1 (%1) is back: reopened at 9600,N,8,1").arg(link());
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first().toString(), back);
        QCOMPARE(shownWithNotice, back);
        // The loop sends again.
        setResults(w);
        QTRY_COMPARE(resultsText(&w), kIdentity);
        QCOMPARE(failures.size(), 1);
        const QByteArray written = recorded.transcriptText();
        QVERIFY2(written.contains(" COM1 reopen \"" + link().toUtf8() + "\" at 9600,N,8,1\n"),
                written.constData());
    }

    // Bound by identity: refused while two lines answer to the pattern, naming both; opened on
    // the one that alone answers to a narrower one; found again when the simulator comes back
    // on another pseudo-terminal.
    void boundByIdentityFoundAgainOnAnotherLine()
    {
        SimProcess bus({"--address", "3,7", "--line-baud", "19200"}, 2);
        // At a rate of their own, each search takes seconds, not a quarter of a minute.
        auto sim = std::make_unique<SimProcess>(QStringList{"--line-baud", "9600"}, 3);
        QVERIFY(bus.ready() && sim->ready());
        bindCom1("idn:VELK,*");
        frmMain w;
        initializeOn(w, 1);
        QTRY_VERIFY_WITH_TIMEOUT(errorShown(&w), 30000);
        QVERIFY(!w.serial()->PortOpen());
        // In the order of their names.
        const QString busSays = bus.path() + " (VELK,QSIM-488,QS0003,1.0 at 19200 baud)";
        const QString simSays = sim->path() + " (VELK,QSIM-488,0,1.0 at 9600 baud)";
        QCOMPARE(shownError(&w),
                "Cannot open COM 1 (idn:VELK,*): Several instruments answer \"*IDN?\" with a "
                "text that matches: "
                        + (bus.path() < sim->path() ? busSays + "; " + simSays
                                                    : simSays + "; " + busSays)
                        + ". Make the pattern narrower, or bind COM 1 to one of them.");

        bindCom1("idn:VELK,QSIM-488,0,*");
        initializeOn(w, 1);
        QTRY_VERIFY_WITH_TIMEOUT(w.serial()->PortOpen(), 30000);
        QSignalSpy notices(w.serial(), &SerialControl::notice);
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        // Another pseudo-terminal for certain: the old one is still in use as it is made.
        auto back = std::make_unique<SimProcess>(QStringList{"--line-baud", "9600"}, 4);
        QVERIFY(back->ready());
        const QString lostLine = sim->path();
        sim.reset();
        // Named as its return is, by its binding and its line.
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY2(failures.first().first().toString().startsWith(
                         "COM 1 (idn:VELK,QSIM-488,0,*, found on " + lostLine + ") was lost"),
                qPrintable(failures.first().first().toString()));
        QTRY_COMPARE_WITH_TIMEOUT(notices.size(), 1, 30000);
        QCOMPARE(notices.first().first().toString(),
                QStringLiteral("COM 1 (idn:VELK,QSIM-488,0,*, found on %1) is back: reopened at "
                               "9600,N,8,1")
                        .arg(back->path()));
        startIdnLoop(w);
        setResults(w);
        QTRY_COMPARE(resultsText(&w), kIdentity);
        for (const char *variable : {"QUILLON_COM2", "QUILLON_COM3", "QUILLON_COM4"})
            qunsetenv(variable);
    }

    void relayRestartedTwentyTimes()
    {
        SimProcess sim;
        QVERIFY(sim.ready());
        Relay relay(link(), sim.path());
        QVERIFY(relay.start());
        bindCom1(link());
        RecordedWindow recorded;
        QVERIFY(recorded.start());
        frmMain &w = recorded.window();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        QSignalSpy notices(w.serial(), &SerialControl::notice);
        auto *count = control<QLineEdit>(&w, "txtCount");
        // The count goes up by one a tick, through every loss and reopening.
        int lastCount = 0;
        int countJumps = 0;
        connect(count, &QLineEdit::textChanged, [&](const QString &text) {
            if (text.toInt() != lastCount + 1)
                ++countJumps;
            lastCount = text.toInt();
        });
        startIdnLoop(w);
        // From the transcript: an answer came since the last reopening (or since the start).
        auto talksSinceReopen = [&] {
            const QByteArray all = recorded.transcriptText();
            const qsizetype reopened = std::max<qsizetype>(0, all.lastIndexOf(" reopen "));
            return all.indexOf("VELK", reopened) >= 0;
        };
        QVERIFY(waitUntil(talksSinceReopen, 3000) >= 0);

        constexpr int kCycles = 20;
        std::vector<double> reopenMs;
        const int descriptorsAtStart = openDescriptors();
        int descriptorsBefore = 0;
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            relay.stop(cycle % 2 == 1);
            QVERIFY2(waitUntil([&] { return failures.size() == cycle + 1; }, 3000) >= 0,
                    qPrintable(QStringLiteral("loss %1 not reported").arg(cycle + 1)));
            idle(300);
            QCOMPARE(failures.size(), cycle + 1); // once
            QVERIFY(!w.serial()->PortOpen());
            QVERIFY(relay.start());
            const qint64 ms = waitUntil([&] { return w.serial()->PortOpen(); }, 3000);
            QVERIFY2(ms >= 0, qPrintable(QStringLiteral("return %1 not reopened").arg(cycle + 1)));
            reopenMs.push_back(double(ms));
            QCOMPARE(notices.size(), cycle + 1);
            // It talks again before the next loss.
            QVERIFY2(waitUntil(talksSinceReopen, 3000) >= 0,
                    qPrintable(QStringLiteral("no answer after return %1").arg(cycle + 1)));
            if (cycle == 0)
                descriptorsBefore = openDescriptors(); // with the directory watch in place
        }
        const int descriptorsAfter = openDescriptors();

        // CPU while the relay is away, the loop stopped: nothing but the watch is left. Side by
        // side with the same window idling on the open port just before.
        click(&w, "cmdIDNtstoff");
        idle(1000);
        const double openPercent = idleCpuPercent(6000);
        relay.stop();
        QTRY_COMPARE(failures.size(), kCycles + 1);
        idle(1000); // the report of the loss is drawn and done with: it is not the waiting
        const double awayPercent = idleCpuPercent(6000) - openPercent;

        std::sort(reopenMs.begin(), reopenMs.end());
        qInfo("relay: %d losses reported, %d reopened; time to reopen after the link was back: "
              "median %.0f ms, max %.0f ms; CPU the wait adds while away %.3f %% of a core (idle "
              "with the port open: %.3f %%); descriptors %d "
              "at the start, %d after the first reopening (the directory watch), %d after the "
              "last; loop count %d, %d jumps",
                int(failures.size()) - 1, int(notices.size()), reopenMs[reopenMs.size() / 2],
                reopenMs.back(), awayPercent, openPercent, descriptorsAtStart, descriptorsBefore,
                descriptorsAfter, lastCount, countJumps);
        QCOMPARE(notices.size(), kCycles);
        QCOMPARE(countJumps, 0);
        QVERIFY(reopenMs.back() < 1000);
        QCOMPARE(descriptorsAfter, descriptorsBefore);
        QVERIFY_IN_TIME(awayPercent < 0.5, qPrintable(QString::number(awayPercent)));
    }

    void networkServerRestarted_data()
    {
        QTest::addColumn<bool>("rfc2217");
        QTest::newRow("raw") << false;
        QTest::newRow("rfc2217") << true;
    }

    void networkServerRestarted()
    {
        QFETCH(bool, rfc2217);
        SimProcess sim;
        QVERIFY(sim.ready());
        SerialServer server(sim.path());
        QVERIFY(server.ready());
        const QString url = rfc2217 ? server.rfc2217Url() : server.rawUrl();
        bindCom1(url);
        frmMain w;
        w.timer()->stop();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        QSignalSpy notices(w.serial(), &SerialControl::notice);
        idle(1000);
        const double openPercent = idleCpuPercent(6000);
        server.stop();
        QTRY_COMPARE(failures.size(), 1);
        idle(1000); // the report of the loss is drawn and done with: it is not the waiting
        // Long enough for the tries to back off as they do while a server stays away: the first
        // second alone, with its quick tries, says little about a night without the server.
        const double awayPercent = idleCpuPercent(6000) - openPercent;
        qInfo("CPU the wait adds while the server is away: %.3f %% of a core (idle with the port "
              "open: %.3f %%)",
                awayPercent, openPercent);
        QVERIFY_IN_TIME(awayPercent < 0.5, qPrintable(QString::number(awayPercent)));
        QVERIFY(server.start());
        QVERIFY(waitUntil([&] { return w.serial()->PortOpen(); },
                        PortReopener::LongestRetryMs + LineTransport::OpenTimeoutMs
                                + ParseLineAddress(url).kind->probationMs)
                >= 0);
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first().toString(),
                QStringLiteral("COM 1 (%1) is back: reopened at 9600,N,8,1").arg(url));
        QCOMPARE(failures.size(), 1);
        control<QComboBox>(&w, "combCmd")->setEditText("*IDN?");
        w.cmdSend_Click();
        QCOMPARE(resultsText(&w), kIdentity);
    }

    void serverTakenByAnotherClientMeanwhile()
    {
        // ser2net accepts a raw connection it cannot serve and closes it at once: that is no
        // reopening, and must not be reported as a loss again and again.
        SimProcess sim;
        SerialServer server(sim.path());
        QVERIFY(server.ready());
        bindCom1(server.rawUrl());
        frmMain w;
        w.timer()->stop();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        QSignalSpy notices(w.serial(), &SerialControl::notice);
        server.stop();
        QTRY_COMPARE(failures.size(), 1);
        idle(700); // past the first retry
        QVERIFY(server.start());
        auto other = std::make_unique<SerialControl>();
        other->setCommPort(1);
        QVERIFY(openAndWait(*other));
        idle(PortReopener::LongestRetryMs); // several tries, each turned away
        QCOMPARE(failures.size(), 1);
        QCOMPARE(notices.size(), 0);
        QVERIFY(!w.serial()->PortOpen());
        other.reset(); // the other client leaves
        QVERIFY(waitUntil([&] { return w.serial()->PortOpen(); },
                        PortReopener::LongestRetryMs + 2000
                                + ParseLineAddress(server.rawUrl()).kind->probationMs)
                >= 0);
        QCOMPARE(notices.size(), 1);
        QCOMPARE(failures.size(), 1);
    }

    void serverThatKeepsDroppingUsGetsNowhere()
    {
        // socat accepts every connection, keeps it 0.8 s and closes it, over and over.
        const quint16 port = SerialServer::freePort();
        QProcess server;
        server.start(QStringLiteral("socat"),
                {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                        QStringLiteral("SYSTEM:sleep 0.8")});
        QVERIFY(server.waitForStarted(5000));
        const auto stopServer = qScopeGuard([&] {
            server.kill();
            server.waitForFinished(5000);
        });
        bindCom1(QStringLiteral("socket://127.0.0.1:%1").arg(port));
        RecordedWindow recorded;
        QVERIFY(recorded.start());
        frmMain &w = recorded.window();
        w.timer()->stop();
        QVERIFY(waitUntil([&] { return (initializeOn(w, 1), w.serial()->PortOpen()); }, 5000) >= 0);
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        QSignalSpy notices(w.serial(), &SerialControl::notice);
        // The drop is reported once; each connection after it that does not outlast its
        // probation is a failed attempt, quietly, with the back-off of a refusing server:
        // tried 0.5 s after the loss, then 1 s and 2 s after each failure.
        idle(8000);
        QCOMPARE(failures.size(), 1);
        QCOMPARE(notices.size(), 0);
        QVERIFY(!w.serial()->PortOpen());
        const QByteArray written = recorded.transcriptText();
        QVERIFY2(written.contains(" COM1 attempt 2: Cannot open COM 1 (socket://127.0.0.1:")
                        && written.contains("): The server closed the connection again within 2 s.")
                        && !written.contains(" COM1 attempt 4:"),
                written.constData());
    }

    void operatorEndsTheWait_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("--no-reconnect") << "off";
        QTest::newRow("Initialize, another COM port") << "initialize";
        QTest::newRow("closed from code") << "close";
    }

    void operatorEndsTheWait()
    {
        QFETCH(QString, how);
        SimProcess sim;
        Relay relay(link(), sim.path());
        QVERIFY(relay.start());
        bindCom1(link());
        qputenv("QUILLON_COM2", "/dev/quillon-no-such-port");
        frmMain w;
        w.timer()->stop();
        if (how == u"off")
            w.serial()->setReopen(false);
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        relay.stop();
        QTRY_COMPARE(failures.size(), 1);
        QTRY_COMPARE(w.serial()->state(),
                how == u"off" ? SerialControl::State::Lost : SerialControl::State::WaitingToReopen);
        if (how == u"initialize")
            initializeOn(w, 2);
        else if (how == u"close")
            w.serial()->setPortOpen(false);
        QCOMPARE(w.serial()->state(),
                how == u"off" ? SerialControl::State::Lost : SerialControl::State::Closed);
        QVERIFY(relay.start());
        idle(1500);
        QVERIFY(!w.serial()->PortOpen());
        qunsetenv("QUILLON_COM2");
    }

private:
    static void setResults(frmMain &w)
    {
        // Cleared by hand, so that the next identity shown is a new answer.
        control<ByteTextBox>(&w, "txtResults")->setText(QString());
    }
};

QUILLON_TEST_MAIN(ReopenTest)
#include "test_reconnect.moc"
