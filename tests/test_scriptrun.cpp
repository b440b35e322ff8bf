// The real `quillon --run` and `--script-from-log` as processes, with no display, against
// quillon-sim and its fault switches; one session recorded through the window and replayed.

#include "headlessrun.h"
#include "line/port/serialcontrol.h"
#include "line/record/wirelog.h"
#include "ptydevice.h"
#include "script/scriptfromlog.h"
#include "script/scriptrunner.h"
#include "simprocess.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QXmlStreamReader>

using namespace WindowDriver;

namespace {

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &text)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// The frames a transcript says were sent, in order, as bytes.
QList<QByteArray> sentFrames(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression sent(
            QStringLiteral(" COM\\d+ sent \\d+ bytes: ([0-9A-F ]*)  "));
    QList<QByteArray> frames;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QRegularExpressionMatch match = sent.match(QString::fromLatin1(line));
        if (match.hasMatch())
            frames << QByteArray::fromHex(match.captured(1).toLatin1());
    }
    return frames;
}

// The lines of the script that hold `step`, 1-based.
QList<int> linesHolding(const QByteArray &script, const QByteArray &step)
{
    QList<int> lines;
    const QList<QByteArray> all = script.split('\n');
    for (int i = 0; i < all.size(); ++i)
        if (all[i].trimmed().startsWith(step))
            lines << i + 1;
    return lines;
}

} // namespace

class ScriptRunTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void documentedExamplePasses()
    {
        SimProcess sim;
        QVERIFY(sim.ready());
        const QString report = dir.filePath("example.xml");
        const HeadlessRun run = RunHeadless(
                {"--run", QStringLiteral(QUILLON_SOURCE_DIR) + "/examples/simulator-check.qs",
                        "--com1", sim.path(), "--junit", report});
        QVERIFY2(run.status == 0, qPrintable(run.output + run.errors));
        const QStringList lines = run.output.split('\n', Qt::SkipEmptyParts);
        // 13 steps before the loop, 4 in each of its 5 passes, and the summary.
        QCOMPARE(lines.size(), 13 + 4 * 5 + 1);
        for (qsizetype i = 0; i + 1 < lines.size(); ++i)
            QVERIFY2(lines[i].startsWith("PASS "), qPrintable(lines[i]));
        QVERIFY2(
                lines.last().startsWith("PASS: 33 steps, none failed ("), qPrintable(lines.last()));
        QVERIFY(run.output.contains(
                QRegularExpression("\nPASS 9: expect /\\^VELK,QSIM-488,/ \\(\\d+ ms\\)\n")));
    }

    void eachExpectFailsAtItsLine_data()
    {
        QTest::addColumn<QStringList>("simArguments");
        QTest::addColumn<QByteArray>("steps");
        QTest::addColumn<int>("line");
        QTest::addColumn<QString>("detail");
        QTest::newRow("pattern") << QStringList() << QByteArray("query *IDN?\nexpect /QSIM-999/\n")
                                 << 3 << "expected /QSIM-999/, got \"VELK,QSIM-488,0,1.0\"";
        QTest::newRow("exact") << QStringList() << QByteArray("query *IDN?\nexpect \"VELK\"\n") << 3
                               << "expected \"VELK\", got \"VELK,QSIM-488,0,1.0\\r\\n>\"";
        QTest::newRow("number") << QStringList()
                                << QByteArray("send *FOO\nquery *ESR?\nexpect number in [0, 5]\n")
                                << 4 << "expected a number in [0, 5], got \"32\"";
        QTest::newRow("ack, checksum broken")
                << QStringList{"--bad-checksum"}
                << QByteArray("framing packet 4\nquery *IDN?\nexpect ack\n") << 4
                << "expected an ACK packet, got one whose checksum fails";
        QTest::newRow("ack, refused")
                << QStringList{"--nak"} << QByteArray("framing packet 4\nquery *OPC?\nexpect ack\n")
                << 4 << "expected an ACK packet, got a NAK packet";
        QTest::newRow("nak") << QStringList()
                             << QByteArray("framing packet 4\nquery *OPC?\nexpect nak\n") << 4
                             << "expected a NAK packet, got an ACK packet";
        // A query reads even when the frame asks nothing, as Read Req'd does.
        QTest::newRow("exact, read on request")
                << QStringList() << QByteArray("terminator none\nquery *CLS\nexpect \"x\"\n") << 4
                << "expected \"x\", got \">\"";
        QTest::newRow("nothing") << QStringList() << QByteArray("query *OPC?\nexpect nothing\n")
                                 << 3 << "expected nothing, got \"1\\r\\n>\"";
    }

    void eachExpectFailsAtItsLine()
    {
        QFETCH(QStringList, simArguments);
        QFETCH(QByteArray, steps);
        QFETCH(int, line);
        QFETCH(QString, detail);
        SimProcess sim(simArguments);
        QVERIFY(sim.ready());
        // A failed check does not end the run: the step after it still runs and passes.
        const QString script = writeFile(
                dir, "fail.qs", "port 1\n" + steps + "framing off\nquery *IDN?\nexpect /VELK/\n");
        const HeadlessRun run = RunHeadless({"--run", script, "--com1", sim.path()});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.output.contains(QStringLiteral("\nFAIL %1: %2\n").arg(line).arg(detail)),
                qPrintable(run.output));
        QCOMPARE(run.output.count(QStringLiteral("FAIL ")), 1);
        QVERIFY2(run.output.contains(QRegularExpression(
                         QStringLiteral("\nPASS %1: expect /VELK/ \\(\\d+ ms\\)\n").arg(line + 3))),
                qPrintable(run.output));
        QVERIFY2(run.output.contains(QRegularExpression(
                         QStringLiteral("\nFAIL: 1 of \\d+ steps failed, the first at line %1 \\(")
                                 .arg(line))),
                qPrintable(run.output));
    }

    void silentDeviceFailsWithinTheBound()
    {
        SimProcess sim({"--silent"});
        QVERIFY(sim.ready());
        const QString script = writeFile(dir, "silent.qs", "port 1\nquery *IDN?\nexpect /VELK/\n");
        const HeadlessRun run = RunHeadless({"--run", script, "--com1", sim.path()});
        QCOMPARE(run.status, 1);
        QVERIFY2(run.output.contains("\nFAIL 2: Prompt not found. Uncheck Next Msg Prompt box if "
                                     "communicating with a non-Velk device\n"),
                qPrintable(run.output));
        // An empty reply is empty to a pattern, not the box's "Rx buffer empty".
        QVERIFY2(run.output.contains("\nFAIL 3: expected /VELK/, got \"\"\n"),
                qPrintable(run.output));
        // The read's own bound: 3 s for the terminator and 1 s for the prompt, plus the start.
        QVERIFY2(run.ms >= 4000, qPrintable(QString::number(run.ms)));
        QVERIFY_IN_TIME(run.ms < 7000, qPrintable(QString::number(run.ms)));
    }

    void recordedSessionReplaysByteForByte()
    {
        const QString recording = dir.filePath("recorded.log");
        {
            SimProcess sim;
            QVERIFY(sim.ready());
            LineRecorder recorder;
            WireLog transcript(&recorder);
            QVERIFY(transcript.open(recording));
            frmMain window(&recorder);
            window.timer()->stop();
            initializeOn(window, 1);
            QVERIFY(window.serial()->PortOpen());
            const auto send = [&window](const QString &command) {
                control<QComboBox>(&window, "combCmd")->setEditText(command);
                window.cmdSend_Click();
            };
            send("*IDN?");
            send("*FOO");
            send("*ESR?");
            control<QCheckBox>(&window, "ckCR")->setChecked(true);
            click(&window, "optProt_1");
            control<QLineEdit>(&window, "txtAddr")->setText("4");
            window.cmdSet_Click();
            send("*IDN?");
            click(&window, "optProt_2");
            send("*OPC?");
            send("*IDN?");
            // A control frame, which no command makes, and which the device answers with
            // silence (it turns its echo on).
            click(&window, "optProt_1");
            window.cmdE_Click();
            QCOMPARE(resultsText(&window), QStringLiteral("CNTL-E sent"));
        }
        const QList<QByteArray> recorded = sentFrames(recording);
        QCOMPARE(recorded.size(), 7);

        const HeadlessRun made = RunHeadless({"--script-from-log", recording});
        QVERIFY2(made.status == 0, qPrintable(made.errors));
        const QByteArray script = made.output.mid(1).toUtf8();
        QVERIFY2(script.contains("\nframing addr 4\nterminator crlf\nquery *IDN?\n"), script);
        QVERIFY2(script.contains("\nprompt off\nframing addr 4\nsend-raw 02 34 05\n"), script);
        const QString scriptPath = writeFile(dir, "replay.qs", script);

        {
            SimProcess sim;
            const QString replayed = dir.filePath("replayed.log");
            const HeadlessRun run
                    = RunHeadless({"--run", scriptPath, "--com1", sim.path(), "--log", replayed});
            QVERIFY2(run.status == 0, qPrintable(run.output + run.errors));
            QCOMPARE(sentFrames(replayed), recorded);
        }
        {
            // The same session against a device whose packets fail their checksum: exactly the
            // replies to the two packets fail, at their own lines.
            SimProcess sim({"--bad-checksum"});
            const HeadlessRun run = RunHeadless({"--run", scriptPath, "--com1", sim.path()});
            QCOMPARE(run.status, 1);
            const QList<int> packetQueries = linesHolding(script, "framing packet");
            QCOMPARE(packetQueries.size(), 1);
            QStringList failed;
            for (const QString &line : run.output.split('\n'))
                if (line.startsWith("FAIL "))
                    failed << line.section(':', 0, 0);
            QCOMPARE(failed,
                    (QStringList{QStringLiteral("FAIL %1").arg(packetQueries[0] + 2),
                            QStringLiteral("FAIL %1").arg(packetQueries[0] + 4)}));
        }
    }

    // Sessions made up with a fixed seed: commands of bytes a script line would lose or change,
    // replies in one or two chunks, some followed after a pause by more that nobody read. The
    // script written from each reads back and, against a device that answers the same, passes.
    void everyScriptFromATranscriptReplays()
    {
        static const QByteArray alphabet("A*?1 \\\"\xA0\x85\r\n\xE9\xFF\x1B", 14);
        QRandomGenerator random(20261208);
        for (int round = 0; round < 4; ++round) {
            PtyDevice device;
            device.bindTo(1);
            QByteArray transcript = WireLog::line(0, 1, "open",
                                            QuotedName(device.path()).toUtf8() + " at 9600,N,8,1")
                    + '\n';
            QList<QByteArray> frames;
            QList<QList<std::pair<int, QByteArray>>> answers; // each chunk ms after its frame
            for (double ms = 10; frames.size() < 4;) {
                QByteArray frame;
                for (int n = 1 + random.bounded(6); n > 0; --n)
                    frame += alphabet[random.bounded(int(alphabet.size()))];
                frames << frame + '\n';
                answers << (random.bounded(2)
                                ? QList<std::pair<int, QByteArray>>{{5, "R\r\n>"}}
                                : QList<std::pair<int, QByteArray>>{{5, "R\r"}, {7, "\n>"}});
                const bool late = random.bounded(2);
                if (late)
                    answers.last() << std::pair{150, QByteArray(">\xA0")};
                transcript += WireLog::line(ms, 1, "sent", WireLog::chunk(frames.last())) + '\n';
                for (const auto &[after, bytes] : answers.last())
                    transcript
                            += WireLog::line(ms + after, 1, "recv", WireLog::chunk(bytes)) + '\n';
                ms += late ? 300 : 10 + random.bounded(60);
            }
            const ScriptFromLog made = ScriptFromTranscript(transcript, "t.log");
            QVERIFY2(made.ok() && ReadCheckScript(made.script).ok(), made.script.constData());
            // Each frame, once whole, is answered as in the recording.
            qsizetype answered = 0;
            device.onReceived = [&](const QByteArray &) {
                while (answered < frames.size()
                        && device.received().size() >= frames.mid(0, answered + 1).join().size())
                    for (const auto &[after, bytes] : answers[answered++])
                        device.send(bytes, after);
            };
            char *printed = nullptr;
            size_t printedSize = 0;
            std::FILE *out = ::open_memstream(&printed, &printedSize);
            const int status = RunCheckScript(
                    {writeFile(dir, "replay.qs", made.script), QString(), nullptr}, out, out);
            std::fclose(out);
            const QByteArray shown = made.script + QByteArray(printed, qsizetype(printedSize));
            std::free(printed);
            QVERIFY2(status == ScriptPassed, shown.constData());
            QCOMPARE(device.received(), frames.join());
        }
    }

    void badScriptOrPortStopsWithItsLine_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("expected"); // the start of the ERROR line
        QTest::newRow("bad line") << QByteArray("port 1\nquery *IDN?\n\nexpekt /VELK/\n")
                                  << QStringList() << "ERROR 4: unknown step \"expekt\"";
        QTest::newRow("control characters spelled out") << QByteArray(
                "port 1\n\x1B[2Jx\n") << QStringList() << "ERROR 2: unknown step \"\\x1B[2Jx\"\n";
        QTest::newRow("unknown port")
                << QByteArray("# COM 9 is not ours\nport 9\nquery *IDN?\n") << QStringList()
                << "ERROR 2: port takes a COM port from 1 to 4\n";
        // Without their bounds, the first spun for ever and the second overflowed the stack.
        QTest::newRow("empty repeats nested five deep")
                << "port 1\n" + QByteArray("repeat 1000000\n").repeated(5)
                        + QByteArray("end\n").repeated(5)
                << QStringList()
                << "ERROR 2: the script would run more than 10000000 steps, a pass of a repeat "
                   "counted as one\n";
        QTest::newRow("500000 nested repeats")
                << "port 1\n" + QByteArray("repeat 1\n").repeated(500000)
                        + QByteArray("query *IDN?\n") + QByteArray("end\n").repeated(500000)
                << QStringList() << "ERROR 66: repeats nest more than 64 deep\n";
        QTest::newRow("bad settings") << QByteArray("port 1\nsettings 9600,X,8,1\n")
                                      << QStringList() << "ERROR 2: bad settings \"9600,X,8,1\"";
        QTest::newRow("no such device")
                << QByteArray("settings 9600,N,8,1\nport 2\nquery *IDN?\n")
                << QStringList{"--com2", "/nonexistent/ttyQ"} << "ERROR 2: ";
    }

    void badScriptOrPortStopsWithItsLine()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, arguments);
        QFETCH(QString, expected);
        SimProcess sim({"--trace"});
        QVERIFY(sim.ready());
        const QString path = writeFile(dir, "bad.qs", script);
        const HeadlessRun run
                = RunHeadless(QStringList{"--run", path, "--com1", sim.path()} + arguments);
        QCOMPARE(run.status, 2);
        QVERIFY2(run.output.startsWith('\n' + expected), qPrintable(run.output));
        QVERIFY2(!run.output.contains("PASS"), qPrintable(run.output));
        // Nothing went on the line before the error was found.
        QTest::qWait(100);
        QCOMPARE(sim.process().readAllStandardOutput().trimmed(), QByteArray());
    }

    void lostPortStopsTheRun_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("said");
        QTest::newRow("reopening")
                << QStringList() << "The port will be reopened when the device is back.";
        QTest::newRow("--no-reconnect")
                << QStringList{"--no-reconnect"}
                << "The port is closed (--no-reconnect); press \"Initialize COM Port\" when the "
                   "device is back.";
    }

    void lostPortStopsTheRun()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, said);
        SimProcess sim({"--hangup-after", "2"});
        QVERIFY(sim.ready());
        const QString path
                = writeFile(dir, "lost.qs", "port 1\nrepeat 3\nquery *IDN?\nexpect /VELK/\nend\n");
        const HeadlessRun run
                = RunHeadless(QStringList{"--run", path, "--com1", sim.path()} + options);
        QCOMPARE(run.status, 2);
        QVERIFY2(run.output.contains("\nERROR 3: "), qPrintable(run.output));
        QVERIFY2(run.output.contains(said + "\n"), qPrintable(run.output));
        QVERIFY2(run.output.contains("\nERROR: the run stopped at line 3"), qPrintable(run.output));
    }

    void junitReportReadsBack()
    {
        SimProcess sim;
        QVERIFY(sim.ready());
        const QString path = writeFile(dir, "report.qs",
                "#\n#\n#\n#\n#\nport 1\nrepeat 2\nquery *ESR?\nexpect number in [0, 0]\n"
                "send *F\x01OO\nend\n");
        const QString report = dir.filePath("report.xml");
        const QString csv = dir.filePath("report.csv");
        const HeadlessRun run = RunHeadless(
                {"--run", path, "--com1", sim.path(), "--junit", report, "--csv", csv});
        QCOMPARE(run.status, 1);
        // Fault caught: without a window the CSV file held its header alone.
        QFile rows(csv);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        const QByteArray all = rows.readAll();
        QCOMPARE(all.count(",COM1,\"*ESR?\",\""), 2);
        QVERIFY2(all.contains(",\"0\",0,\"0\\r\\n>\"\r\n")
                        && all.endsWith(",\"32\",32,\"32\\r\\n>\"\r\n"),
                all.constData());
        QVERIFY2(run.output.contains("\nPASS 10: send *F\\x01OO ("), qPrintable(run.output));

        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&file);
        QStringList cases;
        QStringList failures;
        QXmlStreamAttributes suite;
        double caseSeconds = 0;
        // What Ant's JUnit schema requires of each element, and the elements a suite must hold.
        QHash<QString, QStringList> required{
                {"testsuite",
                        {"name", "package", "id", "timestamp", "hostname", "tests", "failures",
                                "errors", "time"}},
                {"testcase", {"name", "classname", "time"}}, {"failure", {"type"}},
                {"error", {"type"}}, {"property", {"name", "value"}}, {"properties?", {}},
                {"system-out?", {}}, {"system-err?", {}}};
        while (!xml.atEnd()) {
            if (xml.readNext() != QXmlStreamReader::StartElement)
                continue;
            for (const QString &attribute : required.value(xml.name().toString()))
                QVERIFY2(xml.attributes().hasAttribute(attribute),
                        qPrintable(xml.name().toString() + " without " + attribute));
            required.remove(xml.name().toString() + "?"); // one that must be there
            if (xml.name() == u"testcase")
                caseSeconds += xml.attributes().value("time").toDouble();
            if (xml.name() == u"testsuite")
                suite = xml.attributes();
            else if (xml.name() == u"testcase")
                cases << xml.attributes().value("name").toString();
            else if (xml.name() == u"failure")
                failures << cases.last() + " | " + xml.attributes().value("message").toString();
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
        QCOMPARE(required.keys().filter("?"), QStringList());
        // Each case's time is its own: together they take no longer than the suite.
        QVERIFY2(caseSeconds <= suite.value("time").toDouble() + 0.001,
                qPrintable(QString::number(caseSeconds)));
        QCOMPARE(suite.value("name").toString(), QStringLiteral("report.qs"));
        QCOMPARE(suite.value("tests").toString(), QStringLiteral("6"));
        QCOMPARE(suite.value("failures").toString(), QStringLiteral("1"));
        QCOMPARE(suite.value("errors").toString(), QStringLiteral("0"));
        QCOMPARE(cases,
                (QStringList{"line 08: query *ESR?", "line 09: expect number in [0, 0]",
                        "line 10: send *F\\x01OO", "line 08: query *ESR? (run 2)",
                        "line 09: expect number in [0, 0] (run 2)",
                        "line 10: send *F\\x01OO (run 2)"}));
        QCOMPARE(failures,
                QStringList{"line 09: expect number in [0, 0] (run 2) | expected a number in "
                            "[0, 0], got \"32\""});
    }
};

QUILLON_TEST_MAIN(ScriptRunTest)
#include "test_scriptrun.moc"
