// Send, Read and the protocol/address handlers against a scripted device on a pseudo-terminal.

#include "hexbytes.h"
#include "line/port/serialcontrol.h"
#include "line/record/wirelog.h"
#include "protocol/framing.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/views/bytetextbox.h"
#include "wiredwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTemporaryDir>

using namespace WindowDriver;

class ExchangeTest : public WiredWindowTest
{
    Q_OBJECT

    bool errorShown() const { return WindowDriver::errorShown(w.get()); }
    QCheckBox *box(const char *name) const { return control<QCheckBox>(w.get(), name); }
    void type(const QString &text) const { command()->setEditText(text); }

    void setAddress(const QString &typed)
    {
        control<QLineEdit>(w.get(), "txtAddr")->setText(typed);
        w->cmdSet_Click();
    }

    // A device that answers every message ending in `end` with `reply`.
    void answerWith(const QByteArray &reply, char end = '\n', int delayMs = 0, int baud = 0)
    {
        device->onReceived = [this, reply, end, delayMs, baud](const QByteArray &chunk) {
            if (chunk.endsWith(end))
                device->send(reply, delayMs, baud);
        };
    }

    // Waits until the device has nothing more to say and the port buffer is empty.
    void settle() { QTest::qWait(30); }

private slots:
    void init() { openWiredWindow(); }
    void cleanup() { closeWiredWindow(); }

