// The line session on a pseudo-terminal device: the rules every user of a line shares, tested
// once here rather than through each of the window, --run, the scan and a network client.

#include "line/linehold.h"
#include "line/port/serialcontrol.h"
#include "line/record/linerecorder.h"
#include "line/session/linesession.h"
#include "ptydevice.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(ExchangeOrigin)

class SessionTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyDevice> device;
    std::unique_ptr<LineRecorder> recorder;
    std::unique_ptr<LineSession> session;

    void openSession(bool reopen = true)
    {
        LineSessionOptions options;
        options.comPort = 1;
        options.reopen = reopen;
        options.recorder = recorder.get();
        session = std::make_unique<LineSession>(options);
        QVERIFY(session->open());
    }

private slots:
    void init()
    {
        device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        recorder = std::make_unique<LineRecorder>();
    }

    void cleanup()
    {
        session.reset();
        recorder.reset();
        device.reset();
    }

    // Which replies become readings, and the one value each reading holds, whoever asked.
    void readings_data()
    {
        QTest::addColumn<ExchangeOrigin>("origin");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("recorded");
        QTest::addColumn<QString>("value"); // empty: none
        const int off = int(Framing::Protocol::Off);
        const int packet = int(Framing::Protocol::Packet);
        const QByteArray nak = QByteArray("\x15"
                                          "47.25\x03<\r\n>");
        QTest::newRow("a loop's tick")
                << ExchangeOrigin::Loop << off << QByteArray("2.5\r\n>") << true << "2.5";
        QTest::newRow("a script's query")
                << ExchangeOrigin::Script << off << QByteArray("1.5>") << true << "1.5";
        QTest::newRow("a NAK is no value") << ExchangeOrigin::Script << packet << nak << true << "";
        QTest::newRow("the operator's own send")
                << ExchangeOrigin::Operator << off << QByteArray("2.5\r\n>") << false << "";
    }

    void readings()
    {
        QFETCH(ExchangeOrigin, origin);
        QFETCH(int, protocol);
        QFETCH(QByteArray, reply);
        QFETCH(bool, recorded);
        QFETCH(QString, value);
        openSession();
        QList<LoopReading> readings;
        connect(recorder.get(), &LineRecorder::replyRecorded, this,
                [&](const LoopReading &reading) { readings << reading; });
        device->onReceived = [&](const QByteArray &) { device->send(reply); };
        ExchangeSettings settings;
        settings.framing.protocol = Framing::Protocol(protocol);
        settings.framing.address = "4";
        settings.addressSet = true;
        settings.prompt = false;
        {
            LineSession::Turn turn(*session);
            session->send(settings, "MEAS?", origin);
        }
        QCOMPARE(readings.size(), recorded ? 1 : 0);
        if (recorded) {
            QCOMPARE(readings.first().command, QStringLiteral("MEAS?"));
            QCOMPARE(readings.first().value.has_value(), !value.isEmpty());
            if (!value.isEmpty())
                QCOMPARE(*readings.first().value, value.toDouble());
        }
    }

    // --no-reconnect is the session's to keep, for every user of it.
    void lostLineIsReopenedOnlyWhenAskedTo_data()
    {
        QTest::addColumn<bool>("reopen");
        QTest::addColumn<SerialControl::State>("after");
        QTest::newRow("reopening") << true << SerialControl::State::WaitingToReopen;
        QTest::newRow("--no-reconnect") << false << SerialControl::State::Lost;
    }

    void lostLineIsReopenedOnlyWhenAskedTo()
    {
        QFETCH(bool, reopen);
        QFETCH(SerialControl::State, after);
        openSession(reopen);
        QSignalSpy failures(&session->port(), &SerialControl::failure);
        device->hangUp();
        QTRY_COMPARE(failures.size(), 1);
        QTRY_COMPARE(session->port().state(), after);
        QCOMPARE(failures.first().first().toString().contains("--no-reconnect"), !reopen);
    }

    // Submitted exchanges take the line one at a time, whole, after an exchange that waits on it.
    void submissionsTakeTheirTurn()
    {
        openSession();
        device->onReceived = [&](const QByteArray &chunk) {
            device->send("re:" + chunk.trimmed() + "\r\n>", 5);
        };
        LineSession::Submission submission;
        submission.waits.promptMs = 1000;
        QList<QByteArray> replies;
        {
            LineSession::Turn turn(*session, QStringLiteral("the window"));
            for (const QByteArray command : {"A", "B"}) {
                submission.frame = command + '\n';
                session->submit(submission, [&](const ExchangeRun::Result &result) {
                    QCOMPARE(result.end, ExchangeRun::End::Complete);
                    replies << result.received;
                });
            }
            QCOMPARE(session->hold().holder(), QStringLiteral("the window"));
            QTest::qWait(50);
            QCOMPARE(device->received(), QByteArray()); // nothing while the turn lasts
        }
        QTRY_COMPARE(replies.size(), 2);
        QCOMPARE(replies, (QList<QByteArray>{"re:A\r\n>", "re:B\r\n>"}));
        QCOMPARE(device->received(), QByteArray("A\nB\n"));
    }
};

QTEST_GUILESS_MAIN(SessionTest)
#include "test_session.moc"
