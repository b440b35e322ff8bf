// The waits on the line, without any window: a pseudo-terminal device and the serial control.

#include "line/exchange/deviceexchange.h"
#include "line/exchange/linewait.h"
#include "line/port/serialcontrol.h"
#include "ptydevice.h"
#include "timebound.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <memory>

using namespace std::chrono;

class LineWaitTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<PtyDevice> device;
    std::unique_ptr<SerialControl> line;
    std::unique_ptr<LineWait> wait;

    static double msSince(steady_clock::time_point start)
    {
        return duration<double, std::milli>(steady_clock::now() - start).count();
    }

private slots:
    void init()
    {
        device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        line = std::make_unique<SerialControl>();
        line->setCommPort(1);
        QVERIFY(line->setPortOpen(true));
        wait = std::make_unique<LineWait>(line.get());
    }

    void cleanup()
    {
        wait.reset();
        line.reset();
        device.reset();
    }

    void terminatorFound()
    {
        device->send("VELK,1", 5);
        device->send(",2\r\n>", 15);
        QByteArray received;
        QCOMPARE(wait->waitFor(received, '\n', 30000), LineWait::End::Found);
        QCOMPARE(received, QByteArray("VELK,1,2\r\n>"));
    }

    void byteBeforeTheWaitCounts()
    {
        QByteArray received("xyz>");
        const auto start = steady_clock::now();
        QCOMPARE(wait->waitFor(received, '>', 10000), LineWait::End::Found);
        QVERIFY_IN_TIME(msSince(start) < 1.0, "one poll, no sleep");
    }

    void outOfPollsKeepsItsBound_data()
    {
        QTest::addColumn<int>("maxCount");
        QTest::newRow("one poll") << 0;
        QTest::newRow("a short sleep") << 7;
        QTest::newRow("several sleeps") << 99;
    }

    void outOfPollsKeepsItsBound()
    {
        // maxCount + 1 poll periods of 100 us on a silent line, and not much more: the slack
        // is for a loaded machine waking the thread late.
        QFETCH(int, maxCount);
        QByteArray received;
        const auto start = steady_clock::now();
        QCOMPARE(wait->waitFor(received, '\n', maxCount), LineWait::End::OutOfPolls);
        const double took = msSince(start);
        QVERIFY2(took >= 0.1 * (maxCount + 1) - 0.01, qPrintable(QString::number(took)));
        QVERIFY_IN_TIME(took < 0.1 * (maxCount + 1) + 15.0, qPrintable(QString::number(took)));
        QVERIFY(received.isEmpty());
    }

    void hangUpEndsTheWaitEarly()
    {
        QTimer::singleShot(10, device.get(), &PtyDevice::hangUp);
        QSignalSpy failures(line.get(), &SerialControl::failure);
        QByteArray received;
        const auto start = steady_clock::now();
        QCOMPARE(wait->waitFor(received, '\n', 30000), LineWait::End::PortClosed);
        QVERIFY_IN_TIME(msSince(start) < 500, "not the whole 3 s");
        QCOMPARE(failures.size(), 1);
    }

    void drainTakesWhatIsBufferedAndStops()
    {
        device->send("tail");
        QTRY_COMPARE((QCoreApplication::processEvents(), line->InBufferCount()), qint64(4));
        QByteArray received("head");
        wait->drain(received, 1000);
        QCOMPARE(received, QByteArray("headtail"));
        const auto start = steady_clock::now();
        wait->drain(received, 1000); // nothing left: one poll, no sleep
        QVERIFY_IN_TIME(msSince(start) < 1.0, "one poll, no sleep");
        QCOMPARE(received, QByteArray("headtail"));
    }

    void bytesTakenStraightFromTheLineComeFirst()
    {
        // Fault caught: what the wait read straight from the line was handed out after what
        // the port read later in a turn of the event loop, or in a second read.
        LineWait::Hold held(*wait);
        device->send("AB");
        QVERIFY(line->takeWaiting(milliseconds(500)));
        device->send("CD");
        QTRY_COMPARE((QCoreApplication::processEvents(), line->InBufferCount()), qint64(4));
        QCOMPARE(line->Input(), QByteArray("ABCD"));
    }

    void replySequence_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<char>("terminator");
        QTest::addColumn<bool>("prompt");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<bool>("promptMissing");
        QTest::newRow("line and prompt") << QByteArray("VELK\r\n>") << '\n'
                                         << true << QByteArray("VELK\r\n>") << false;
        // The settle and drain take a tail that came after the terminator.
        QTest::newRow("tail after the terminator") << QByteArray("VELK\r\nmore") << '\n'
                                                   << false << QByteArray("VELK\r\nmore") << false;
        QTest::newRow("prompt never comes") << QByteArray("VELK\r\n") << '\n'
                                            << true << QByteArray("VELK\r\n") << true;
        QTest::newRow("any byte ends a wait for nothing in particular")
                << QByteArray("x>") << char(0) << true << QByteArray("x>") << false;
    }

    void replySequence()
    {
        // Fault caught: the reply sequence (terminator, prompt, settle, drain) lived in the
        // window, so nothing without a window could read a reply the way Read does.
        QFETCH(QByteArray, sent);
        QFETCH(char, terminator);
        QFETCH(bool, prompt);
        QFETCH(QByteArray, received);
        QFETCH(bool, promptMissing);
        device->send(sent.left(3));
        device->send(sent.mid(3), 5);
        const LineWait::Reply reply = wait->readReply(terminator, prompt);
        QCOMPARE(reply.received, received);
        QCOMPARE(reply.promptMissing, promptMissing);
        QCOMPARE(reply.end == LineWait::End::PortClosed, false);
    }

    void tailDuringTheSettleIsShown()
    {
        // Fault caught: the reply formatted while the settle waits out was shown without what
        // the drain took after it.
        device->send("VELK\r\n>");
        device->sendFromThread("tail", 5);
        ExchangeSettings settings;
        settings.displayAll = true;
        DeviceExchange exchange(*line, *wait);
        QByteArray shownEarly;
        exchange.setEarlyDisplay(
                [&](const ReplyDisplay &display) { shownEarly = display.results; });
        const ReplyOutcome outcome = exchange.read(settings, true);
        if (outcome.wait.received == "VELK\r\n>")
            QSKIP("the tail came after the drain: the machine stalled the sender for 15 ms");
        QCOMPARE(outcome.wait.received, QByteArray("VELK\r\n>tail"));
        QCOMPARE(outcome.display.results, QByteArray("VELK<cr><lf>>tail"));
        QCOMPARE(shownEarly, QByteArray("VELK<cr><lf>>"));
        QVERIFY(!outcome.displayedEarly); // to be shown again
    }

    void replySequenceEndsOnHangUp()
    {
        // A device that hangs up mid-reply ends the read at once, with what it sent, and no
        // prompt is reported missing: the lost port says what went wrong.
        device->send("VE");
        QTimer::singleShot(10, device.get(), &PtyDevice::hangUp);
        const auto start = steady_clock::now();
        const LineWait::Reply reply = wait->readReply('\n', true);
        QVERIFY_IN_TIME(msSince(start) < 500, "not the whole 3 s");
        QCOMPARE(reply.end, LineWait::End::PortClosed);
        QCOMPARE(reply.received, QByteArray("VE"));
        QVERIFY(!reply.promptMissing);
    }

    void exchangeDecidesWhatFollows_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<bool>("autoQuery");
        QTest::addColumn<bool>("readRequired");
        QTest::addColumn<bool>("packet");
        QTest::addColumn<bool>("readFollows");
        QTest::newRow("query, auto query") << QByteArray("*IDN?") << true << false << false << true;
        QTest::newRow("query, no auto query")
                << QByteArray("*IDN?") << false << false << false << false;
        QTest::newRow("command") << QByteArray("*RST") << true << false << false << false;
        QTest::newRow("read required") << QByteArray("*RST") << false << true << false << true;
        QTest::newRow("packet always reads")
                << QByteArray("*RST") << false << false << true << true;
    }

    void exchangeDecidesWhatFollows()
    {
        // Fault caught: what follows a send was decided by the window alone, so a run without
        // a window could not follow the same rule.
        QFETCH(QByteArray, command);
        QFETCH(bool, autoQuery);
        QFETCH(bool, readRequired);
        QFETCH(bool, packet);
        QFETCH(bool, readFollows);
        ExchangeSettings settings;
        settings.autoQuery = autoQuery;
        settings.readRequired = readRequired;
        settings.framing.protocol = packet ? Framing::Protocol::Packet : Framing::Protocol::Off;
        settings.addressSet = true;
        settings.prompt = false;
        DeviceExchange exchange(*line, *wait);
        device->onReceived = [this](const QByteArray &) { device->send("R\r\n"); };
        const SendOutcome outcome = exchange.send(settings, QString::fromLatin1(command));
        QVERIFY(outcome.written);
        QCOMPARE(outcome.sent.readFollows, readFollows);
        QCOMPARE(outcome.reply.has_value(), readFollows);
        if (readFollows && !packet)
            QCOMPARE(outcome.reply->display.results, QByteArray("R"));
    }

    void exchangeMarksTheLineBusy()
    {
        QSignalSpy started(&wait->hold(), &LineHold::begun);
        QSignalSpy finished(&wait->hold(), &LineHold::ended);
        QVERIFY(!wait->busy());
        {
            LineWait::Hold held(*wait);
            QVERIFY(wait->busy());
            QCOMPARE(started.size(), 1);
            QCOMPARE(finished.size(), 0);
        }
        QVERIFY(!wait->busy());
        QCOMPARE(finished.size(), 1);
    }

    void eventsAreHandledAtOnceDuringAWait()
    {
        // A screen reader's request or a click arrives while the line is quiet: it must not
        // wait for the end of the sleep, and the wait must still last its counted time. The
        // requests are spread over 0.3 s, so that a moment in which this shared machine does
        // not run the thread at all cannot stand for the whole wait.
        QList<double> latencies;
        QObject receiver;
        std::unique_ptr<QThread> poster(QThread::create([&] {
            for (int i = 0; i < 60; ++i) {
                QThread::usleep(4000);
                const auto postedAt = steady_clock::now();
                QMetaObject::invokeMethod(
                        &receiver, [&latencies, postedAt] { latencies << msSince(postedAt); });
            }
        }));
        QByteArray received;
        const auto start = steady_clock::now();
        poster->start();
        QCOMPARE(wait->waitFor(received, '\n', 3000), LineWait::End::OutOfPolls);
        const double took = msSince(start);
        poster->wait();
        QVERIFY2(took >= 300.0, qPrintable(QString::number(took)));
        QVERIFY_IN_TIME(took < 325.0, qPrintable(QString::number(took)));
        QVERIFY(latencies.size() >= 55);
        std::sort(latencies.begin(), latencies.end());
        QVERIFY_IN_TIME(latencies[latencies.size() / 2] < 0.5,
                qPrintable(QString::number(latencies[latencies.size() / 2])));
    }
};

QTEST_GUILESS_MAIN(LineWaitTest)
#include "test_linewait.moc"
