// The command line and the port listing: everything that works before a window exists.

#include "app/commandline.h"
#include "app/portlist.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

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
        QTest::newRow("serve") << QStringList{"--serve", "--device", "packet:12", "--com1",
                "/dev/x"} << A::Serve
                               << "/dev/x"
                               << ""
                               << ""
                               << "";
        QTest::newRow("serve option without --serve")
                << QStringList{"--listen", "127.0.0.1"} << A::Error << ""
                << ""
                << ""
                << "option '--listen' goes with --serve";
        QTest::newRow("device off the bus")
                << QStringList{"--serve", "--device", "addr:16"} << A::Error << ""
                << ""
                << ""
                << "option '--device': 'addr:16' is no device: write "
                   "plain, addr:N or packet:N, with N from 0 to 15";
        QTest::newRow("network named without allowed clients")
                << QStringList{"--serve", "--listen", "192.0.2.1"} << A::Error << ""
                << ""
                << ""
                << "--listen 192.0.2.1 reaches the network: name the clients' networks with "
                   "--allow NETWORK";
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
                  "--run, --serve, --script-from-log, --help and --version work without one\n";
        QTest::newRow("no display") << QStringList{} << QStringList{} << 2 << noDesktop;
        QTest::newRow("no display, a port bound, files named") << QStringList{"--com1",
                "/nonexistent", "--log", "/nonexistent-dir/x.log", "--csv",
                "/nonexistent-dir/x.csv"} << QStringList{} << 2 << noDesktop;
        QTest::newRow("display that does not answer")
                << QStringList{} << QStringList{"DISPLAY=:687", "QT_QPA_PLATFORM=xcb"} << 2
                << "quillon: the window needs a desktop session (could not connect to display "
                   ":687); --list-ports, --scan, --run, --serve, --script-from-log, --help and "
                   "--version work without one\n";
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

private:
    // Files a row names, which must outlive its _data function.
    QTemporaryDir m_scratch;
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_commandline.moc"
