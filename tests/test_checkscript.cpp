// Check scripts without a line: reading a script, judging a reply, reading a number the strict
// way, and turning a transcript back into a script.

#include "app/scriptfromlog.h"
#include "line/wirelog.h"
#include "protocol/checkscript.h"
#include "protocol/framing.h"
#include "protocol/replynumber.h"

#include <QTest>

class CheckScriptTest : public QObject
{
    Q_OBJECT

private slots:
    void parseErrorsNameTheirLine_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("error");
        QTest::newRow("unknown step")
                << QByteArray("port 1\n# note\n\nsned *IDN?\n") << 4 << "unknown step \"sned\"";
        QTest::newRow("port out of range")
                << QByteArray("port 5\n") << 1 << "unknown port \"5\": ports are COM 1 to 4";
        QTest::newRow("send before a port") << QByteArray("framing off\nquery *IDN?\nport 1\n") << 2
                                            << "no port yet: a line \"port N\" comes first";
        QTest::newRow("address left out")
                << QByteArray("port 1\nframing packet\n") << 2 << "Missing a device address";
        QTest::newRow("address too high") << QByteArray("port 1\nframing addr 16\n") << 2
                                          << "a device address is a whole number from 0 to 15";
        QTest::newRow("nothing to send")
                << QByteArray("port 1\nsend   \n") << 2 << "Nothing to send";
        QTest::newRow("beyond 8 bits") << QString("port 1\nsend VOLT 5\u2126\n").toUtf8() << 2
                                       << "Cannot send: the command holds a character outside "
                                          "the 8-bit range (codes 0 to 255). Nothing was sent.";
        QTest::newRow("odd hex") << QByteArray("port 1\nsend-raw 02 3\n") << 2
                                 << "send-raw takes bytes in hexadecimal, such as 02 34 05";
        QTest::newRow("bad pattern") << QByteArray("expect /(VELK/\n") << 1 << "bad pattern: ";
        QTest::newRow("bad escape") << QByteArray("expect \"A\\q\"\n") << 1 << "bad quoted text";
        QTest::newRow("short hex escape")
                << QByteArray("expect \"\\x4\"\n") << 1 << "bad quoted text";
        QTest::newRow("reversed range") << QByteArray("expect number in [5, 0]\n") << 1
                                        << "a number range is [LOW, HIGH] with LOW <= HIGH";
        QTest::newRow("loose range")
                << QByteArray("expect number in [0, 5 V]\n") << 1 << "expect takes /REGEX/";
        QTest::newRow("wait without unit") << QByteArray("wait 500\n") << 1 << "wait takes";
        QTest::newRow("terminator")
                << QByteArray("terminator lfcr\n") << 1 << "terminator takes lf, cr, crlf or none";
        QTest::newRow("repeat left open") << QByteArray("repeat 2\nwait 1 ms\nrepeat 3\nend\n") << 1
                                          << "repeat without its end";
        QTest::newRow("end alone")
                << QByteArray("wait 1 ms\r\nend\r\n") << 2 << "end without its repeat";
    }

    void parseErrorsNameTheirLine()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, line);
        QFETCH(QString, error);
        const CheckScript parsed = ParseCheckScript(script);
        QVERIFY(!parsed.ok());
        QCOMPARE(parsed.errorLine, line);
        QVERIFY2(parsed.error.startsWith(error), qPrintable(parsed.error));
        QVERIFY(parsed.steps.isEmpty()); // nothing of a bad script may run
    }

    void parseReadsEveryStep()
    {
        const CheckScript parsed = ParseCheckScript("  # header\r\n"
                                                    "port 2\r\n"
                                                    "settings 19200,E,7,2\r\n"
                                                    "framing addr 12\r\n"
                                                    "terminator crlf\r\n"
                                                    "prompt off\r\n"
                                                    "repeat 3\r\n"
                                                    "  query   MEAS:VOLT? #1 \r\n"
                                                    "  expect \"1.5\\r\\n\\x3E\"\r\n"
                                                    "end\r\n"
                                                    "send-raw 02 34 05\r\n"
                                                    "wait 2 s\r\n");
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
        using K = ScriptStep::Kind;
        const QList<ScriptStep> &s = parsed.steps;
        QCOMPARE(s.size(), 11);
        QCOMPARE(s[0].kind, K::Port);
        QCOMPARE(s[0].number, 2);
        QCOMPARE(s[0].line, 2);
        QCOMPARE(s[1].settings, QStringLiteral("19200,E,7,2"));
        QCOMPARE(s[2].framing, ScriptStep::Framing::Addr);
        QCOMPARE(s[2].number, 12);
        QVERIFY(s[3].addCR && s[3].addLF);
        QVERIFY(!s[4].on);
        QCOMPARE(s[5].matchingIndex, 8);
        QCOMPARE(s[8].matchingIndex, 5);
        // Blanks around a command are the script's layout; a '#' inside it is the command's.
        QCOMPARE(s[6].command, QByteArray("MEAS:VOLT? #1"));
        QCOMPARE(s[6].kind, K::Query);
        QCOMPARE(s[7].expect.exact, QByteArray("1.5\r\n>"));
        QCOMPARE(s[9].command, QByteArray("\x02\x34\x05"));
        QVERIFY(s[9].raw);
        QCOMPARE(s[10].number, 2000);
        QCOMPARE(StepTitle(s[6]), QStringLiteral("query   MEAS:VOLT? #1"));
    }

    void checks_data()
    {
        QTest::addColumn<QString>("expect");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<bool>("packetMode");
        QTest::addColumn<QString>("failure"); // empty: passes
        const QByteArray identity = "VELK,QSIM-488,0,1.0\r\n>";
        const QByteArray ack = QByteArray("\x06"
                                          "41\x03")
                + char(0x06 ^ '4' ^ '1' ^ 0x03) + "\r\n>";
        const QByteArray nak = QByteArray("\x15"
                                          "432\x03")
                + char(0x15 ^ '4' ^ '3' ^ '2' ^ 0x03);
        const QByteArray badSum = QByteArray("\x06"
                                             "41\x03")
                + char(0x5A) + "\r\n>";
        QTest::newRow("pattern on the shown text") << "/^VELK,.*1\\.0$/" << identity << false << "";
        QTest::newRow("pattern misses") << "/QSIM-999/" << identity << false
                                        << "expected /QSIM-999/, got \"VELK,QSIM-488,0,1.0\"";
        QTest::newRow("exact is every byte")
                << "\"VELK,QSIM-488,0,1.0\\r\\n>\"" << identity << false << "";
        QTest::newRow("exact without the prompt")
                << "\"VELK,QSIM-488,0,1.0\"" << identity << false
                << "expected \"VELK,QSIM-488,0,1.0\", got \"VELK,QSIM-488,0,1.0\\r\\n>\"";
        QTest::newRow("number in range")
                << "number in [-1e-3, +2.5E+1]" << QByteArray(" +1.234E-03\r\n>") << false << "";
        QTest::newRow("number on the bound")
                << "number in [0, 5]" << QByteArray("5\r\n") << false << "";
        QTest::newRow("number out of range")
                << "number in [0, 5]" << QByteArray("9.81\r\n>") << false
                << "expected a number in [0, 5], got \"9.81\"";
        QTest::newRow("number with a unit")
                << "number in [0, 100]" << QByteArray("9.81 V\r\n") << false
                << "expected a number in [0, 100], got \"9.81 V\"";
        QTest::newRow("no number at all") << "number in [0, 1]" << QByteArray(">") << false
                                          << "expected a number in [0, 1], got \">\"";
        QTest::newRow("number from a packet") << "number in [1, 1]" << ack << true << "";
        QTest::newRow("ack") << "ack" << ack << true << "";
        QTest::newRow("ack with a bad checksum")
                << "ack" << badSum << true
                << "expected an ACK packet, got one whose checksum fails";
        QTest::newRow("ack gets a nak")
                << "ack" << nak << true << "expected an ACK packet, got a NAK packet";
        QTest::newRow("nak") << "nak" << nak << true << "";
        QTest::newRow("nak gets text")
                << "nak" << identity << false
                << "expected a NAK packet, got \"VELK,QSIM-488,0,1.0\\r\\n>\"";
        QTest::newRow("nothing but the prompt") << "nothing" << QByteArray(">") << false << "";
        QTest::newRow("nothing at all") << "nothing" << QByteArray() << false << "";
        QTest::newRow("something") << "nothing" << QByteArray("0\r\n>") << false
                                   << "expected nothing, got \"0\\r\\n>\"";
    }

    void checks()
    {
        QFETCH(QString, expect);
        QFETCH(QByteArray, received);
        QFETCH(bool, packetMode);
        QFETCH(QString, failure);
        const CheckScript parsed = ParseCheckScript(("expect " + expect).toUtf8());
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
        ReplyUnderCheck reply;
        reply.read = true;
        reply.received = received;
        reply.packetMode = packetMode;
        // What the results box shows for a plain reply: up to the first terminator.
        reply.shown = received.left(received.indexOf('\r'));
        const CheckVerdict verdict = CheckReply(parsed.steps.first().expect, reply);
        QCOMPARE(verdict.detail, failure);
        QCOMPARE(verdict.passed, failure.isEmpty());
    }

    void noReplyReadFailsEveryCheck()
    {
        // After a send that read nothing, even "nothing" cannot be known to hold.
        const CheckScript parsed = ParseCheckScript("expect nothing\nexpect /x*/\n");
        for (const ScriptStep &step : parsed.steps) {
            const CheckVerdict verdict = CheckReply(step.expect, ReplyUnderCheck());
            QVERIFY(!verdict.passed);
            QCOMPARE(verdict.detail,
                    QStringLiteral("no reply to check: nothing was read since the last send"));
        }
    }

    void strictNumbers_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        QTest::newRow("exponent") << QByteArray("+1.234E-03") << true << 1.234e-3;
        QTest::newRow("blanks around") << QByteArray("  -5 ") << true << -5.0;
        QTest::newRow("leading point") << QByteArray(".5") << true << 0.5;
        QTest::newRow("trailing point") << QByteArray("7.") << true << 7.0;
        QTest::newRow("lower e") << QByteArray("2e3") << true << 2000.0;
        QTest::newRow("empty") << QByteArray("") << false << 0.0;
        QTest::newRow("point alone") << QByteArray(".") << false << 0.0;
        QTest::newRow("exponent without digits") << QByteArray("1E") << false << 0.0;
        QTest::newRow("two points") << QByteArray("1.2.3") << false << 0.0;
        QTest::newRow("comma") << QByteArray("1,5") << false << 0.0;
        QTest::newRow("blank after sign") << QByteArray("- 5") << false << 0.0;
        QTest::newRow("hex") << QByteArray("0x10") << false << 0.0;
        QTest::newRow("infinity") << QByteArray("inf") << false << 0.0;
        QTest::newRow("overflow") << QByteArray("1E999") << false << 0.0;
        QTest::newRow("trailing unit") << QByteArray("3.3V") << false << 0.0;
    }

    void strictNumbers()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        const auto number = ReadInstrumentNumber(text);
        QCOMPARE(number.has_value(), isNumber);
        if (isNumber)
            QCOMPARE(*number, value);
    }

    void everyByteSurvivesTheQuotes()
    {
        QByteArray all;
        for (int code = 0; code < 256; ++code)
            all += char(code);
        const QByteArray quoted = WireLog::escaped(all);
        QByteArray back;
        QVERIFY(UnescapeBytes(QString::fromLatin1(quoted.mid(1, quoted.size() - 2)), back));
        QCOMPARE(back, all);
    }

    void scriptFromTranscript_data()
    {
        QTest::addColumn<QByteArray>("transcript");
        QTest::addColumn<QByteArray>("script"); // the steps, comments left out
        const QByteArray header = "# Quillon wire transcript, started x; times in ms since then\n";
        const auto sent = [](const QByteArray &bytes) {
            return WireLog::line(1.5, 1, "sent",
                           QByteArray::number(bytes.size()) + " bytes: " + WireLog::hex(bytes)
                                   + "  " + WireLog::escaped(bytes))
                    + '\n';
        };
        const auto recv = [](const QByteArray &bytes) {
            return WireLog::line(2.5, 1, "recv",
                           QByteArray::number(bytes.size()) + " bytes: " + WireLog::hex(bytes)
                                   + "  " + WireLog::escaped(bytes))
                    + '\n';
        };
        const QByteArray open = WireLog::line(0.1, 1, "open", "/dev/pts/9 at 19200,N,8,1") + '\n';
        const QByteArray packet = FrameMessage("*OPC?", false, true, "4", false, true);
        QTest::newRow("plain query, then a send answered by the prompt")
                << header + open + sent("*IDN?\n") + recv("VELK\r") + recv("\n>") + sent("*RST\n")
                        + recv(">")
                << QByteArray("settings 19200,N,8,1\nport 1\nquery *IDN?\nexpect "
                              "\"VELK\\r\\n>\"\nsend *RST\n");
        QTest::newRow("terminators, address, packet")
                << open + sent("\x02:*CLS\r\n") + recv("0\r\n>") + sent(packet) + recv("\x06>")
                << QByteArray("settings 19200,N,8,1\nport 1\nframing addr 10\nterminator crlf\n"
                              "query *CLS\nexpect \"0\\r\\n>\"\nframing packet 4\nquery "
                              "*OPC?\nexpect \"\\x06>\"\n");
        QTest::newRow("no prompt, no terminator")
                << open + sent("*ESR?") + recv("0")
                << QByteArray("settings 19200,N,8,1\nport 1\nprompt off\nterminator none\n"
                              "query *ESR?\nexpect \"0\"\n");
        QTest::newRow("a control frame goes raw")
                << open + sent("\x02\x34\x05") + recv(">")
                << QByteArray("settings 19200,N,8,1\nport 1\nframing addr 4\nsend-raw 02 34 05\n");
        QTest::newRow("nothing came back, nothing was read")
                << open + sent("*RST\n")
                << QByteArray("settings 19200,N,8,1\nport 1\nprompt off\nsend *RST\n");
        QTest::newRow("blanks a script line would lose go raw")
                << open + sent(" *IDN?\n") + recv("X\r\n>")
                << QByteArray("settings 19200,N,8,1\nport 1\nquery-raw 20 2A 49 44 4E 3F 0A\n"
                              "expect \"X\\r\\n>\"\n");
        QTest::newRow("silent device")
                << open + sent("*IDN?\n")
                << QByteArray("settings 19200,N,8,1\nport 1\nprompt off\nquery *IDN?\n"
                              "expect \"\"\n");
    }

    void scriptFromTranscript()
    {
        QFETCH(QByteArray, transcript);
        QFETCH(QByteArray, script);
        const ScriptFromLog made = ScriptFromTranscript(transcript, QStringLiteral("t.log"));
        QVERIFY2(made.ok(), qPrintable(made.error));
        QByteArray steps;
        for (const QByteArray &line : made.script.split('\n'))
            if (!line.isEmpty() && !line.startsWith('#'))
                steps += line + '\n';
        QCOMPARE(steps, script);
        // Whatever it writes must read back as a script.
        const CheckScript parsed = ParseCheckScript(made.script);
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
    }

    void transcriptErrors()
    {
        const ScriptFromLog broken
                = ScriptFromTranscript("# header\n  1.0 COM1 sent 3 bytes: 2A 49  \"*I\"\n", "t");
        QCOMPARE(broken.errorLine, 2); // the byte count does not match the hex
        const ScriptFromLog empty = ScriptFromTranscript(
                WireLog::line(0.1, 1, "open", "/dev/pts/9 at 9600,N,8,1"), "t");
        QCOMPARE(empty.error, QStringLiteral("the transcript holds no frame sent"));
    }
};

QTEST_GUILESS_MAIN(CheckScriptTest)
#include "test_checkscript.moc"
