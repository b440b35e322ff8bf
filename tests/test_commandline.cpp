// The command line, the port listing and the transcript writer: everything that works before
// a window exists.

#include "app/commandline.h"
#include "app/portlist.h"
#include "line/loopcsv.h"
#include "line/wirelog.h"

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
                                 << "Unknown option 'bogus'.";
        QTest::newRow("missing value") << QStringList{"--com2"} << A::Error << ""
                                       << ""
                                       << ""
                                       << "Missing value after '--com2'.";
        QTest::newRow("empty device") << QStringList{"--com3="} << A::Error << ""
                                      << ""
                                      << ""
                                      << "--com3 needs a device, for example /dev/ttyUSB0.";
        QTest::newRow("stray word") << QStringList{"COM1"} << A::Error << ""
                                    << ""
                                    << ""
                                    << "Unexpected argument 'COM1'.";
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
                                   << "--csv needs a file name.";
        QTest::newRow("csv missing") << QStringList{"--csv"} << false << false << ""
                                     << "Missing value after '--csv'.";
        QTest::newRow("wire takes no value") << QStringList{"--wire=yes"} << false << false << ""
                                             << "Unexpected value after '--wire'.";
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
            WireLog log;
            if (withFile)
                QVERIFY(log.open(dir.filePath("w.log")));
            QList<WireEntry> seen;
            log.addListener([&seen](const WireEntry &entry) { seen << entry; });
            log.note(3, "open", "/dev/pts/9 at 9600,N,8,1");
            log.sent(3, "*ESR?\n");
            log.received(3, QByteArray("3\0", 2));
            log.note(3, "lost", "gone");
            QCOMPARE(seen.size(), 4);
            QCOMPARE(seen[0].kind, WireEntry::Kind::Note);
            QCOMPARE(seen[0].what, QByteArray("open"));
            QCOMPARE(seen[0].bytes, QByteArray("/dev/pts/9 at 9600,N,8,1"));
            QCOMPARE(seen[1].kind, WireEntry::Kind::Sent);
            QCOMPARE(seen[1].bytes, QByteArray("*ESR?\n"));
            QCOMPARE(seen[2].kind, WireEntry::Kind::Received);
            QCOMPARE(seen[2].bytes, QByteArray("3\0", 2));
            QCOMPARE(seen[3].what, QByteArray("lost"));
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
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("row");
        const QByteArray start = "2026-03-04T05:06:07.089,1234.500,COM2,";
        QTest::newRow("number") << "MEAS?" << QByteArray("+1.5E+00\r\n>") << true << 1.5
                                << start + "\"MEAS?\",\"+1.5E+00\r\n>\",1.5\r\n";
        QTest::newRow("no number") << "MEAS?" << QByteArray("OVLD\r\n>") << false << 0.0
                                   << start + "\"MEAS?\",\"OVLD\r\n>\",\r\n";
        QTest::newRow("quotes doubled") << "SAY \"hi\"" << QByteArray("\"a,b\"") << false << 0.0
                                        << start + "\"SAY \"\"hi\"\"\",\"\"\"a,b\"\"\",\r\n";
        QTest::newRow("shortest exact value")
                << "V?" << QByteArray("0.1") << true << 0.1 << start + "\"V?\",\"0.1\",0.1\r\n";
        QTest::newRow("tiny value") << "V?" << QByteArray("+1.234E-30") << true << 1.234e-30
                                    << start + "\"V?\",\"+1.234E-30\",1.234e-30\r\n";
        // Every byte survives as one character: Latin-1 in, UTF-8 out.
        QTest::newRow("high and control bytes")
                << "X?" << QByteArray("\x02\xE9\xFF") << false << 0.0
                << start + "\"X?\",\"\x02\xC3\xA9\xC3\xBF\",\r\n";
    }

    void csvRows()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        QFETCH(QByteArray, row);
        LoopReading reading;
        reading.at = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89));
        reading.ms = 1234.5;
        reading.comPort = 2;
        reading.command = command;
        reading.reply = reply;
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
        reading.at = QDateTime::currentDateTime();
        reading.command = "MEAS?";
        for (int n = 1; n <= 3; ++n) {
            reading.reply = QByteArray::number(n);
            reading.value = n;
            QVERIFY(csv.append(reading));
            // Read while the writer is still open: nothing waits in a buffer of ours.
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray all = file.readAll();
            QVERIFY(all.startsWith(LoopCsv::header()));
            QCOMPARE(all.count('\n'), n + 1);
            QVERIFY(all.endsWith(
                    ",\"" + QByteArray::number(n) + "\"," + QByteArray::number(n) + "\r\n"));
        }
        LoopCsv refused;
        QVERIFY(!refused.open(dir.filePath("no/such/dir/loop.csv")));
        QVERIFY(!refused.errorString().isEmpty());
        QVERIFY(!refused.append(reading));
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
