// `quillon --serve` on the scan bench's bus (instruments at 3, 7 and 12, the one at 12 with a
// packet checksum of 0xFF), reached by clients nobody here wrote: pyvisa-py, liblxi and
// lxi-tools, through rpcbind. The whole suite runs in a user and network namespace of its own
// (share/netns.sh), where that portmapper may have port 111.

#include "share/servedline.h"
#include "simprocess.h"
#include "timebound.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kVisa = QStringLiteral(QUILLON_SHARE_SCRIPTS "/visa_client.py");
const QString kHostile = QStringLiteral(QUILLON_SHARE_SCRIPTS "/hostile_client.py");
const QString kLxiClient = QStringLiteral(QUILLON_LXI_CLIENT);

// Each instrument's identity as its client prints it: hex, the line end taken off.
QString idnHex(int address)
{
    if (address == 12) // its serial number ends in 0xCF, bringing its packet's checksum to 0xFF
        return QByteArray("VELK,QSIM-488,QS0012\xCF,1.0").toHex();
    return QByteArray("VELK,QSIM-488,QS000" + QByteArray::number(address) + ",1.0").toHex();
}

} // namespace

class ShareTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(qgetenv("QUILLON_NETNS") == "inside", "run through tests/share/netns.sh");
        m_portmapper = std::make_unique<Portmapper>();
        QVERIFY2(m_portmapper->ready(), "rpcbind did not start");
        m_bus = std::make_unique<SimProcess>(
                QStringList{"--address", "3,7,12", "--line-baud", "19200", "--checksum-ff", "12"});
        QVERIFY(m_bus->ready());
        // Nothing but the line: the scan finds the rate, the framings and the addresses.
        m_served = std::make_unique<ServedLine>(QStringList{"--com1", m_bus->path(), "--raw-port",
                "0", "--idle-timeout", "5", "--log", m_files.filePath("wire.log"), "--csv",
                m_files.filePath("replies.csv")});
        QCOMPARE(m_served->resources().size(), 8);
        QVERIFY2(m_served->errors().contains("registered with the portmapper"),
                qPrintable(m_served->errors()));
    }

    void cleanupTestCase()
    {
        m_served.reset();
        m_bus.reset();
        m_portmapper.reset();
    }

    void printsEveryResourceString()
    {
        const QStringList expected = {"TCPIP::127.0.0.1::inst0::INSTR", "SOCKET",
                "TCPIP::127.0.0.1::gpib0,3::INSTR", "SOCKET", "TCPIP::127.0.0.1::gpib0,7::INSTR",
                "SOCKET", "TCPIP::127.0.0.1::gpib0,12::INSTR", "SOCKET"};
        const QStringList printed = m_served->resources();
        for (qsizetype i = 0; i < expected.size(); ++i)
            if (expected.at(i) == u"SOCKET")
                QVERIFY(QRegularExpression("^TCPIP::127\\.0\\.0\\.1::\\d+::SOCKET$")
                                .match(printed.at(i))
                                .hasMatch());
            else
                QCOMPARE(printed.at(i), expected.at(i));
    }

    void identities_data()
    {
        QTest::addColumn<QString>("client");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("address"); // whose identity comes back
        for (const char *client : {"pyvisa", "liblxi"})
            for (const char *kind : {"INSTR", "SOCKET"})
                for (const auto &[device, address] :
                        {std::pair{"inst0", 3}, {"gpib0,3", 3}, {"gpib0,7", 7}, {"gpib0,12", 12}})
                    QTest::addRow("%s %s %s", client, device, kind)
                            << client << device << kind << address;
        QTest::newRow("lxi-tools inst0 INSTR") << "lxi"
                                               << "inst0"
                                               << "INSTR" << 3;
        QTest::newRow("lxi-tools gpib0,12 SOCKET") << "lxi"
                                                   << "gpib0,12"
                                                   << "SOCKET" << 12;
    }

    void identities()
    {
        QFETCH(QString, client);
        QFETCH(QString, device);
        QFETCH(QString, kind);
        QFETCH(int, address);
        Finished run;
        QString expected;
        if (client == u"pyvisa") {
            const QString resource = m_served->resource(device, kind);
            run = RunToEnd(kPython, {kVisa, "ask", "1", resource});
            expected = resource + u' ' + idnHex(address) + " 1\n";
        } else if (client == u"liblxi") {
            const QString target = kind == u"INSTR"
                    ? "vxi11:" + device
                    : "raw:" + QString::number(m_served->rawPort(device));
            run = RunToEnd(kLxiClient, {"127.0.0.1", "1", target});
            expected = target + u' ' + idnHex(address) + " 1\n";
        } else {
            QStringList arguments = {"scpi", "-a", "127.0.0.1", "-x"};
            if (kind == u"SOCKET")
                arguments << "-r"
                          << "-p" << QString::number(m_served->rawPort(device));
            run = RunToEnd(QStringLiteral("lxi"), arguments << "*IDN?");
            // Its hex dump: "0x56 0x45 ...", the line end the device's own.
            QString bytes;
            for (const auto &byte :
                    QRegularExpression("0x([0-9a-fA-F]{2})").globalMatch(run.output))
                bytes += byte.captured(1).toLower();
            run.output = bytes.chopped(2);
            expected = idnHex(address);
        }
        QCOMPARE(run.status, 0);
        QCOMPARE(run.output, expected);
    }

    // Eight clients, both protocols and both libraries, 250 queries each to each instrument
    // at once: every reply is the asker's own, whole.
    void eightClientsAtOnce()
    {
        QList<std::pair<QProcess *, QStringList>> clients;
        QStringList instr, sockets, vxi11, raw;
        for (const auto &[device, address] :
                {std::pair{"gpib0,3", 3}, {"gpib0,7", 7}, {"gpib0,12", 12}}) {
            instr << m_served->resource(device, "INSTR");
            sockets << m_served->resource(device, "SOCKET");
            vxi11 << QStringLiteral("vxi11:") + device;
            raw << "raw:" + QString::number(m_served->rawPort(device));
        }
        std::vector<std::unique_ptr<QProcess>> processes;
        QList<QStringList> targets;
        for (int i = 0; i < 2; ++i)
            for (const QStringList &set : {instr, sockets, vxi11, raw}) {
                auto &process = processes.emplace_back(std::make_unique<QProcess>());
                process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
                if (set.first().startsWith("TCPIP"))
                    process->start(kPython, QStringList{kVisa, "ask", "250"} + set);
                else
                    process->start(kLxiClient, QStringList{"127.0.0.1", "250"} + set);
                targets << set;
            }
        for (size_t i = 0; i < processes.size(); ++i) {
            QVERIFY(processes[i]->waitForFinished(120000));
            QCOMPARE(processes[i]->exitCode(), 0);
            QString expected;
            for (qsizetype t = 0; t < 3; ++t)
                expected += targets[qsizetype(i)][t] + u' ' + idnHex(QList{3, 7, 12}[t]) + " 250\n";
            QCOMPARE(QString::fromLatin1(processes[i]->readAllStandardOutput()), expected);
        }
    }

    // The transcript and the CSV file name each client's exchanges: address, protocol, device.
    void clientsAreRecorded()
    {
        QCOMPARE(RunToEnd(kLxiClient, {"127.0.0.1", "1", "vxi11:gpib0,7"}).status, 0);
        QFile log(m_files.filePath("wire.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString transcript = QString::fromUtf8(log.readAll());
        QVERIFY(QRegularExpression(" COM1 client 127\\.0\\.0\\.1:\\d+ VXI-11 gpib0,7 sends "
                                   "\"\\*IDN\\?\"\n +[0-9.]+ COM1 sent 9 bytes: 02 37 2A 49 44 4E "
                                   "3F 03 ")
                        .match(transcript)
                        .hasMatch());
        QFile csv(m_files.filePath("replies.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QVERIFY(QRegularExpression(
                ",\"COM1 127\\.0\\.0\\.1:\\d+ SOCKET gpib0,12\",\"\\*IDN\\?\","
                "\"ACK Packet received \\| Cksum verified, Cksum =  255 \\| RespStr= "
                "VELK,QSIM-488,QS0012\xC3\x8F,1.0\",,")
                        .match(QString::fromUtf8(csv.readAll()))
                        .hasMatch());
    }

    // A reply longer than the request comes in pieces, END on the last only, also when the
    // pieces fill it exactly; a client's termination character ends each piece it is found in.
    void readsInPieces()
    {
        const Finished run = RunToEnd(kPython, {kVisa, "reads", "127.0.0.1", "gpib0,7"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.output,
                "10 10:1 10:1 5:4\n"
                "5 5:1 5:1 5:1 5:1 5:5\n"
                "1000 25:4\n"
                "1000 5:2 9:2 7:2 4:4\n"
                "empty 15\n");
    }

    void locks()
    {
        const Finished run = RunToEnd(kPython, {kVisa, "locks", "127.0.0.1", "gpib0,3"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.output,
                "a locks: 0\n"
                "a locks again: 11\n"
                "b writes: 11\n"
                "b reads: 11\n"
                "b locks: 11\n"
                "b unlocks: 12\n"
                "a writes: 0\n"
                "b waits 300 ms: 11 after 0.3 s\n"
                "a unlocks: 0\n"
                "b writes: 0\n"
                "b reads: b'VELK,QSIM-488,QS0003,1.0\\n'\n"
                "a destroys: 0\n"
                "a's link gone: 4\n");
    }

    // A client killed while it holds the lock loses it, and the line goes on for the others.
    void killedLockHolderLosesTheLock()
    {
        QProcess holder;
        holder.start(kPython, {kVisa, "hold", "127.0.0.1", "gpib0,7"});
        QTRY_VERIFY_WITH_TIMEOUT(holder.canReadLine(), 10000);
        QCOMPARE(holder.readLine(), QByteArray("locked\n"));
        const Finished locked = RunToEnd(kPython, {kVisa, "fault", "127.0.0.1", "gpib0,3", "500"});
        QVERIFY2(locked.output.startsWith("11 "), qPrintable(locked.output));
        ::kill(pid_t(holder.processId()), SIGKILL);
        QVERIFY(holder.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(RunToEnd(kPython, {kVisa, "fault", "127.0.0.1", "gpib0,3", "500"})
                                         .output.startsWith("0 "),
                5000);
    }

    // What the line says goes back in VXI-11's terms: a silent instrument as an I/O timeout
    // within the client's time, a refused or garbled packet as an I/O error.
    void deviceFaults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("device");
        QTest::addColumn<int>("error");
        // fault: a write with a 500 ms timeout; abort: one of 3 s, aborted after 300 ms
        QTest::addColumn<QString>("asked");
        QTest::newRow("silent") << "--silent"
                                << "addr:4" << 15 << "fault";
        QTest::newRow("NAK") << "--nak"
                             << "packet:4" << 17 << "fault";
        QTest::newRow("bad checksum") << "--bad-checksum"
                                      << "packet:4" << 17 << "fault";
        QTest::newRow("aborted") << "--silent"
                                 << "addr:4" << 23 << "abort";
    }

    void deviceFaults()
    {
        QFETCH(QString, fault);
        QFETCH(QString, device);
        QFETCH(int, error);
        QFETCH(QString, asked);
        SimProcess sim({fault}, 2);
        QVERIFY(sim.ready());
        // Beside the bench's server, which holds the portmapper's name: reached by its port.
        ServedLine served({"--com1", sim.path(), "--device", device, "--raw-port", "0"});
        QCOMPARE(served.resources().size(), 2);
        const QString core = QStringLiteral("127.0.0.1:%1").arg(served.corePort());
        if (asked == u"abort") {
            const Finished run = RunToEnd(kPython, {kVisa, "abort", core, "gpib0,4"});
            QCOMPARE(run.output.section(u' ', 0, 1), "23 0");
            QVERIFY2(run.output.section(u' ', 2).toDouble() < 2.5, qPrintable(run.output));
            return;
        }
        const Finished run = RunToEnd(kPython, {kVisa, "fault", core, "gpib0,4", "500"});
        QCOMPARE(run.output.section(u' ', 0, 0).toInt(), error);
        const double seconds = run.output.section(u' ', 1, 1).toDouble();
        if (error == 15) {
            QVERIFY2(seconds >= 0.45, qPrintable(run.output));
            QVERIFY_IN_TIME(seconds < 0.5 + 0.15 * SanitizedSlowdown, qPrintable(run.output));
        }
    }

    // Whatever a client sends, the server answers in RPC's terms or hangs up, keeps its memory,
    // and goes on serving the others.
    void hostileClients_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<QString>("answer");
        QTest::newRow("fragment of 2^31 - 1 bytes") << "fragment"
                                                    << "hung up";
        QTest::newRow("record over the bound in fragments") << "fragments"
                                                            << "hung up";
        QTest::newRow("another program") << "program"
                                         << "accepted 1";
        QTest::newRow("another version") << "version"
                                         << "accepted 2 1 1";
        QTest::newRow("unknown procedure") << "procedure"
                                           << "accepted 3";
        QTest::newRow("another RPC version") << "rpc-version"
                                             << "denied 0 2 2";
        QTest::newRow("truncated arguments") << "truncated"
                                             << "accepted 4";
        QTest::newRow("a reply instead of a call") << "not-a-call"
                                                   << "hung up";
        QTest::newRow("raw line without an end") << "raw-endless-line"
                                                 << "hung up";
        QTest::newRow("asks nothing for longer than --idle-timeout") << "idle"
                                                                     << "hung up";
        QTest::newRow("1000 connections held open") << "hold"
                                                    << "opened 1000, closed by the server 968";
    }

    void hostileClients()
    {
        QFETCH(QString, attack);
        QFETCH(QString, answer);
        const qint64 before = m_served->residentKiB();
        const quint16 port
                = attack.startsWith("raw") ? m_served->rawPort("gpib0,3") : m_served->corePort();
        const Finished run = RunToEnd(kPython, {kHostile, attack, QString::number(port)});
        QCOMPARE(run.output, answer + u'\n');
        QVERIFY2(m_served->residentKiB() < before + 32 * 1024,
                qPrintable(QStringLiteral("%1 KiB before, %2 after")
                                   .arg(before)
                                   .arg(m_served->residentKiB())));
        QTRY_COMPARE_WITH_TIMEOUT(RunToEnd(kLxiClient, {"127.0.0.1", "1", "vxi11:gpib0,3"}).output,
                "vxi11:gpib0,3 " + idnHex(3) + " 1\n", 5000);
    }

    // Last, since the portmapper names one VXI-11 server at a time: `lxi discover` broadcasts
    // on the namespace's link and finds a server listening there, with its identity.
    // Fault caught: what a scan served went out with LF, which a line that wants CR ignores.
    void servesAtTheLineEndItsScanFound()
    {
        SimProcess sim({"--cr-only"}, 2);
        QVERIFY(sim.ready());
        ServedLine served({"--com1", sim.path(), "--raw-port", "0"});
        const QString raw = "raw:" + QString::number(served.rawPort("inst0"));
        const Finished run = RunToEnd(kLxiClient, {"127.0.0.1", "1", raw});
        QCOMPARE(run.output, raw + u' ' + QByteArray("VELK,QSIM-488,0,1.0").toHex() + " 1\n");
    }

    void discoveredByLxi()
    {
        m_served.reset();
        ServedLine served(
                {"--com1", m_bus->path(), "--device", "plain", "--settings", "19200,N,8,1",
                        "--listen", "192.0.2.1", "--allow", "192.0.2.0/24", "--raw-port", "0"});
        QCOMPARE(served.resources().first(), "TCPIP::192.0.2.1::inst0::INSTR");
        const Finished run = RunToEnd(QStringLiteral("lxi"), {"discover", "-t", "1"});
        QVERIFY2(run.output.contains("Found \"VELK,QSIM-488,QS0003,1.0\" on address 192.0.2.1"),
                qPrintable(run.output));
    }

private:
    QTemporaryDir m_files;
    std::unique_ptr<Portmapper> m_portmapper;
    std::unique_ptr<SimProcess> m_bus;
    std::unique_ptr<ServedLine> m_served;
};

QTEST_GUILESS_MAIN(ShareTest)
#include "test_share.moc"