    void framingsOnTheWire_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("cr");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("off") << 0 << false << QByteArray("*IDN?\n");
        QTest::newRow("off crlf") << 0 << true << QByteArray("*IDN?\r\n");
        QTest::newRow("addr") << 1 << false << hex("02 34") + "*IDN?\n";
        QTest::newRow("packet") << 2 << true << hex("02 34 2A 49 44 4E 3F 03 63");
    }

    void framingsOnTheWire()
    {
        QFETCH(int, protocol);
        QFETCH(bool, cr);
        QFETCH(QByteArray, wire);
        click(w.get(), QStringLiteral("optProt_%1").arg(protocol));
        setAddress("4");
        box("ckCR")->setChecked(cr);
        box("ckPrompt")->setChecked(false);
        answerWith(protocol == 2 ? hex("06 34") + "VELK" + hex("03")
                                + char(XorChecksum(hex("06 34") + "VELK" + hex("03"))) + "\r\n"
                                 : QByteArray("VELK,QSIM\r\n"),
                wire.back());
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(device->received().toHex(' '), wire.toHex(' '));
        if (protocol == 2)
            QVERIFY2(results().contains("RespStr= VELK"), qPrintable(results()));
        else
            QCOMPARE(results(), QStringLiteral("VELK,QSIM"));
        QVERIFY(!errorShown());
    }

    void whatFollowsTheSend_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("autoQuery");
        QTest::addColumn<bool>("readAfter");
        QTest::addColumn<bool>("prompt");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<qint64>("leftInBuffer");
        const QString reply = "OK";
        QTest::newRow("query, auto: read")
                << "*IDN?" << 0 << true << false << true << reply << qint64(0);
        QTest::newRow("read required: read")
                << "*RST" << 0 << true << true << false << reply << qint64(0);
        QTest::newRow("query, no auto, no prompt: nothing")
                << "*IDN?" << 0 << false << false << false << "Sent *IDN?" << qint64(5);
        QTest::newRow("no query, prompt: waits, discards")
                << "*RST" << 0 << true << false << true << "Sent *RST" << qint64(0);
        QTest::newRow("no query, no prompt: nothing")
                << "*RST" << 0 << true << false << false << "Sent *RST" << qint64(5);
    }

    void whatFollowsTheSend()
    {
        QFETCH(QString, cmd);
        QFETCH(int, protocol);
        QFETCH(bool, autoQuery);
        QFETCH(bool, readAfter);
        QFETCH(bool, prompt);
        QFETCH(QString, shown);
        QFETCH(qint64, leftInBuffer);
        click(w.get(), QStringLiteral("optProt_%1").arg(protocol));
        box("ckAuto")->setChecked(autoQuery);
        box("ckRead")->setChecked(readAfter);
        box("ckPrompt")->setChecked(prompt);
        answerWith("OK\r\n>");
        type(cmd);
        QElapsedTimer clock;
        clock.start();
        w->cmdSend_Click();
        QVERIFY_IN_TIME(clock.elapsed() < 900, "no wait ran to its end");
        QCOMPARE(results(), shown);
        QVERIFY(!box("ckRead")->isChecked());
        QVERIFY(!errorShown());
        settle();
        QCOMPARE(w->serial()->InBufferCount(), leftInBuffer);
    }

    void packetIsAlwaysRead()
    {
        click(w.get(), "optProt_2");
        QVERIFY(!box("ckPrompt")->isChecked());
        setAddress("4");
        box("ckAuto")->setChecked(false);
        const QByteArray ack = hex("06 34 30 03") + char(XorChecksum(hex("06 34 30 03")));
        answerWith(ack + "\r\n", '\x4a'); // the frame ends in its checksum 0x4A
        type("*RST");
        w->cmdSend_Click();
        QCOMPARE(device->received(), hex("02 34 2A 52 53 54 03 4A"));
        QCOMPARE(results(),
                QStringLiteral("ACK Packet received\r\nCksum verified, Cksum =  %1\r\nESR value= 0")
                        .arg(XorChecksum(hex("06 34 30 03"))));
    }

    void refusalsStillDrainTheBuffer_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing to send") << 0 << ""
                                         << "Nothing to send";
        QTest::newRow("addr without address") << 1 << "*IDN?"
                                              << "Missing a device address";
        QTest::newRow("packet without address") << 2 << "*IDN?"
                                                << "Missing a device address";
        QTest::newRow("not 8-bit") << 0 << QStringLiteral("*IDN\u20ac")
                                   << "Cannot send: the command holds a character outside the "
                                      "8-bit range (codes 0 to 255). Nothing was sent.";
    }

    void refusalsStillDrainTheBuffer()
    {
        QFETCH(int, protocol);
        QFETCH(QString, typed);
        QFETCH(QString, message);
        click(w.get(), QStringLiteral("optProt_%1").arg(protocol));
        device->send("stale reply\r\n>");
        QTRY_COMPARE((QCoreApplication::processEvents(), w->serial()->InBufferCount()), qint64(14));
        type(typed);
        w->cmdSend_Click();
        QCOMPARE(error(), message);
        QVERIFY(errorShown());
        QCOMPARE(beeps->size(), 1);
        QCOMPARE(w->serial()->InBufferCount(), 0);
        settle();
        QCOMPARE(device->received(), QByteArray());
        QCOMPARE(w->state().lastCmd, QString());
    }

    void offNeedsNoAddress()
    {
        box("ckPrompt")->setChecked(false);
        answerWith("VELK\r\n");
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(device->received(), QByteArray("*IDN?\n"));
        QCOMPARE(results(), QStringLiteral("VELK"));
    }

    void emptyBoxRepeatsLastCommand()
    {
        box("ckPrompt")->setChecked(false);
        answerWith("R\r\n");
        type("*IDN?");
        w->cmdSend_Click();
        type("");
        w->cmdSend_Click();
        QCOMPARE(device->received(), QByteArray("*IDN?\n*IDN?\n"));
        QCOMPARE(command()->currentText(), QStringLiteral("*IDN?"));
    }

    void queryMarkInTheFrameMakesAQuery()
    {
        // Address 15 is "?": every addressed frame is a query, so Auto Query reads after *RST.
        click(w.get(), "optProt_1");
        setAddress("15");
        box("ckPrompt")->setChecked(false);
        answerWith("DONE\r\n");
        type("*RST");
        w->cmdSend_Click();
        QCOMPARE(device->received(), hex("02 3F") + "*RST\n");
        QCOMPARE(results(), QStringLiteral("DONE"));

        // A packet checksum of 0x3F labels an ACK payload as a response.
        click(w.get(), "optProt_2");
        setAddress("4");
        const QByteArray plain = "*R";
        QByteArray frame = FrameMessage(plain, false, true, "4", false, false);
        QByteArray cmd = plain;
        // Find a one-letter suffix whose frame checksum is '?'.
        for (char c = 'A'; c <= 'z'; ++c) {
            frame = FrameMessage(plain + c, false, true, "4", false, false);
            if (frame.back() == '?') {
                cmd = plain + c;
                break;
            }
        }
        QCOMPARE(frame.back(), '?');
        const QByteArray ack = hex("06 34") + "1" + hex("03");
        answerWith(ack + char(XorChecksum(ack)) + "\r\n", '?');
        type(QString::fromLatin1(cmd));
        w->cmdSend_Click();
        QVERIFY2(results().endsWith("RespStr= 1"), qPrintable(results()));
    }

    void readOutcomes_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<bool>("packet");
        QTest::addColumn<bool>("dispAll");
        QTest::addColumn<bool>("count");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("expectedBeeps");
        QTest::newRow("cut at terminators")
                << QByteArray("XYZ\r\n>") << false << false << true << "XYZ\r\nCount =  6" << 0;
        QTest::newRow("all characters") << QByteArray("XYZ\r\n>") << false << true << true
                                        << "XYZ<cr><lf>>\r\nCount =  6" << 0;
        QTest::newRow("starts with lf")
                << QByteArray("\nXY>") << false << false << true << "\r\nCount =  4" << 0;
        QTest::newRow("worked example")
                << hex("06 34 33 32 03 30") << true << false << true
                << "ACK Packet received\r\nCksum verified, Cksum =  48\r\nRespStr= 32\r\nCount =  6"
                << 0;
        QTest::newRow("packet shown raw") << hex("06 34 33 32 03 30") << true << true << false
                                          << QString::fromLatin1(hex("06 34 33 32 03 30")) << 0;
        QTest::newRow("cksum fails beeps")
                << hex("06 34 33 32 03 31") << true << false << false
                << "ACK Packet received\r\nCksum fails\r\nRespStr= 32" << 1;
        QTest::newRow("nak")
                << hex("15 34 33 32 03 23") << true << false << false
                << "NAK packet received\r\nCksum verified, Cksum =  35\r\nESR value= 32" << 0;
        QTest::newRow("not a packet, no beep") << QByteArray("hello") << true << false << false
                                               << "Did not receive a ACK/NAK packet\r\nhello" << 0;
        QTest::newRow("nul kept") << QByteArray("A\0B\r\n", 5) << false << false << false
                                  << QString::fromLatin1("A\0B", 3) << 0;
    }

    void readOutcomes()
    {
        QFETCH(QByteArray, reply);
        QFETCH(bool, packet);
        QFETCH(bool, dispAll);
        QFETCH(bool, count);
        QFETCH(QString, shown);
        QFETCH(int, expectedBeeps);
        if (packet) {
            click(w.get(), "optProt_2");
            setAddress("4");
        }
        box("ckPrompt")->setChecked(false);
        box("ckLF")->setChecked(false); // no terminator: the first bytes end the wait
        box("ckDispAll")->setChecked(dispAll);
        box("ckByteCnt")->setChecked(count);
        // The device answers the frame at once; Auto Query reads the reply.
        answerWith(reply, FrameMessage("*IDN?", false, packet, "4", false, false).back());
        type("*IDN?"); // QueryFlg 1
        w->cmdSend_Click();
        QCOMPARE(results(), shown);
        QCOMPARE(beeps->size(), expectedBeeps);
    }

    void nothingReceived()
    {
        box("ckPrompt")->setChecked(false);
        box("ckByteCnt")->setChecked(true);
        box("ckRead")->setChecked(true);
        QElapsedTimer clock;
        clock.start();
        w->cmdRead_Click();
        const qint64 took = clock.elapsed();
        QCOMPARE(results(), QStringLiteral("Rx buffer empty"));
        QVERIFY(!box("ckRead")->isChecked());
        QCOMPARE(beeps->size(), 0);
        QVERIFY(!QApplication::overrideCursor()); // the busy cursor goes with the wait
        // 30,001 polls of at least 100 us each: about 3 s, on any machine.
        QVERIFY2(took >= 2900, qPrintable(QString::number(took)));
        QVERIFY_IN_TIME(took < 6000, qPrintable(QString::number(took)));
    }

    void promptMissing()
    {
        // A device that answers but never sends ">": the prompt wait ends after about 1 s.
        answerWith("XYZ\r\n");
        type("*IDN?");
        QElapsedTimer clock;
        clock.start();
        w->cmdSend_Click();
        const qint64 took = clock.elapsed();
        QCOMPARE(error(),
                QStringLiteral("Prompt not found. Uncheck Next Msg Prompt box if communicating "
                               "with a non-Velk device"));
        QVERIFY(errorShown());
        QCOMPARE(beeps->size(), 1);
        QCOMPARE(results(), QStringLiteral("XYZ")); // the read goes on to show the reply
        QVERIFY2(took >= 950, qPrintable(QString::number(took)));
        QVERIFY_IN_TIME(took < 3000, qPrintable(QString::number(took)));
    }

    void settleLastsItsTimeAndLetsNothingRun_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<double>("atLeastMs");
        for (double seconds : {0.0, 0.001, 0.02, 0.1})
            QTest::addRow("%g s", seconds) << seconds << seconds * 1000.0;
        QTest::newRow("negative") << -1.0 << 0.0;
    }

    void settleLastsItsTimeAndLetsNothingRun()
    {
        QFETCH(double, seconds);
        QFETCH(double, atLeastMs);
        bool ran = false;
        QTimer::singleShot(0, w.get(), [&] { ran = true; });
        QMetaObject::invokeMethod(
                w.get(), [&] { ran = true; }, Qt::QueuedConnection);
        const auto start = std::chrono::steady_clock::now();
        w->Tdelay(seconds);
        const double tookMs = std::chrono::duration<double, std::milli>(
                std::chrono::steady_clock::now() - start)
                                      .count();
        QVERIFY2(tookMs >= atLeastMs, qPrintable(QString::number(tookMs)));
        // It sleeps most of the time but wakes early enough to end on time.
        QVERIFY_IN_TIME(tookMs < atLeastMs + 5.0, qPrintable(QString::number(tookMs)));
        QVERIFY(!ran);
        QCoreApplication::processEvents();
        QVERIFY(ran);
    }

    void slowDeviceIsShownWhole()
    {
        // 200 ms latency, then paced at 2400 baud: about 0.35 s for the whole reply.
        initializeOn(*w, 1, 0);
        answerWith("VELK,QSIM-488,0,1.0\r\n>", '\n', 200, 2400);
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(results(), QStringLiteral("VELK,QSIM-488,0,1.0"));
        QVERIFY(!errorShown());
        QCOMPARE(beeps->size(), 0);
    }

    void longReplyCountsEveryCharacter()
    {
        box("ckPrompt")->setChecked(false);
        box("ckByteCnt")->setChecked(true);
        const QByteArray big = QByteArray(40000, 'a') + "\r\n";
        answerWith(big);
        type("*IDN?");
        w->cmdSend_Click();
        QVERIFY2(results().endsWith("Count =  40002"), qPrintable(results().right(30)));
    }

    void longCommandGoesOutWhole()
    {
        box("ckPrompt")->setChecked(false);
        box("ckAuto")->setChecked(false);
        QString longCmd(1024 * 1024, u'A');
        for (qsizetype i = 0; i < longCmd.size(); i += 997)
            longCmd[i] = QChar(char16_t(i % 256)); // every byte value, control codes included
        longCmd += u'?';
        type(longCmd);
        w->cmdSend_Click();
        QVERIFY2(device->waitForReceived(longCmd.size() + 1, 20000),
                qPrintable(QString::number(device->received().size())));
        QCOMPARE(device->received(), longCmd.toLatin1() + "\n");
    }

    void sendDuringAWaitIsIgnored()
    {
        // *RST with the prompt option: Send waits for ">". A Send, Read or Enter during the wait
        // does nothing; CNTL-E is no Send and goes out at once, and Send *CLS still puts its
        // command into the box before its Send is refused.
        int sendsDuringWait = 0;
        device->onReceived = [&](const QByteArray &) {
            if (sendsDuringWait++ == 0) {
                QTimer::singleShot(50, w.get(), [&] {
                    QVERIFY(w->exchangeInProgress());
                    // The busy cursor tells the operator why the clicks below do nothing.
                    QVERIFY(QApplication::overrideCursor());
                    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BusyCursor);
                    w->cmdSend_Click();
                    w->cmdRead_Click();
                    w->cmdCLS_Click();
                    w->cmdE_Click();
                    QTest::keyClick(command(), Qt::Key_Return);
                    device->send(">");
                });
            }
        };
        type("*RST");
        w->cmdSend_Click();
        settle();
        QCOMPARE(device->received(), QByteArray("*RST\n\x05"));
        QCOMPARE(results(), QStringLiteral("CNTL-E sent"));
        QCOMPARE(command()->currentText(), QStringLiteral("*CLS"));
        QVERIFY(!errorShown());
        QVERIFY(!w->exchangeInProgress());
        QVERIFY(!QApplication::overrideCursor());
    }

    void quickExchangeLeavesTheCursorAlone()
    {
        // Fault caught: an exchange that never let events run, and so never put up the busy
        // cursor, still took one down: the cursor the application had up went with it.
        QApplication::setOverrideCursor(Qt::WaitCursor);
        device->send("VELK\r\n>"); // on the line before the command: no event has to run
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(results(), QStringLiteral("VELK"));
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        QApplication::restoreOverrideCursor();
    }

    void slowReplyEmptiesTheBoxWhileItWaits()
    {
        // Faults caught: the box is emptied only once the wait lets the window draw, and a
        // previous reply stayed up all through a slow one; the command sent is recorded in the
        // exchange's spare time, and the wire view showed nothing until the reply came.
        device->send("OLD\r\n>");
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(results(), QStringLiteral("OLD"));
        answerWith("NEW\r\n>", '\n', 150);
        QString duringTheWait = QStringLiteral("not looked at");
        QSignalSpy told(w->recorder(), &LineRecorder::recorded);
        qsizetype toldDuringTheWait = -1;
        QTimer::singleShot(40, w.get(), [&] {
            duringTheWait = results();
            toldDuringTheWait = told.size();
        });
        w->cmdSend_Click();
        QCOMPARE(duringTheWait, QString());
        QCOMPARE(toldDuringTheWait, 1);
        QCOMPARE(results(), QStringLiteral("NEW"));
    }

    void choiceDuringTheWaitAppliesToTheNextExchange_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<int>("way");
        const QList<SelectBy> ways
                = {SelectBy::Mouse, SelectBy::SpaceKey, SelectBy::Accessibility, SelectBy::Code};
        for (SelectBy way : ways)
            QTest::addRow("packet by %s", selectByName(way)) << "optProt_2" << int(way);
        QTest::newRow("display all ticked") << "ckDispAll" << int(SelectBy::Mouse);
        QTest::newRow("count ticked") << "ckByteCnt" << int(SelectBy::Mouse);
    }

    void choiceDuringTheWaitAppliesToTheNextExchange()
    {
        // Fault caught: a reply judged in a framing it was not sent in. The exchange read its
        // options from the window at several points between waits, so Packet clicked while an
        // *IDN? reply was on its way gave "Did not receive a ACK/NAK packet" and a beep.
        QFETCH(QString, change);
        QFETCH(int, way);
        answerWith("VELK,QSIM\r\n>", '\n', 150);
        QTimer::singleShot(40, w.get(), [&] {
            QVERIFY(w->exchangeInProgress());
            if (change.startsWith(u"opt"))
                select(w.get(), change, SelectBy(way));
            else
                control<QCheckBox>(w.get(), change)->click();
        });
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(results(), QStringLiteral("VELK,QSIM"));
        QCOMPARE(beeps->size(), 0);
        QVERIFY(!errorShown());
    }

    void transcriptRecordsTheExchange()
    {
        QTemporaryDir dir;
        WireLog log(w->recorder());
        QVERIFY(log.open(dir.filePath("wire.log")));
        initialize(*w); // reopened, now with the transcript running
        answerWith("VELK,QSIM\r\n>");
        type("*IDN?");
        w->cmdSend_Click();
        QCOMPARE(results(), QStringLiteral("VELK,QSIM"));
        device->hangUp();
        QTRY_VERIFY(!w->serial()->PortOpen());

        QFile file(dir.filePath("wire.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.takeLast(), QByteArray());
        QStringList shown; // without the times, which differ from run to run
        double lastMs = 0;
        for (const QByteArray &line : lines.mid(1)) {
            const double ms = line.left(12).trimmed().toDouble();
            QVERIFY2(ms >= lastMs, line.constData());
            lastMs = ms;
            shown << QString::fromLatin1(line.mid(13));
        }
        QCOMPARE(shown,
                (QStringList{QStringLiteral("COM1 close \"%1\"").arg(device->path()),
                        QStringLiteral("COM1 open \"%1\" at 9600,N,8,1").arg(device->path()),
                        "COM1 sent 6 bytes: 2A 49 44 4E 3F 0A  \"*IDN?\\n\"",
                        "COM1 recv 12 bytes: 56 45 4C 4B 2C 51 53 49 4D 0D 0A 3E  "
                        "\"VELK,QSIM\\r\\n>\"",
                        QStringLiteral(
                                "COM1 lost COM 1 (%1) was lost: the device went away or hung up. "
                                "The port will be reopened when the device is back.")
                                .arg(device->path())}));
    }

    void idleFloodIsReportedOnceAtRead()
    {
        // A device in talk-only mode while nobody waits: the newest megabyte is kept for Read,
        // which says once how much was dropped.
        box("ckByteCnt")->setChecked(true);
        const qint64 extra = 5000;
        auto flood = [&](const QByteArray &end) {
            device->send(QByteArray(SerialControl::IdleInputLimit + extra - end.size(), 'x') + end);
            QTRY_VERIFY_WITH_TIMEOUT(device->unsent() == 0, 20000);
            QTRY_COMPARE(w->serial()->InBufferCount(), SerialControl::IdleInputLimit);
            QTest::qWait(20);
        };
        // No prompt in it either: that message comes first and must not hide this one.
        flood("\r\n");
        w->cmdRead_Click();
        QCOMPARE(error(),
                QStringLiteral("Input overflowed while no exchange was waiting: the oldest 5000 "
                               "bytes were dropped, the newest 1048576 kept."));
        QVERIFY(errorShown());
        QCOMPARE(beeps->size(), 2);
        QVERIFY2(results().endsWith(
                         QStringLiteral("xxx\r\nCount =  %1").arg(SerialControl::IdleInputLimit)),
                qPrintable(results().right(30)));
        device->send("OK\r\n>");
        w->cmdRead_Click();
        QVERIFY(!errorShown());
        QCOMPARE(results(), QStringLiteral("OK\r\nCount =  5"));
        QCOMPARE(beeps->size(), 2);

        // Send discards such input as it discards any, without a word.
        flood("\r\n>");
        answerWith(">");
        type("*RST");
        w->cmdSend_Click();
        QVERIFY(!errorShown());
        device->send("OK\r\n>");
        w->cmdRead_Click();
        QVERIFY(!errorShown());
        QCOMPARE(beeps->size(), 2);
    }

    void deviceVanishesDuringAWait()
    {
        box("ckPrompt")->setChecked(false);
        device->onReceived = [&](const QByteArray &) {
            QTimer::singleShot(50, device.get(), [&] { device->hangUp(); });
        };
        type("*IDN?");
        QElapsedTimer clock;
        clock.start();
        w->cmdSend_Click();
        QVERIFY_IN_TIME(clock.elapsed() < 1500, "the wait should end once the port is gone");
        QCOMPARE(results(), QStringLiteral("Rx buffer empty"));
        QVERIFY(error().contains("was lost"));
        QCOMPARE(beeps->size(), 1);
        QVERIFY(!w->serial()->PortOpen());
        QVERIFY(!QApplication::overrideCursor());
    }

    void initializeDuringAWait()
    {
        box("ckPrompt")->setChecked(false);
        answerWith("LATE\r\n", '\n', 300);
        QTimer::singleShot(50, w.get(), [&] { initialize(*w); });
        type("*IDN?");
        w->cmdSend_Click();
        // The port window opens once the Send has returned, and the port with it.
        QTRY_VERIFY(w->serial()->PortOpen());
        QVERIFY(!w->exchangeInProgress());
    }

    void protocolChoice_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<SelectBy>("way");
        QTest::addColumn<QByteArray>("wire"); // "*CLS" sent with address 3 committed
        QTest::addColumn<bool>("setEnabled");
        QTest::addColumn<bool>("prompt");
        for (SelectBy way : {SelectBy::Mouse, SelectBy::SpaceKey, SelectBy::ArrowKey,
                     SelectBy::Accessibility, SelectBy::Code}) {
            QTest::addRow("off, %s", selectByName(way))
                    << 0 << way << QByteArray("*CLS\n") << false << true;
            QTest::addRow("addr, %s", selectByName(way)) << 1 << way << hex("02 33") + "*CLS\n"
                                                         << true << true;
            QTest::addRow("packet, %s", selectByName(way))
                    << 2 << way << hex("02 33 2A 43 4C 53 03 44") << true << false;
        }
    }

    void protocolChoice()
    {
        QFETCH(int, index);
        QFETCH(SelectBy, way);
        QFETCH(QByteArray, wire);
        QFETCH(bool, setEnabled);
        QFETCH(bool, prompt);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w.get()));
        click(w.get(), "optProt_1");
        setAddress("3");
        // Start from a neighbour, so every way makes a change.
        const int before = index == 0 ? 1 : index - 1;
        click(w.get(), QStringLiteral("optProt_%1").arg(before));
        box("ckPrompt")->setChecked(!prompt);
        select(w.get(), QStringLiteral("optProt_%1").arg(index), way,
                QStringLiteral("optProt_%1").arg(before));
        QCOMPARE(control<QWidget>(w.get(), "cmdSet")->isEnabled(), setEnabled);
        QCOMPARE(box("ckPrompt")->isChecked(), prompt);
        answerWith("\r\n>", wire.back());
        auto sendsAsChosen = [&] {
            device->clearReceived();
            type("*CLS");
            w->cmdSend_Click();
            QCOMPARE(device->received().toHex(' '), wire.toHex(' '));
        };
        sendsAsChosen();
        w->optProt_Click(7); // not a member: nothing changes
        sendsAsChosen();
        // Typing in the address box enables Set Address whatever the protocol, and commits
        // nothing.
        control<QLineEdit>(w.get(), "txtAddr")->setText("5");
        QVERIFY(control<QWidget>(w.get(), "cmdSet")->isEnabled());
        sendsAsChosen();
    }

    void setAddress_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("devAddr");
        for (const char *bad : {"00", "-0", " 0", "15.5", "16", ""})
            QTest::addRow("reject '%s'", bad) << bad << false << "4";
        // Could never go on the line byte for byte: refused here, not at every later Send.
        QTest::newRow("reject 5 euro") << QStringLiteral("5\u20ac") << false << "4";
        QTest::newRow("0") << "0" << true << "0";
        QTest::newRow("07") << "07" << true << "07";
        QTest::newRow("5x") << "5x" << true << "5x";
        QTest::newRow("-3") << "-3" << true << "-3";
        QTest::newRow("3.5") << "3.5" << true << "3.5";
        QTest::newRow("9.5") << "9.5" << true << ":";
        QTest::newRow("10.5") << "10.5" << true << ":";
        QTest::newRow("12") << "12" << true << "<";
        QTest::newRow("14") << "14" << true << ">";
        QTest::newRow("15") << "15" << true << "?";
    }

    void setAddress()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QFETCH(QString, devAddr);
        w->show();
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w.get()));
        control<QLineEdit>(w.get(), "txtAddr")->setText(typed);
        control<QLineEdit>(w.get(), "txtAddr")->setFocus();
        QWidget *focusBefore = QApplication::focusWidget();
        click(w.get(), "cmdSet");
        QCOMPARE(w->state().devAddr(), devAddr);
        QCOMPARE(w->state().AddrSetFlg, accepted);
        QCOMPARE(control<QWidget>(w.get(), "cmdSet")->isEnabled(), !accepted);
        QCOMPARE(errorShown(), !accepted);
        QCOMPARE(beeps->size(), accepted ? 0 : 1);
        if (accepted) {
            QCOMPARE(results(), "Device address set to " + devAddr);
            QTRY_VERIFY(command()->hasFocus());
        } else {
            QCOMPARE(error(),
                    typed.startsWith(u'5') ? QStringLiteral(
                            "Address holds a character outside codes 0 to 255, re-enter")
                                           : QStringLiteral("Address value not 0 to 15, re-enter"));
            QCOMPARE(QApplication::focusWidget(), focusBefore);
        }
    }

    void addressTwelveOnTheWireAndCommittedOnlyBySet()
    {
        click(w.get(), "optProt_1");
        setAddress("12");
        QCOMPARE(results(), QStringLiteral("Device address set to <"));
        control<QLineEdit>(w.get(), "txtAddr")->setText("3");
        box("ckPrompt")->setChecked(false);
        box("ckAuto")->setChecked(false);
        type("X");
        w->cmdSend_Click();
        QVERIFY(device->waitForReceived(4));
        QCOMPARE(device->received(), hex("02 3C 58 0A"));
    }
};

QUILLON_TEST_MAIN(ExchangeTest)
#include "test_exchange.moc"
