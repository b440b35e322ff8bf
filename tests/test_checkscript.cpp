// Check scripts without a line: reading a script, judging a reply, reading a number the strict
// way, and turning a transcript back into a script.

#include "line/record/wirelog.h"
#include "protocol/checkscript.h"
#include "protocol/escapedbytes.h"
#include "protocol/framing.h"
#include "protocol/replynumber.h"
#include "script/scriptfromlog.h"
#include "script/scriptrunner.h"

#include <QTest>

class CheckScriptTest : public QObject
{
    Q_OBJECT

private slots:
    void everyBadLineIsNamed_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("errors"); // the first ones, as "line: message"
        QTest::addColumn<int>("count"); // all of them
        QTest::newRow("unknown step") << QByteArray("port 1\n# note\n\nsned *IDN?\n")
                                      << QStringList{"4: unknown step \"sned\""} << 1;
        QTest::newRow("port out of range")
                << QByteArray("port 5\n") << QStringList{"1: port takes a COM port from 1 to 4"}
                << 1;
        QTest::newRow("send before a port")
                << QByteArray("framing off\nquery *IDN?\nport 1\n")
                << QStringList{"2: no port yet: a line \"port N\" comes first"} << 1;
        QTest::newRow("address left out")
                << QByteArray("port 1\nframing packet\n")
                << QStringList{"2: framing takes off, addr N or packet N, with N from 0 to 15"}
                << 1;
        QTest::newRow("address too high")
                << QByteArray("port 1\nframing addr 16\n")
                << QStringList{"2: framing takes off, addr N or packet N, with N from 0 to 15"}
                << 1;
        QTest::newRow("nothing to send")
                << QByteArray("port 1\nsend   \n") << QStringList{"2: Nothing to send"} << 1;
        QTest::newRow("beyond 8 bits") << QString("port 1\nsend VOLT 5\u2126\n").toUtf8()
                                       << QStringList{"2: Cannot send: the command holds a "
                                                      "character outside the 8-bit range (codes "
                                                      "0 to 255). Nothing was sent."}
                                       << 1;
        QTest::newRow("odd hex")
                << QByteArray("port 1\nsend-raw 02 3\n")
                << QStringList{"2: send-raw takes bytes in hexadecimal, such as 02 34 05"} << 1;
        QTest::newRow("bad settings")
                << QByteArray("settings 9600,X,8,1\n")
                << QStringList{"1: bad settings \"9600,X,8,1\": write them as 9600,N,8,1"} << 1;
        QTest::newRow("bad pattern")
                << QByteArray("expect /(VELK/\n")
                << QStringList{"1: bad pattern: missing closing parenthesis"} << 1;
        const QString badQuotes = "1: bad quoted text: use \\r \\n \\t \\\" \\\\ or \\xHH, and "
                                  "characters 0 to 255";
        QTest::newRow("bad escape")
                << QByteArray("expect \"A\\q\"\n") << QStringList{badQuotes} << 1;
        QTest::newRow("short hex escape")
                << QByteArray("expect \"\\x4\"\n") << QStringList{badQuotes} << 1;
        QTest::newRow("reversed range")
                << QByteArray("expect number in [5, 0]\n")
                << QStringList{"1: a number range is [LOW, HIGH] with LOW <= HIGH"} << 1;
        QTest::newRow("loose range") << QByteArray("expect number in [0, 5 V]\n")
                                     << QStringList{"1: expect takes /REGEX/, \"TEXT\", number "
                                                    "in [A, B], ack, nak or nothing"}
                                     << 1;
        QTest::newRow("wait without unit")
                << QByteArray("wait 500\n")
                << QStringList{"1: wait takes a time such as 500 ms or 2 s, up to 86400 s"} << 1;
        QTest::newRow("terminator") << QByteArray("terminator lfcr\n")
                                    << QStringList{"1: terminator takes lf, cr, crlf or none"} << 1;
        QTest::newRow("repeat left open") << QByteArray("repeat 2\nwait 1 ms\nrepeat 3\nend\n")
                                          << QStringList{"1: repeat without its end"} << 1;
        QTest::newRow("end alone") << QByteArray("wait 1 ms\r\nend\r\n")
                                   << QStringList{"2: end without its repeat"} << 1;
        // A bad repeat still opens its block, so its end is not reported as well.
        QTest::newRow("every bad line in one pass")
                << QByteArray("sned\nport 1\nprompt maybe\nrepeat x\nend\nend\n")
                << QStringList{"1: unknown step \"sned\"", "3: prompt takes on or off",
                           "4: repeat takes a count from 0 to 1000000", "6: end without its repeat"}
                << 4;
        QTest::newRow("nested too deep")
                << QByteArray("repeat 1\n").repeated(65) + QByteArray("end\n").repeated(65)
                << QStringList{"65: repeats nest more than 64 deep"} << 1;
        QTest::newRow("empty repeats without end")
                << QByteArray("repeat 1000000\n").repeated(5) + QByteArray("end\n").repeated(5)
                << QStringList{"1: the script would run more than 10000000 steps, a pass of a "
                               "repeat counted as one"}
                << 1;
        QTest::newRow("too long, named at the outermost repeat")
                << QByteArray("port 1\nrepeat 10\nrepeat 1000000\nsend x\nend\nend\n")
                << QStringList{"2: the script would run more than 10000000 steps, a pass of a "
                               "repeat counted as one"}
                << 1;
        QStringList first;
        for (int line = 1; line <= 20; ++line)
            first << QStringLiteral("%1: unknown step \"x\"").arg(line);
        QTest::newRow("the first 20 of many") << QByteArray("x\n").repeated(25) << first << 25;
    }

    void everyBadLineIsNamed()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, errors);
        QFETCH(int, count);
        const CheckScript read = ReadCheckScript(script);
        QStringList named;
        for (const ScriptError &error : read.errors)
            named << QStringLiteral("%1: %2").arg(error.line).arg(error.message);
        QCOMPARE(named, errors);
        QCOMPARE(read.errorCount, count);
        QVERIFY(read.steps.isEmpty()); // nothing of a bad script may run
    }

    void everyStepReadsAndWritesBack()
    {
        // Fault caught: the writer of --script-from-log spelled a step otherwise than the reader.
        const QByteArray canonical = "port 2\nsettings 19200,E,7,2\nframing addr 12\n"
                                     "terminator crlf\nprompt off\nrepeat 3\n"
                                     "query MEAS:VOLT? #1\nexpect \"1.5\\r\\n>\"\nend\n"
                                     "send-raw 02 34 05\nquery-raw 2A\nwait 2000 ms\n"
                                     "expect number in [-0.001, 25]\nexpect /^V/\nexpect nak\n"
                                     "framing off\nsend *RST\n";
        const CheckScript parsed = ParseCheckScript(canonical);
        QVERIFY(parsed.ok());
        QString written;
        for (const ScriptStep &step : parsed.steps)
            written += ScriptLine(step.action) + u'\n';
        QCOMPARE(written, QString::fromLatin1(canonical));
    }

    void layoutIsNotPartOfTheStep()
    {
        const CheckScript parsed = ParseCheckScript("  # header\r\n"
                                                    "port 2\r\n"
                                                    "repeat 3\r\n"
                                                    "  query   MEAS:VOLT? #1 \r\n"
                                                    "end\r\n"
                                                    "wait 2 s\r\n");
        QVERIFY(parsed.ok());
        const QList<ScriptStep> &s = parsed.steps;
        QCOMPARE(s.size(), 5);
        QCOMPARE(s[0].line, 2);
        QCOMPARE(std::get<RepeatStep>(s[1].action).endIndex, 3);
        QCOMPARE(std::get<EndStep>(s[3].action).repeatIndex, 1);
        // Blanks around a command are the script's layout; a '#' inside it is the command's.
        QCOMPARE(std::get<SendStep>(s[2].action).command, QStringLiteral("MEAS:VOLT? #1"));
        QCOMPARE(StepTitle(s[2]), QStringLiteral("query   MEAS:VOLT? #1"));
        QCOMPARE(std::get<WaitStep>(s[4].action).ms, 2000);
    }

    void walkUnrollsRepeats_data()
    {
        QTest::addColumn<qint64>("bound");
        QTest::addColumn<QList<int>>("lines"); // of the steps run, in order
        QTest::newRow("whole") << qint64(100) << QList<int>{2, 6, 2, 6, 8};
        // The passes count: the bound falls after the first pass's end, before line 2 again.
        QTest::newRow("bound") << qint64(3) << QList<int>{2, 6};
    }

    void walkUnrollsRepeats()
    {
        QFETCH(qint64, bound);
        QFETCH(QList<int>, lines);
        const CheckScript parsed = ParseCheckScript("repeat 2\nwait 1 ms\nrepeat 0\nwait 2 ms\n"
                                                    "end\nwait 3 ms\nend\nwait 4 ms\n");
        ScriptWalk walk(parsed.steps, bound);
        QList<int> run;
        while (const auto index = walk.next())
            run << parsed.steps.at(*index).line;
        QCOMPARE(run, lines);
        QCOMPARE(walk.boundReached(), bound < parsed.stepsRun);
        if (!walk.boundReached())
            QCOMPARE(walk.stepsTaken(), parsed.stepsRun);
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
        const QByteArray nakWithNumber = QByteArray("\x15"
                                                    "47.25\x03")
                + char(0x15 ^ '4' ^ '7' ^ '.' ^ '2' ^ '5' ^ 0x03) + "\r\n>";
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
                                          << "expected a number in [0, 1], got \"\"";
        QTest::newRow("number before a bare prompt")
                << "number in [1, 2]" << QByteArray("1.5>") << false << "";
        QTest::newRow("number in a NAK packet")
                << "number in [0, 10]" << nakWithNumber << true
                << "expected a number in [0, 10], got a NAK packet with \"7.25\"";
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
        QVERIFY(parsed.ok());
        ReplyUnderCheck reply;
        reply.read = true;
        reply.received = received;
        reply.packetMode = packetMode;
        // What the results box shows for a plain reply: up to the first terminator.
        reply.shown = received.left(received.indexOf('\r'));
        const CheckVerdict verdict
                = CheckReply(std::get<ExpectStep>(parsed.steps.first().action).expectation, reply);
        QCOMPARE(verdict.detail, failure);
        QCOMPARE(verdict.passed, failure.isEmpty());
    }

    void noReplyReadFailsEveryCheck()
    {
        // After a send that read nothing, even "nothing" cannot be known to hold.
        const CheckScript parsed = ParseCheckScript("expect nothing\nexpect /x*/\n");
        for (const ScriptStep &step : parsed.steps) {
            const CheckVerdict verdict
                    = CheckReply(std::get<ExpectStep>(step.action).expectation, ReplyUnderCheck());
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
        const auto sent = [](const QByteArray &bytes, double ms = 1.5) {
            return WireLog::line(ms, 1, "sent", WireLog::chunk(bytes)) + '\n';
        };
        const auto recv = [](const QByteArray &bytes, double ms = 2.5) {
            return WireLog::line(ms, 1, "recv", WireLog::chunk(bytes)) + '\n';
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
        QTest::newRow("NBSP and NEL at the ends go raw")
                << open + sent("\xA0*IDN?\x85\n") + recv("X\r\n>")
                << QByteArray("settings 19200,N,8,1\nport 1\nquery-raw A0 2A 49 44 4E 3F 85 0A\n"
                              "expect \"X\\r\\n>\"\n");
        // The read ends 20 ms after the prompt; what came later is not expected.
        QTest::newRow("a reply split across a wait")
                << WireLog::line(0.1, 1, "open", "\"/dev/x\\\\ny\" at 19200,N,8,1") + '\n'
                        + sent("*IDN?\n") + recv("A\nB>") + recv(">", 500) + sent("*CLS\n", 900)
                        + recv(">", 901)
                << QByteArray("settings 19200,N,8,1\nport 1\nquery *IDN?\nexpect \"A\\nB>\"\n"
                              "wait 878 ms\nsend *CLS\n");
        QTest::newRow("a pause counts from the end of a read without terminator")
                << open + sent("*IDN?\n") + recv(">") + sent("*CLS\n", 3100) + recv(">", 3101)
                << QByteArray(
                           "settings 19200,N,8,1\nport 1\nquery *IDN?\nexpect \">\"\nwait 79 ms\n"
                           "send *CLS\n");
        QTest::newRow("a chunk of 4 MB, too long to expect")
                << open + sent("*IDN?\n") + recv(QByteArray(4 << 20, 'A') + "\r\n>")
                << QByteArray("settings 19200,N,8,1\nport 1\nquery *IDN?\n");
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
        // Whatever it writes must read back as a script, and a terminal may show it.
        QVERIFY(ReadCheckScript(made.script).ok());
        for (const char c : made.script)
            QVERIFY(c == '\n' || (c != 0x7F && (c < 0 || c >= 0x20)));
    }

    void transcriptErrors_data()
    {
        QTest::addColumn<QByteArray>("transcript");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("error");
        const QByteArray idn = "  1.0 COM1 sent 2 bytes: 2A 49  \"*I\"\n";
        const QString notALine = "not a line of a quillon transcript";
        QTest::newRow("count and hex differ")
                << QByteArray("# header\n  1.0 COM1 sent 3 bytes: 2A 49  \"*I\"\n") << 2
                << notALine;
        QTest::newRow("hex and text differ")
                << QByteArray("  1.0 COM1 sent 2 bytes: 2A 49  \"*X\"\n") << 1 << notALine;
        QTest::newRow("COM9") << "  1.0 COM9 sent 2 bytes: 2A 49  \"*I\"\n" + idn << 1
                              << "COM9 is not a port: a transcript has COM1 to COM4";
        QTest::newRow("COM0") << "  1.0 COM0 close \"x\"\n" + idn << 1
                              << "COM0 is not a port: a transcript has COM1 to COM4";
        QTest::newRow("empty chunk")
                << "  1.0 COM1 sent 0 bytes:   \"\"\n" + idn << 1
                << "a chunk of no bytes: nothing goes on a line or comes from it without a byte";
        QTest::newRow("bad settings")
                << "  1.0 COM1 open \"x\" at 9600,Q,8,1\n" + idn << 1 << notALine;
        QTest::newRow("a later format")
                << "# Quillon wire transcript, started x; times in ms since then; format 4\n" + idn
                << 1 << "written in transcript format 4; this Quillon reads formats up to 3";
        QTest::newRow("no frame") << WireLog::line(0.1, 1, "open", "/dev/pts/9 at 9600,N,8,1") << 0
                                  << "the transcript holds no frame sent";
    }

    void transcriptErrors()
    {
        QFETCH(QByteArray, transcript);
        QFETCH(int, line);
        QFETCH(QString, error);
        const ScriptFromLog made = ScriptFromTranscript(transcript, "t");
        QCOMPARE(made.error, error);
        QCOMPARE(made.errorLine, line);
    }
};

QTEST_GUILESS_MAIN(CheckScriptTest)
#include "test_checkscript.moc"
