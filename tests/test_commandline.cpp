// The command line, the port listing and the transcript writer: everything that works before
// a window exists.

#include "app/commandline.h"
#include "app/portlist.h"
#include "line/record/loopcsv.h"
#include "line/record/wirelog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(CommandLine::Action)

class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<CommandLine::Action>("action");
        QTest::addColumn<QString>("com1");
        QTest::addColumn<QString>("com4");
        QTest::addColumn<QString>("log");
        QTest::addColumn<QString>("error");
        using A = CommandLine::Action;
        QTest::newRow("nothing") << QStringList{} << A::Run << ""
                                 << ""
                                 << ""
                                 << "";
        QTest::newRow("help") << QStringList{"--help"} << A::Help << ""
                              << ""
                              << ""
                              << "";
        QTest::newRow("-h") << QStringList{"-h"} << A::Help << ""
                            << ""
                            << ""
                            << "";
        QTest::newRow("version") << QStringList{"--version"} << A::Version << ""
                                 << ""
                                 << ""
                                 << "";
        QTest::newRow("list") << QStringList{"--list-ports", "--com4", "/dev/ttyACM0"}
                              << A::ListPorts << ""
                              << "/dev/ttyACM0"
                              << ""
                              << "";
        QTest::newRow("bindings and log")
                << QStringList{"--com1", "/dev/ttyUSB0", "--log=/tmp/t.log"} << A::Run
                << "/dev/ttyUSB0"
                << ""
                << "/tmp/t.log"
                << "";
        QTest::newRow("Qt's own options pass")
                << QStringList{"-platform", "offscreen", "-reverse", "--com1", "/dev/x"} << A::Run
                << "/dev/x"
                << ""
                << ""
                << "";
        QTest::newRow("no reopen") << QStringList{"--no-reconnect", "--com1", "/dev/ttyUSB0"}
                                   << A::Run << "/dev/ttyUSB0"
                                   << ""
                                   << ""
                                   << "";
        QTest::newRow("unknown") << QStringList{"--bogus"} << A::Error << ""
                                 << ""
                                 << ""
                                 << "unrecognized option '--bogus'";
        QTest::newRow("missing value") << QStringList{"--com2"} << A::Error << ""
                                       << ""
                                       << ""
                                       << "option '--com2' requires an argument";
        QTest::newRow("empty device") << QStringList{"--com3="} << A::Error << ""
                                      << ""
                                      << ""
                                      << "option '--com3' needs a device, for example /dev/ttyUSB0";
        QTest::newRow("run a script") << QStringList{"--run", "s.qs", "--junit", "r.xml", "--com1",
                "/dev/x", "--log", "t.log"}
                                      << A::RunScript << "/dev/x"
                                      << ""
                                      << "t.log"
                                      << "";
        QTest::newRow("report without a run") << QStringList{"--junit", "r.xml"} << A::Error << ""
                                              << ""
                                              << ""
                                              << "option '--junit' goes with --run";
        QTest::newRow("run without a script") << QStringList{"--run="} << A::Error << ""
                                              << ""
                                              << ""
                                              << "option '--run' needs a file name";
        QTest::newRow("script from a transcript")
                << QStringList{"--script-from-log", "t.log"} << A::ScriptFromLog << ""
                << ""
                << ""
                << "";
        QTest::newRow("stray word") << QStringList{"COM1"} << A::Error << ""
                                    << ""
                                    << ""
                                    << "extra operand 'COM1'";
        QTest::newRow("one-dash long option") << QStringList{"-list-ports"} << A::ListPorts << ""
                                              << ""
                                              << ""
                                              << "";
        QTest::newRow("Qt's option with two dashes")
                << QStringList{"--platform", "offscreen", "--com4=/dev/y"} << A::Run << ""
                << "/dev/y"
                << ""
                << "";
        // Every argument is checked before any is obeyed: help does not hide a bad option.
        QTest::newRow("bad option after help")
                << QStringList{"--help", "--bogus=1"} << A::Error << ""
                << ""
                << ""
                << "unrecognized option '--bogus'";
        QTest::newRow("one-letter option with two dashes") << QStringList{"--h"} << A::Error << ""
                                                           << ""
                                                           << ""
                                                           << "unrecognized option '--h'";
        QTest::newRow("value given to a switch")
                << QStringList{"--list-ports=yes"} << A::Error << ""
                << ""
                << ""
                << "option '--list-ports' doesn't allow an argument";
        QTest::newRow("empty log") << QStringList{"--log="} << A::Error << ""
                                   << ""
                                   << ""
                                   << "option '--log' needs a file name";
        QTest::newRow("log without value")
                << QStringList{"--com1", "/dev/x", "--log"} << A::Error << ""
                << ""
                << ""
                << "option '--log' requires an argument";
        QTest::newRow("Qt's option without value") << QStringList{"-platform"} << A::Error << ""
                                                   << ""
                                                   << ""
                                                   << "option '-platform' requires an argument";
        QTest::newRow("scan with lines")
                << QStringList{"--scan", "--", "/dev/ttyUSB0", "-x"} << A::Scan << ""
                << ""
                << ""
                << "";
        QTest::newRow("json without scan") << QStringList{"--json"} << A::Error << ""
                                           << ""
                                           << ""
                                           << "option '--json' goes with --scan";
        QTest::newRow("scan with log") << QStringList{"--scan", "--log", "w.log"} << A::Error << ""
                                       << ""
                                       << ""
                                       << "--scan records nothing: --log and --csv go with the "
                                          "window or --run";
        QTest::newRow("word after end of options") << QStringList{"--", "--help"} << A::Error << ""
                                                   << ""
                                                   << ""
                                                   << "extra operand '--help'";
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(CommandLine::Action, action);
        QFETCH(QString, com1);
        QFETCH(QString, com4);
        QFETCH(QString, log);
        QFETCH(QString, error);
        const CommandLine parsed = ParseCommandLine(QStringList{"quillon"} + arguments);
        QCOMPARE(parsed.action, action);
        QCOMPARE(parsed.error, error);
        QCOMPARE(parsed.comDevices[0], com1);
        QCOMPARE(parsed.comDevices[3], com4);
        QCOMPARE(parsed.logPath, log);
        QCOMPARE(parsed.reopen, !arguments.contains("--no-reconnect"));
    }

    // The options for the views and the CSV file, beside those of the table above.
    void viewOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("wire");
        QTest::addColumn<bool>("chart");
        QTest::addColumn<QString>("csv");
        QTest::addColumn<QString>("error");
        QTest::newRow("none") << QStringList{} << false << false << ""
                              << "";
        QTest::newRow("both views") << QStringList{"--chart", "--wire"} << true << true << ""
                                    << "";
        QTest::newRow("csv") << QStringList{"--csv", "/tmp/l.csv", "--wire"} << true << false
                             << "/tmp/l.csv"
                             << "";
        QTest::newRow("csv=") << QStringList{"--csv=/tmp/m.csv"} << false << false << "/tmp/m.csv"
                              << "";
        QTest::newRow("csv empty") << QStringList{"--csv="} << false << false << ""
                                   << "option '--csv' needs a file name";
        QTest::newRow("csv missing") << QStringList{"--csv"} << false << false << ""
                                     << "option '--csv' requires an argument";
        QTest::newRow("wire takes no value") << QStringList{"--wire=yes"} << false << false << ""
                                             << "option '--wire' doesn't allow an argument";
    }

    void viewOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, wire);
        QFETCH(bool, chart);
        QFETCH(QString, csv);
        QFETCH(QString, error);
        const CommandLine parsed = ParseCommandLine(QStringList{"quillon"} + arguments);
        QCOMPARE(parsed.error, error);
        QCOMPARE(parsed.action,
                error.isEmpty() ? CommandLine::Action::Run : CommandLine::Action::Error);
        if (!error.isEmpty())
            return;
        QCOMPARE(parsed.showWire, wire);
        QCOMPARE(parsed.showChart, chart);
        QCOMPARE(parsed.csvPath, csv);
        QVERIFY(UsageText().contains("--csv FILE") && UsageText().contains("--wire")
                && UsageText().contains("--chart"));
    }

    void transcriptIsWatchedWithOrWithoutFile()
    {
        QTemporaryDir dir;
        for (const bool withFile : {false, true}) {
            LineRecorder line;
            WireLog log(&line);
            if (withFile)
                QVERIFY(log.open(dir.filePath("w.log")));
            QList<WireEntry> seen;
            connect(&line, &LineRecorder::recorded, this,
                    [&seen](const WireEntry &e) { seen << e; });
            line.note(3, Transcript::Word::Open, "/dev/pts/9 at 9600,N,8,1");
            line.sent(3, "*ESR?\n");
            line.received(3, QByteArray("3\0", 2));
            line.note(3, Transcript::Word::Lost, "gone");
            QCOMPARE(seen.size(), 4);
            QCOMPARE(seen[0].word, Transcript::Word::Open);
            QCOMPARE(seen[0].bytes, QByteArray("/dev/pts/9 at 9600,N,8,1"));
            QCOMPARE(seen[1].word, Transcript::Word::Sent);
            QCOMPARE(seen[1].bytes, QByteArray("*ESR?\n"));
            QCOMPARE(seen[2].word, Transcript::Word::Recv);
            QCOMPARE(seen[2].bytes, QByteArray("3\0", 2));
            QCOMPARE(seen[3].word, Transcript::Word::Lost);
            for (const WireEntry &entry : seen)
                QCOMPARE(entry.comPort, 3);
            QVERIFY(seen[0].ms >= 0 && seen[0].ms <= seen[3].ms);
            if (withFile) {
                QFile file(dir.filePath("w.log"));
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QList<QByteArray> lines = file.readAll().split('\n');
                QCOMPARE(lines.size(), 6);
                QVERIFY(lines[3].endsWith(" COM3 recv 2 bytes: 33 00  \"3\\x00\""));
            }
        }
    }

    void csvRows_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("shown"); // in the results box
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("row");
        const QByteArray start = "2026-03-04T05:06:07.089,1234.500,COM2,";
        QTest::newRow("number") << "MEAS?" << QByteArray("+1.5E+00\r\n>") << QByteArray("+1.5E+00")
                                << true << 1.5
                                << start + "\"MEAS?\",\"+1.5E+00\",1.5,\"+1.5E+00\\r\\n>\"\r\n";
        QTest::newRow("no number")
                << "MEAS?" << QByteArray("OVLD\r\n>") << QByteArray("OVLD") << false << 0.0
                << start + "\"MEAS?\",\"OVLD\",,\"OVLD\\r\\n>\"\r\n";
        QTest::newRow("quotes doubled")
                << "SAY \"hi\"" << QByteArray("\"a,b\"") << QByteArray("\"a,b\"") << false << 0.0
                << start + "\"SAY \"\"hi\"\"\",\"\"\"a,b\"\"\",,\"\\\"\"a,b\\\"\"\"\r\n";
        QTest::newRow("shortest exact value")
                << "V?" << QByteArray("0.1") << QByteArray("0.1") << true << 0.1
                << start + "\"V?\",\"0.1\",0.1,\"0.1\"\r\n";
        QTest::newRow("tiny value")
                << "V?" << QByteArray("+1.234E-30") << QByteArray("+1.234E-30") << true << 1.234e-30
                << start + "\"V?\",\"+1.234E-30\",1.234e-30,\"+1.234E-30\"\r\n";
        // Shown: Latin-1 in, UTF-8 out; the bytes as the transcript writes them.
        QTest::newRow("high and control bytes")
                << "X?" << QByteArray("\x02\xE9\xFF") << QByteArray("\xE9\xFF") << false << 0.0
                << start + "\"X?\",\"\xC3\xA9\xC3\xBF\",,\"\\x02\\xE9\\xFF\"\r\n";
        // A spreadsheet row is one line, whatever the reply holds.
        QTest::newRow("lines of the box joined")
                << "ERR?" << QByteArray("1\r\n2\r3\n>") << QByteArray("1\r\n2\r3") << false << 0.0
                << start + "\"ERR?\",\"1 | 2 | 3\",,\"1\\r\\n2\\r3\\n>\"\r\n";
    }

    void csvRows()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, shown);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        QFETCH(QByteArray, row);
        LoopReading reading;
        reading.at = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89)).toMSecsSinceEpoch();
        reading.ms = 1234.5;
        reading.comPort = 2;
        reading.command = command;
        reading.reply = reply;
        reading.shown = shown;
        if (isNumber)
            reading.value = value;
        QCOMPARE(LoopCsv::row(reading), row);
    }

    void csvFileIsCompleteAfterEveryRow()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("loop.csv");
        LoopCsv csv;
        QVERIFY(csv.open(path));
        LoopReading reading;
        reading.at = QDateTime::currentMSecsSinceEpoch();
        reading.command = "MEAS?";
        for (int n = 1; n <= 3; ++n) {
            reading.reply = QByteArray::number(n);
            reading.shown = reading.reply;
            reading.value = n;
            QVERIFY(csv.append(reading));
            // Read while the writer is still open: nothing waits in a buffer of ours.
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray all = file.readAll();
            QVERIFY(all.startsWith(LoopCsv::header()));
            QCOMPARE(all.count('\n'), n + 1);
            QVERIFY(all.endsWith(",\"" + QByteArray::number(n) + "\"," + QByteArray::number(n)
                    + ",\"" + QByteArray::number(n) + "\"\r\n"));
        }
        LoopCsv refused;
        QVERIFY(!refused.open(dir.filePath("no/such/dir/loop.csv")));
        QVERIFY(!refused.errorString().isEmpty());
        QVERIFY(!refused.append(reading));
    }

    void desktopNamed_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("named");
        QTest::newRow("X11") << QStringList{"DISPLAY=:0"} << QStringList{} << true;
        QTest::newRow("Wayland") << QStringList{"WAYLAND_DISPLAY=wayland-0"} << QStringList{}
                                 << true;
        QTest::newRow("platform variable")
                << QStringList{"QT_QPA_PLATFORM=offscreen"} << QStringList{} << true;
        QTest::newRow("platform option")
                << QStringList{} << QStringList{"-platform", "offscreen"} << true;
        QTest::newRow("display option") << QStringList{} << QStringList{"--display", ":3"} << true;
        QTest::newRow("nothing") << QStringList{"HOME=/root"} << QStringList{"--com1", "/dev/x"}
                                 << false;
        QTest::newRow("empty DISPLAY") << QStringList{"DISPLAY="} << QStringList{} << false;
        QTest::newRow("display option lacks its value")
                << QStringList{} << QStringList{"-display"} << false;
    }

    void desktopNamed()
    {
        QFETCH(QStringList, environment);
        QFETCH(QStringList, arguments);
        QFETCH(bool, named);
        QProcessEnvironment env;
        for (const QString &setting : environment)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        QCOMPARE(DesktopNamed(QStringList{"quillon"} + arguments, env), named);
    }

    // The program itself, started as a user would start it: what it prints and how it leaves
    // when it cannot or must not open its window.
    void programRefusesPlainly_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errors");
        const QString noDesktop
                = "quillon: the window needs a desktop session (DISPLAY and "
                  "WAYLAND_DISPLAY are not set); --list-ports, --scan, "
                  "--run, --script-from-log, --help and --version work without one\n";
        QTest::newRow("no display") << QStringList{} << QStringList{} << 2 << noDesktop;
        QTest::newRow("no display, a port bound, files named") << QStringList{"--com1",
                "/nonexistent", "--log", "/nonexistent-dir/x.log", "--csv",
                "/nonexistent-dir/x.csv"} << QStringList{} << 2 << noDesktop;
        QTest::newRow("display that does not answer")
                << QStringList{} << QStringList{"DISPLAY=:687", "QT_QPA_PLATFORM=xcb"} << 2
                << "quillon: the window needs a desktop session (could not connect to display "
                   ":687); --list-ports, --scan, --run, --script-from-log, --help and --version "
                   "work without one\n";
        QTest::newRow("unwritable log with the port list")
                << QStringList{"--list-ports", "--log", "/nonexistent-dir/x.log"} << QStringList{}
                << 2 << "quillon: cannot write the transcript to /nonexistent-dir/x.log: ";
        QTest::newRow("unknown option")
                << QStringList{"--list-ports", "--bogus"} << QStringList{} << 2
                << "quillon: unrecognized option '--bogus'\n"
                   "Try 'quillon --help' for more information.\n";
        // Fault caught: the recording was emptied before it was read. Another spelling of the
        // same path is the same file.
        const QString recording = m_scratch.filePath("read-and-written.log");
        QVERIFY(QFile(recording).open(QIODevice::WriteOnly));
        QTest::newRow("transcript read and written") << QStringList{"--script-from-log", recording,
                "--log", m_scratch.path() + "/./read-and-written.log"}
                                                     << QStringList{} << 2
                                                     << "quillon: " + recording
                        + " is read by --script-from-log and would be emptied by --log; choose "
                          "another file for --log\n";
        QTest::newRow("port list without display")
                << QStringList{"--list-ports"} << QStringList{} << 0 << "";
    }

    void programRefusesPlainly()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, status);
        QFETCH(QString, errors);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(name);
        for (const QString &setting : environment)
            env.insert(setting.section('=', 0, 0), setting.section('=', 1));
        QProcess program;
        program.setProcessEnvironment(env);
        program.start(QUILLON_PATH, arguments);
        QVERIFY(program.waitForFinished(20000));
        // A crash or an abort (and its core file) is not a refusal.
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), status);
        const QString printed = QString::fromLocal8Bit(program.readAllStandardError());
        if (errors.isEmpty() || errors.endsWith('\n'))
            QCOMPARE(printed, errors);
        else
            QVERIFY2(printed.startsWith(errors) && printed.count('\n') == 1, qPrintable(printed));
    }

    // Each manual page names every option its program's --help lists, and no other.
    void manualPagesNameTheOptionsOfHelp()
    {
        QProcess simulator;
        simulator.start(QUILLON_SIM_PATH, {"--help"});
        QVERIFY(simulator.waitForFinished(20000));
        const auto named = [](const QString &text) {
            QStringList words = text.split(QRegularExpression("[^-a-z0-9]+"))
                                        .filter(QRegularExpression("^--[a-z]"));
            words.sort();
            words.removeDuplicates();
            return words.join(' ');
        };
        for (const auto &[page, help] : {std::pair(QString("quillon.1"), UsageText()),
                     {"quillon-sim.1", QString(simulator.readAllStandardOutput())}}) {
            QFile file(QUILLON_SOURCE_DIR "/packaging/" + page);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString troff = QString(file.readAll()).replace("\\-", "-");
            QCOMPARE(named(troff.section(".SH OPTIONS", 1).section("\n.SH ", 0, 0)), named(help));
        }
    }

    void bindingsFollowOptionThenEnvironment()
    {
        qputenv("QUILLON_COM2", "/dev/from-env");
        qunsetenv("QUILLON_COM3");
        SetComPortOverride(1, "/dev/from-option");
        SetComPortOverride(2, "/dev/option-wins");
        const auto bindings = CurrentComBindings();
        QCOMPARE(bindings[0].device, QStringLiteral("/dev/from-option"));
        QCOMPARE(bindings[1].source, ComPortSource::Option);
        QCOMPARE(bindings[1].device, QStringLiteral("/dev/option-wins"));
        SetComPortOverride(2, QString());
        QCOMPARE(CurrentComBindings()[1].source, ComPortSource::Environment);
        QCOMPARE(CurrentComBindings()[1].device, QStringLiteral("/dev/from-env"));
        QCOMPARE(CurrentComBindings()[2].source, ComPortSource::Default);
        QCOMPARE(CurrentComBindings()[2].device, QStringLiteral("/dev/ttyS2"));
        SetComPortOverride(1, QString());
        qunsetenv("QUILLON_COM2");
    }

    void portListSaysWhatAndWhy()
    {
        SerialPortEntry adapter;
        adapter.device = "/dev/ttyUSB0";
        adapter.byId = "/dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0";
        adapter.description = "FT232R USB UART";
        adapter.manufacturer = "FTDI";
        adapter.serialNumber = "A50285BI";
        adapter.vendorId = 0x0403;
        adapter.productId = 0x6001;
        SerialPortEntry builtIn;
        builtIn.device = "/dev/ttyS0";
        const std::array<ComBinding, 4> bindings = {{{"/dev/ttyUSB0", ComPortSource::Option, {}},
                {"/dev/pts/3", ComPortSource::Environment, {}},
                {"socket://lab-7:4001", ComPortSource::Option, {}},
                {"rfc2217://lab-7:4002", ComPortSource::Environment, {}}}};
        QCOMPARE(FormatPortList({adapter, builtIn}, bindings),
                QStringLiteral(
                        "Serial ports:\n"
                        "  /dev/ttyUSB0\n"
                        "      /dev/serial/by-id/usb-FTDI_FT232R_A50285BI-if00-port0\n"
                        "      FT232R USB UART, FTDI, serial number A50285BI, USB 0403:6001\n"
                        "  /dev/ttyS0\n"
                        "\n"
                        "COM ports:\n"
                        "  COM 1  /dev/ttyUSB0  (from --com1)\n"
                        "  COM 2  /dev/pts/3  (from QUILLON_COM2)\n"
                        "  COM 3  socket://lab-7:4001  (from --com3; network, raw TCP)\n"
                        "  COM 4  rfc2217://lab-7:4002  (from QUILLON_COM4; network, RFC 2217)\n"));
        QVERIFY(FormatPortList({}, bindings).startsWith("No serial ports found.\n"));
        // An adapter's own strings, or a binding, cannot add a line of their own.
        adapter.description = "FT232R\nCOM 3  /dev/forged";
        std::array<ComBinding, 4> odd = bindings;
        odd[3].device = "/dev/ttyS3\nCOM 5";
        const QString listed = FormatPortList({adapter}, odd);
        QCOMPARE(listed.count(u'\n'),
                10); // the adapter's four, a blank, the heading, four COM ports
        QVERIFY(listed.contains("FT232R\\nCOM 3  /dev/forged, FTDI"));
        QVERIFY(listed.contains("/dev/ttyS3\\nCOM 5"));
        // A binding by identity says what it opens now, the instrument's answer escaped.
        odd[0] = {"idn:VELK,*", ComPortSource::Option,
                {{"/dev/pts/7", "", 19200, Framing::Protocol::Off, -1, "\n", "VELK,Q\nCOM 5"}}};
        odd[1] = {"idn:NONE*", ComPortSource::Environment, {}};
        QVERIFY(FormatPortList({}, odd).contains(
                "  COM 1  idn:VELK,*  (from --com1; found by its answer to *IDN?)\n"
                "      opens /dev/pts/7 (VELK,Q\\nCOM 5 at 19200 baud)\n"
                "  COM 2  idn:NONE*  (from QUILLON_COM2; found by its answer to *IDN?)\n"
                "      opens nothing: no instrument answers with a text that matches\n"));
    }

    void transcriptShowsEveryByteValue()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += char(b);
        const QByteArray hex = WireLog::hex(all);
        QCOMPARE(QByteArray::fromHex(hex), all);
        QVERIFY(hex.startsWith("00 01 02") && hex.endsWith("FE FF"));
        const QByteArray text = WireLog::escaped(all);
        QVERIFY(text.startsWith("\"\\x00\\x01"));
        QVERIFY(text.contains("\\t\\n\\x0B\\x0C\\r"));
        QVERIFY(text.contains(" !\\\"#") && text.contains("[\\\\]"));
        QVERIFY(text.contains("}~\\x7F\\x80"));
        QVERIFY(text.endsWith("\\xFE\\xFF\""));
        // Nothing outside printable ASCII reaches the file, so the line stays one line.
        for (const char c : text)
            QVERIFY(c >= 0x20 && c < 0x7F);
        QCOMPARE(WireLog::line(1234.5, 2, "sent", "x"), QByteArray("    1234.500 COM2 sent x"));
    }

    void transcriptGoesOnlyToARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("pipe without a reader") << "fifo"
                                               << "named pipe (FIFO)";
        QTest::newRow("link to a file") << "link"
                                        << "symbolic link";
        QTest::newRow("link to nothing yet") << "dangling"
                                             << "symbolic link";
        QTest::newRow("directory") << "directory"
                                   << "directory";
        QTest::newRow("device") << "device"
                                << "device";
    }

    void transcriptGoesOnlyToARegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString path = dir.filePath("wire.log");
        const QString kept = dir.filePath("kept");
        {
            QFile file(kept);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("precious");
        }
        const QByteArray name = QFile::encodeName(path);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (kind == "link")
            QVERIFY(QFile::link(kept, path));
        else if (kind == "dangling")
            QVERIFY(QFile::link(dir.filePath("absent"), path));
        else if (kind == "directory")
            QVERIFY(QDir(dir.path()).mkdir("wire.log"));
        else
            path = "/dev/null";
        QElapsedTimer clock;
        clock.start();
        WireLog log;
        QVERIFY(!log.open(path));
        QVERIFY(clock.elapsed() < 2000); // a pipe with no reader must not hold the start
        QVERIFY2(log.errorString().contains(reason), qPrintable(log.errorString()));
        QVERIFY(!log.errorString().contains('\n'));
        QVERIFY(!log.isOpen());
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
        QVERIFY(!QFile::exists(dir.filePath("absent")));
    }

    void newTranscriptIsPrivateAndAnOldOneEmptied()
    {
        QTemporaryDir dir;
        const QString fresh = dir.filePath("fresh.log");
        const mode_t oldMask = ::umask(0);
        WireLog log;
        const bool opened = log.open(fresh);
        ::umask(oldMask);
        QVERIFY(opened);
        struct stat info
        {
        };
        QCOMPARE(::stat(QFile::encodeName(fresh).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);

        const QString old = dir.filePath("old.log");
        {
            QFile file(old);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(10000, 'x'));
        }
        QVERIFY(QFile::setPermissions(
                old, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(log.open(old));
        QFile file(old);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.startsWith("# Quillon wire transcript") && !content.contains('x'));
        QCOMPARE(::stat(QFile::encodeName(old).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0640u);
    }

    void transcriptLosesNoLineUnsaid_data()
    {
        QTest::addColumn<QString>("medium");
        QTest::addColumn<int>("room"); // bytes the transcript may take before writes fail
        QTest::newRow("size limit, header only") << "limit" << 100;
        QTest::newRow("size limit, mid-line") << "limit" << 1500;
        QTest::newRow("size limit, late") << "limit" << 9000;
        QTest::newRow("full disk") << "tmpfs" << 0;
    }

    void transcriptLosesNoLineUnsaid()
    {
        QFETCH(QString, medium);
        QFETCH(int, room);
        QTemporaryDir dir;
        QString path = dir.filePath("wire.log");
        const QString mountPoint = dir.filePath("small");
        const QString filler = mountPoint + "/filler";
        struct rlimit unlimited
        {
        };
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        std::function<void()> fill;
        std::function<void()> free;
        if (medium == "limit") {
            fill = [&] {
                struct rlimit limited = unlimited;
                limited.rlim_cur = rlim_t(room);
                ::setrlimit(RLIMIT_FSIZE, &limited);
            };
            free = [&] { ::setrlimit(RLIMIT_FSIZE, &unlimited); };
        } else {
            QVERIFY(QDir(dir.path()).mkdir("small"));
            if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=256k")
                    != 0)
                QSKIP("A 256 KiB file system cannot be mounted here (needs root); the size limit "
                      "rows cover the same ground");
            path = mountPoint + "/wire.log";
            fill = [&] {
                QFile file(filler);
                if (file.open(QIODevice::WriteOnly))
                    while (file.write(QByteArray(4096, 'f')) == 4096 && file.flush()) { }
            };
            free = [&] { QFile::remove(filler); };
        }
        const auto cleanUp = qScopeGuard([&] {
            ::setrlimit(RLIMIT_FSIZE, &unlimited);
            if (medium == "tmpfs")
                ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
        });

        // Lines of every length up to a few hundred bytes, so that a write fails in mid-line.
        constexpr int kBefore = 60;
        constexpr int kAfter = 30;
        const auto payload
                = [](int n) { return "L" + QByteArray::number(n) + QByteArray(n * 7, '.'); };
        LineRecorder line;
        WireLog log(&line);
        QSignalSpy failures(&log, &WireLog::writingFailed);
        QVERIFY(log.open(path));
        fill();
        for (int n = 0; n < kBefore; ++n)
            line.sent(1, payload(n));
        QCOMPARE(failures.size(), 1); // once, however many lines are lost
        QVERIFY(failures.first().first().toString().contains("cannot be written"));
        QVERIFY(log.missingLines() > 0);
        free();
        for (int n = kBefore; n < kBefore + kAfter; ++n)
            line.sent(1, payload(n));
        QCOMPARE(failures.size(), 1);
        QCOMPARE(log.missingLines(), 0);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith('\n'));
        const QList<QByteArray> lines = content.chopped(1).split('\n');
        QVERIFY(lines.first().startsWith("# Quillon wire transcript"));
        static const QRegularExpression sentLine(
                R"(^ +\d+\.\d{3} COM1 sent (\d+) bytes: [0-9A-F ]+  "L(\d+)\.*"$)");
        static const QRegularExpression lossLine(
                R"(^# (\d+) lines? missing here, from [\d.]+ to [\d.]+ ms: the transcript could not be written \(.+\)$)");
        int expected = 0;
        int lossLines = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QString line = QString::fromUtf8(lines[i]);
            if (const auto loss = lossLine.match(line); loss.hasMatch()) {
                ++lossLines;
                expected += loss.captured(1).toInt();
                continue;
            }
            const auto sent = sentLine.match(line);
            QVERIFY2(sent.hasMatch(), qPrintable(line.left(200))); // never two run together
            QCOMPARE(sent.captured(2).toInt(), expected);
            QCOMPARE(sent.captured(1).toInt(), payload(expected).size());
            ++expected;
        }
        // A full disk may take short lines between long ones; each gap is marked.
        if (medium == "limit")
            QCOMPARE(lossLines, 1);
        QVERIFY(lossLines >= 1);
        QCOMPARE(expected, kBefore + kAfter);
    }

    void transcriptNoteStaysOneLine()
    {
        QTemporaryDir dir;
        LineRecorder line;
        WireLog log(&line);
        QVERIFY(log.open(dir.filePath("wire.log")));
        line.note(2, Transcript::Word::Open,
                QStringLiteral("/dev/x\n    1.000 COM2 recv forged\r\u2028 at 9600,N,8,1"));
        QFile file(dir.filePath("wire.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY2(
                lines[1].endsWith(
                        " COM2 open /dev/x\\n    1.000 COM2 recv forged\\r\\u{2028} at 9600,N,8,1"),
                lines[1].constData());
    }

    void transcriptFileIsWrittenLineByLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("wire.log");
        {
            LineRecorder line;
            WireLog log(&line);
            QVERIFY(log.open(path));
            line.note(1, Transcript::Word::Open, "/dev/pts/4 at 9600,N,8,1");
            line.sent(1, "*IDN?\n");
            // Written before the log is closed: a crash loses nothing.
            QFile early(path);
            QVERIFY(early.open(QIODevice::ReadOnly));
            QCOMPARE(early.readAll().count('\n'), 3);
            QByteArray big(1024 * 1024, 'A');
            big += "\r\n";
            line.received(1, big);
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 5); // header, three lines, and the empty rest after the last newline
        QVERIFY(lines[0].startsWith("# Quillon wire transcript, started "));
        QVERIFY(lines[1].endsWith(" COM1 open /dev/pts/4 at 9600,N,8,1"));
        QVERIFY(lines[2].endsWith(" COM1 sent 6 bytes: 2A 49 44 4E 3F 0A  \"*IDN?\\n\""));
        // The whole megabyte, both ways of showing it, on one line.
        const qsizetype hexStart = lines[3].indexOf(" COM1 recv 1048578 bytes: ") + 26;
        const qsizetype textStart = lines[3].indexOf("  \"", hexStart);
        QCOMPARE(QByteArray::fromHex(lines[3].mid(hexStart, textStart - hexStart)),
                QByteArray(1024 * 1024, 'A') + "\r\n");
        QCOMPARE(lines[3].mid(textStart + 2), '"' + QByteArray(1024 * 1024, 'A') + "\\r\\n\"");

        WireLog refused;
        QVERIFY(!refused.open(dir.filePath("no/such/dir/wire.log")));
        QVERIFY(!refused.errorString().isEmpty());
    }

private:
    // Files a row names, which must outlive its _data function.
    QTemporaryDir m_scratch;
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_commandline.moc"
