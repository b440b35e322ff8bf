// The real `quillon --scan`, with no display, on a bench of simulators: a bus at 19200 baud, a
// silent line, a line of garbage at every rate, and a device another program holds.

#include "headlessrun.h"
#include "serialserver.h"
#include "simprocess.h"
#include "timebound.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

class ScanTest : public QObject
{
    Q_OBJECT

private slots:
    void scan_data()
    {
        QTest::addColumn<QStringList>("lines"); // of the bench, by name
        QTest::addColumn<bool>("json");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("expected"); // each line of output, in order
        const QStringList bus = {"BUS - 19200 plain - VELK,QSIM-488,QS0003,1.0",
                "BUS - 19200 addressed 3 VELK,QSIM-488,QS0003,1.0",
                "BUS - 19200 packet 3 VELK,QSIM-488,QS0003,1.0",
                "BUS - 19200 addressed 7 VELK,QSIM-488,QS0007,1.0",
                "BUS - 19200 packet 7 VELK,QSIM-488,QS0007,1.0",
                "BUS - 19200 addressed 12 VELK,QSIM-488,QS0012,1.0",
                "BUS - 19200 packet 12 VELK,QSIM-488,QS0012,1.0"};
        const QString nothing = "Nothing found on %1: no answer to *IDN? at 2400, 4800, 9600, "
                                "19200, 38400, 57600 and 115200 baud.";
        QTest::newRow("bench, as JSON")
                << QStringList{"BUS", "SILENT", "GARBAGE", "HELD"} << true << 0 << bus;
        QTest::newRow("bench, as a table")
                << QStringList{"BUS", "SILENT", "GARBAGE", "HELD"} << false << 0
                << QStringList{"Skipped HELD: The device is in use by another program."} + bus
                        + QStringList{nothing.arg("SILENT"), nothing.arg("GARBAGE")};
        QTest::newRow("nothing answers") << QStringList{"SILENT", "GARBAGE"} << false << 1
                                         << QStringList{nothing.arg("SILENT"),
                                                    nothing.arg("GARBAGE"), "No instrument found."};
        QTest::newRow("one device by two names")
                << QStringList{"BUS", "LINK"} << false << 0
                << QStringList{"Probing 1 line with *IDN?:\n BUS", bus.first()};
        // The rate changed on the open connection, through RFC 2217.
        QTest::newRow("serial server") << QStringList{"SERVED"} << false << 0
                                       << QStringList(bus).replaceInStrings("BUS", "SERVED");
        QTest::newRow("malformed URL")
                << QStringList{"socket://nowhere"} << false << 2
                << QStringList{"quillon: cannot scan 'socket://nowhere': Not "
                               "a network address: write "
                               "socket://HOST:PORT or rfc2217://HOST:PORT."};
    }

    void scan()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, json);
        QFETCH(int, status);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        const QString link = dir.filePath("bus");
        SimProcess bus({"--address", "3,7,12", "--line-baud", "19200", "--link", link});
        SimProcess silent({"--silent"});
        SimProcess garbage({"--garbage"});
        SimProcess held;
        SimProcess served({"--address", "3,7,12", "--line-baud", "19200"});
        SerialServer server(served.path());
        QVERIFY(bus.ready() && silent.ready() && garbage.ready() && held.ready() && server.ready());
        QSerialPort otherProgram(held.path());
        QVERIFY(otherProgram.open(QIODevice::ReadWrite));
        const QList<std::pair<QString, QString>> names
                = {{"BUS", bus.path()}, {"SILENT", silent.path()}, {"GARBAGE", garbage.path()},
                        {"HELD", held.path()}, {"LINK", link}, {"SERVED", server.rfc2217Url()}};
        const auto path = [&](QString text) {
            for (const auto &[name, device] : names)
                text.replace(name, device);
            return text;
        };
        QStringList arguments = {"--scan"};
        for (const QString &line : lines)
            arguments << path(line);
        if (json)
            arguments << "--json";

        const HeadlessRun run = RunHeadless(arguments);
        // The whole bench: three lines, seven rates, 32 addressed probes on the one that answers.
        QVERIFY_IN_TIME(run.ms < 5000, qPrintable(QString::number(run.ms)));
        QCOMPARE(run.status, status);
        const QString &errors = run.errors;
        QString output = run.output;
        if (json) {
            // The instruments read back, each as one line of the table's columns.
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(output.toUtf8(), &error);
            QCOMPARE(error.error, QJsonParseError::NoError);
            output.clear();
            for (const QJsonValue &found : document.array()) {
                const QJsonObject o = found.toObject();
                output += QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                                  .arg(o["port"].toString(),
                                          o["byId"].isNull() ? "-" : o["byId"].toString())
                                  .arg(o["baud"].toInt())
                                  .arg(o["framing"].toString(),
                                          o["address"].isNull()
                                                  ? QStringLiteral("-")
                                                  : QString::number(o["address"].toInt()),
                                          o["idn"].toString());
            }
            QVERIFY2(errors.contains(path("Skipped HELD: The device is in use")),
                    qPrintable(errors));
        }
        // Columns as one blank apart, whatever their width.
        output.replace(QRegularExpression(" {2,}"), " ");
        output += errors;
        qsizetype from = 0;
        for (const QString &line : expected) {
            const qsizetype at = output.indexOf(path(line) + '\n', from);
            QVERIFY2(at >= 0,
                    qPrintable(QStringLiteral("%1\nnot found after %2 in:\n%3")
                                       .arg(path(line))
                                       .arg(from)
                                       .arg(output)));
            from = at;
        }
    }
};

QTEST_GUILESS_MAIN(ScanTest)
#include "test_scan.moc"
