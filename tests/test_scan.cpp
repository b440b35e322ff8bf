// The real `quillon --scan`, with no display, on a bench of simulators: a bus at 19200 baud, a
// silent line, a line of garbage at every rate, a device another program holds, buses that a
// plain probe or a short wait miss, and servers in front of them.

#include "headlessrun.h"
#include "serialserver.h"
#include "simprocess.h"
#include "timebound.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <map>
#include <memory>

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
        QTest::addColumn<int>("boundMs"); // for the whole scan
        const QStringList bus = {"BUS - 19200 plain - LF VELK,QSIM-488,QS0003,1.0",
                "BUS - 19200 addressed 3 LF VELK,QSIM-488,QS0003,1.0",
                "BUS - 19200 packet 3 LF VELK,QSIM-488,QS0003,1.0",
                "BUS - 19200 addressed 7 LF VELK,QSIM-488,QS0007,1.0",
                "BUS - 19200 packet 7 LF VELK,QSIM-488,QS0007,1.0",
                "BUS - 19200 addressed 12 LF VELK,QSIM-488,QS0012,1.0",
                "BUS - 19200 packet 12 LF VELK,QSIM-488,QS0012,1.0"};
        const QString nothing = "Nothing found on %1: no answer to *IDN?, plain or addressed, at "
                                "9600, 2400, 4800, 19200, 38400, 57600 and 115200 baud.";
        QTest::newRow("bench, as JSON")
                << QStringList{"BUS", "SILENT", "GARBAGE", "HELD"} << true << 0 << bus << 5000;
        QTest::newRow("bench, as a table")
                << QStringList{"BUS", "SILENT", "GARBAGE", "HELD"} << false << 0
                << QStringList{"Skipped HELD: The device is in use by another program."} + bus
                        + QStringList{nothing.arg("SILENT"), nothing.arg("GARBAGE")}
                << 5000;
        QTest::newRow("nothing answers") << QStringList{"SILENT", "GARBAGE"} << false << 1
                                         << QStringList{nothing.arg("SILENT"),
                                                    nothing.arg("GARBAGE"), "No instrument found."}
                                         << 5000;
        QTest::newRow("one device by two names")
                << QStringList{"BUS", "LINK"} << false << 0
                << QStringList{"Probing 1 line with *IDN?:\n BUS", bus.first()} << 5000;
        // The rate changed on the open connection, through RFC 2217.
        QTest::newRow("serial server")
                << QStringList{"SERVED"} << false << 0
                << QStringList(bus).replaceInStrings("BUS", "SERVED") << 5000;
        // Fault caught: a rate that cannot be set came out as "0 baud".
        QTest::newRow("prompt only, raw")
                << QStringList{"PROMPT"} << false << 1
                << QStringList{"Nothing found on PROMPT: it answered at the server's rate, but "
                               "neither plain nor at addresses 0 to 15, addressed or as a packet, "
                               "with an identity."}
                << 5000;
        // Faults caught: nothing found where plain "*IDN?" goes unanswered; the reply of one
        // that answers late listed under a later address; an empty address after a slow one
        // waited on as long as it; LF sent to a line that ends its messages at CR.
        QTest::newRow("addressed only, beside the silent and garbage lines")
                << QStringList{"ADDRESSED", "SILENT", "GARBAGE"} << false << 0
                << QStringList{"ADDRESSED - 38400 addressed 5 LF VELK,QSIM-488,0,1.0",
                           "ADDRESSED - 38400 packet 5 LF VELK,QSIM-488,0,1.0"}
                << 8000;
        QTest::newRow("slow instrument behind a fast interface")
                << QStringList{"SLOW"} << false << 0
                << QStringList{"SLOW - 19200 packet 2 LF VELK,QSIM-488,QS0002,1.0",
                           "SLOW - 19200 addressed 11 LF VELK,QSIM-488,QS0011,1.0",
                           "SLOW - 19200 packet 11 LF VELK,QSIM-488,QS0011,1.0"}
                << 5000;
        QTest::newRow("one slow instrument")
                << QStringList{"LONE"} << false << 0
                << QStringList{"LONE - 9600 plain - LF VELK,QSIM-488,0,1.0",
                           "LONE - 9600 addressed 11 LF VELK,QSIM-488,0,1.0"}
                << 5000;
        QTest::newRow("CR only") << QStringList{"CRONLY"} << true << 0
                                 << QStringList{"CRONLY - 4800 plain - CR VELK,QSIM-488,0,1.0",
                                            "CRONLY - 4800 addressed 4 CR VELK,QSIM-488,0,1.0"}
                                 << 5000;
        QTest::newRow("malformed URL")
                << QStringList{"socket://nowhere"} << false << 2
                << QStringList{"quillon: cannot scan 'socket://nowhere': Not "
                               "a network address: write "
                               "socket://HOST:PORT or rfc2217://HOST:PORT."}
                << 5000;
    }

    void scan()
    {
        QFETCH(QStringList, lines);
        QFETCH(bool, json);
        QFETCH(int, status);
        QFETCH(QStringList, expected);
        QFETCH(int, boundMs);
        QTemporaryDir dir;
        // Only the lines the row names are started.
        const QMap<QString, QStringList> simulators = {
                {"BUS", {"--address", "3,7,12", "--line-baud", "19200"}}, {"SILENT", {"--silent"}},
                {"GARBAGE", {"--garbage"}}, {"HELD", {}},
                {"SERVED", {"--address", "3,7,12", "--line-baud", "19200"}},
                {"ADDRESSED", {"--address", "5", "--addressed-only", "--line-baud", "38400"}},
                {"SLOW", {"--address", "2,11", "--late", "11:180", "--line-baud", "19200"}},
                {"LONE", {"--address", "11", "--late", "11:180"}},
                {"CRONLY", {"--cr-only", "--line-baud", "4800"}}};
        const bool linked = lines.contains("LINK");
        std::map<QString, std::unique_ptr<SimProcess>> started;
        for (const QString &line : lines + QStringList(linked ? "BUS" : QString()))
            if (simulators.contains(line) && !started.contains(line)) {
                QStringList arguments = simulators[line];
                if (line == "BUS")
                    arguments << "--link" << dir.filePath("bus");
                started[line] = std::make_unique<SimProcess>(arguments);
                QVERIFY(started[line]->ready());
            }
        QList<std::pair<QString, QString>> names = {{"LINK", dir.filePath("bus")}};
        for (const auto &[name, sim] : started)
            names.append({name, sim->path()});
        std::unique_ptr<SerialServer> server;
        if (started.contains("SERVED")) {
            server = std::make_unique<SerialServer>(started["SERVED"]->path());
            QVERIFY(server->ready());
            names.append({"SERVED", server->rfc2217Url()});
        }
        // A raw server that answers every line with the prompt alone.
        QProcess prompt;
        if (lines.contains("PROMPT")) {
            const quint16 port = SerialServer::freePort();
            prompt.start("socat",
                    {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port),
                            "EXEC:sed -u s/.*/>/"});
            QVERIFY(prompt.waitForStarted(5000));
            names.append({"PROMPT", QStringLiteral("socket://127.0.0.1:%1").arg(port)});
            QTest::qWait(200); // listening
        }
        QSerialPort otherProgram(started.contains("HELD") ? started["HELD"]->path() : QString());
        QVERIFY(!started.contains("HELD") || otherProgram.open(QIODevice::ReadWrite));
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
        prompt.kill();
        prompt.waitForFinished();
        QVERIFY_IN_TIME(run.ms < boundMs, qPrintable(QString::number(run.ms)));
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
                output += QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                                  .arg(o["port"].toString(),
                                          o["byId"].isNull() ? "-" : o["byId"].toString())
                                  .arg(o["baud"].toInt())
                                  .arg(o["framing"].toString(),
                                          o["address"].isNull()
                                                  ? QStringLiteral("-")
                                                  : QString::number(o["address"].toInt()),
                                          o["terminator"].toString(), o["idn"].toString());
            }
            QVERIFY2(!lines.contains("HELD")
                            || errors.contains(path("Skipped HELD: The device is in use")),
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
