// The command line, the port listing and the transcript writer: everything that works before
// a window exists.

#include "app/commandline.h"
#include "app/portlist.h"
#include "line/wirelog.h"

#include <QProcess>
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
        const QString noDesktop = "quillon: the window needs a desktop session (DISPLAY and "
                                  "WAYLAND_DISPLAY are not set); --list-ports, --help and "
                                  "--version work without one\n";
        QTest::newRow("no display") << QStringList{} << QStringList{} << 2 << noDesktop;
        QTest::newRow("no display, a port bound")
                << QStringList{"--com1", "/nonexistent"} << QStringList{} << 2 << noDesktop;
        QTest::newRow("display that does not answer")
                << QStringList{} << QStringList{"DISPLAY=:687", "QT_QPA_PLATFORM=xcb"} << 2
                << "quillon: the window needs a desktop session (could not connect to display "
                   ":687); --list-ports, --help and --version work without one\n";
        QTest::newRow("unwritable log with the port list")
                << QStringList{"--list-ports", "--log", "/nonexistent-dir/x.log"} << QStringList{}
                << 2 << "quillon: cannot write the transcript to /nonexistent-dir/x.log: ";
        QTest::newRow("unknown option")
                << QStringList{"--list-ports", "--bogus"} << QStringList{} << 2
                << "quillon: unrecognized option '--bogus'\n"
                   "Try 'quillon --help' for more information.\n";
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
        const std::array<ComBinding, 4> bindings = {{{"/dev/ttyUSB0", ComPortSource::Option},
                {"/dev/pts/3", ComPortSource::Environment}, {"/dev/ttyS2", ComPortSource::Default},
                {"/dev/ttyS3", ComPortSource::Default}}};
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
                        "  COM 3  /dev/ttyS2  (default; set QUILLON_COM3 or --com3 to change)\n"
                        "  COM 4  /dev/ttyS3  (default; set QUILLON_COM4 or --com4 to change)\n"));
        QVERIFY(FormatPortList({}, bindings).startsWith("No serial ports found.\n"));
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

    void transcriptFileIsWrittenLineByLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("wire.log");
        {
            WireLog log;
            QVERIFY(log.open(path));
            log.note(1, "open", "/dev/pts/4 at 9600,N,8,1");
            log.sent(1, "*IDN?\n");
            // Written before the log is closed: a crash loses nothing.
            QFile early(path);
            QVERIFY(early.open(QIODevice::ReadOnly));
            QCOMPARE(early.readAll().count('\n'), 3);
            QByteArray big(1024 * 1024, 'A');
            big += "\r\n";
            log.received(1, big);
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
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "test_commandline.moc"
