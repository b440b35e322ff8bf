// COM ports bound to a network serial server: a real ser2net in front of the simulator, reached
// raw (socket://) and through RFC 2217 (rfc2217://), plus the failures of reaching one.

#include "line/linetransport.h"
#include "line/linewait.h"
#include "line/networkmessages.h"
#include "line/serialcontrol.h"
#include "line/telnetcodec.h"
#include "line/wirelog.h"
#include "processclock.h"
#include "protocol/framing.h"
#include "serialserver.h"
#include "simprocess.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTemporaryFile>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace WindowDriver;

namespace {

const QString kIdentity = QStringLiteral("VELK,QSIM-488,0,1.0");

// The speed the kernel holds for a pseudo-terminal, as the server set it.
speed_t lineSpeed(const QString &device)
{
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios tio{};
    const bool read = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
    if (fd >= 0)
        ::close(fd);
    return read ? ::cfgetospeed(&tio) : speed_t(0);
}

// A listening socket on 127.0.0.1 that never accepts, its queue already full: a connection
// attempt gets no answer at all, as from a server behind a dead link.
class SilentListener
{
public:
    SilentListener()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(m_listener, 0);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        // The kernel queues one more than the backlog; these fill the queue.
        for (int &filler : m_fillers) {
            filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
        }
        QTest::qWait(50);
    }
    ~SilentListener()
    {
        for (int filler : m_fillers)
            ::close(filler);
        ::close(m_listener);
    }
    quint16 port() const { return m_port; }

private:
    int m_listener = -1;
    int m_fillers[2] = {-1, -1};
    quint16 m_port = 0;
};

} // namespace

class NetworkTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<SerialServer> server;

    QString urlFor(const QString &kind) const
    {
        return kind == u"raw" ? server->rawUrl() : server->rfc2217Url();
    }
    void addAccepterRows()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("raw") << "raw";
        QTest::newRow("rfc2217") << "rfc2217";
    }
    void bindCom1(const QString &binding) { qputenv("QUILLON_COM1", binding.toLocal8Bit()); }
    static void send(frmMain &w, const QString &command)
    {
        control<QComboBox>(&w, "combCmd")->setEditText(command);
        w.cmdSend_Click();
    }

private slots:
    void init()
    {
        sim = std::make_unique<SimProcess>();
        QVERIFY(sim->ready());
        server = std::make_unique<SerialServer>(sim->path());
        QVERIFY2(server->ready(), "ser2net did not start (is it installed?)");
    }

    void cleanup()
    {
        server.reset();
        sim.reset();
        qunsetenv("QUILLON_COM1");
    }

    void bindingsRead_data()
    {
        QTest::addColumn<QString>("binding");
        QTest::addColumn<int>("kind");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        using K = NetworkBinding::Kind;
        QTest::newRow("device") << "/dev/ttyUSB0" << int(K::None) << false << "" << 0;
        QTest::newRow("raw") << "socket://lab-7:4001" << int(K::Raw) << true << "lab-7" << 4001;
        QTest::newRow("rfc2217, pyserial options") << "rfc2217://10.0.0.5:2217?logging=debug"
                                                   << int(K::Rfc2217) << true << "10.0.0.5" << 2217;
        QTest::newRow("IPv6") << "socket://[::1]:23" << int(K::Raw) << true << "::1" << 23;
        QTest::newRow("upper case scheme")
                << "RFC2217://host:1" << int(K::Rfc2217) << true << "host" << 1;
        QTest::newRow("no port") << "socket://lab-7" << int(K::Raw) << false << "" << 0;
        QTest::newRow("port 0") << "socket://lab-7:0" << int(K::Raw) << false << "" << 0;
        QTest::newRow("port too big") << "socket://lab-7:65536" << int(K::Raw) << false << "" << 0;
        QTest::newRow("no host") << "rfc2217://:2217" << int(K::Rfc2217) << false << "" << 0;
    }

    void bindingsRead()
    {
        QFETCH(QString, binding);
        QFETCH(int, kind);
        QFETCH(bool, valid);
        const NetworkBinding parsed = ParseNetworkBinding(binding);
        QCOMPARE(int(parsed.kind), kind);
        QCOMPARE(parsed.valid, valid);
        if (!valid)
            return;
        QFETCH(QString, host);
        QFETCH(int, port);
        QCOMPARE(parsed.host, host);
        QCOMPARE(int(parsed.port), port);
    }

    void telnetStreamSplitAnywhere_data()
    {
        using T = TelnetCodec;
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("commands");
        QTest::newRow("doubled 0xFF") << T::bytes({'a', 255, 255, 'b', 255, 255, 255, 255})
                                      << T::bytes({'a', 255, 'b', 255, 255}) << 0;
        QTest::newRow("negotiation among data")
                << T::bytes({'x', 255, T::DO, 44, 'y'}) << QByteArray("xy") << 1;
        QTest::newRow("reply with 0xFF in its value")
                << T::bytes({255, T::SB, 44, 101, 0, 0, 255, 255, 255, 240, 'z'}) << QByteArray("z")
                << 1;
        QTest::newRow("no-operation dropped")
                << T::bytes({'1', 255, 241, '2', 255, 249}) << QByteArray("12") << 0;
    }

    void telnetStreamSplitAnywhere()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QByteArray, data);
        QFETCH(int, commands);
        // However TCP cuts the stream, the same data and commands come out.
        for (qsizetype cut = 0; cut <= stream.size(); ++cut) {
            TelnetCodec codec;
            QByteArray out;
            QList<TelnetCodec::Command> found;
            codec.decode(stream.left(cut), out, found);
            codec.decode(stream.mid(cut), out, found);
            QCOMPARE(out.toHex(), data.toHex());
            QCOMPARE(found.size(), commands);
        }
        // What goes out, decoded again, is what went in.
        TelnetCodec codec;
        QByteArray back;
        QList<TelnetCodec::Command> none;
        codec.decode(TelnetCodec::escape(data), back, none);
        QCOMPARE(back.toHex(), data.toHex());
        QVERIFY(none.isEmpty());
    }

    void identityOnEachAccepter_data() { addAccepterRows(); }

    void identityOnEachAccepter()
    {
        QFETCH(QString, kind);
        bindCom1(urlFor(kind));
        QTemporaryFile log;
        QVERIFY(log.open());
        LineRecorder recorder;
        WireLog transcript(&recorder);
        QVERIFY(transcript.open(log.fileName()));
        frmMain w(&recorder);
        w.timer()->stop();
        QSignalSpy beeps(&w, &frmMain::beeped);
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        // A raw line cannot carry the baud rate; the operator hears of it once, without a beep.
        const QString notice
                = kind == u"raw" ? RawSocketBaudNotice(1, urlFor(kind), 9600) : QString();
        QCOMPARE(shownError(&w), notice);
        send(w, "*IDN?");
        QCOMPARE(resultsText(&w), kIdentity);
        QCOMPARE(beeps.size(), 0);
        const QByteArray written = log.readAll();
        QVERIFY2(written.contains(" COM1 open " + urlFor(kind).toUtf8() + " at 9600,N,8,1\n"),
                written.constData());
    }

    void everyByteValueBothWays_data() { addAccepterRows(); }

    void everyByteValueBothWays()
    {
        QFETCH(QString, kind);
        bindCom1(urlFor(kind));
        SerialControl control;
        control.setCommPort(1);
        QVERIFY(control.setPortOpen(true));
        // The instrument echoes what it gets once CNTL-E has switched the echo on; runs of 0xFF
        // are what a Telnet layer doubles.
        QByteArray text;
        for (int b = 0x20; b < 256; ++b)
            text += char(b);
        text += "\xFF\xFF\xFF\n";
        QVERIFY(control.Output(QByteArray(1, Wire::CNTL_E)));
        QTest::qWait(100);
        QVERIFY(control.Output(text));
        QByteArray echoed;
        LineWait wait(&control);
        QElapsedTimer clock;
        clock.start();
        while (echoed.size() <= text.size() && clock.elapsed() < 5000)
            wait.waitFor(echoed, 0, 1000);
        QCOMPARE(echoed.left(text.size()).toHex(), text.toHex());

        // A packet whose checksum byte is 0xFF is taken as sound by the instrument.
        QByteArray command = "*IDN";
        command += char(0xFF ^ XorChecksum(QByteArray(1, Wire::STX) + "4" + command + Wire::ETX));
        const QByteArray packet = FrameMessage(command, true, true, "4", false, false);
        QCOMPARE(quint8(packet.back()), quint8(0xFF));
        control.Input();
        QVERIFY(control.Output(QByteArray(1, Wire::CNTL_F)));
        QTest::qWait(100);
        QVERIFY(control.Output(packet));
        QByteArray reply;
        QCOMPARE(LineWait(&control).waitFor(reply, '>', 30000), LineWait::End::Found);
        const ReplyPacket checked = CheckReplyPacket(reply);
        QCOMPARE(checked.kind, ReplyPacket::Kind::Ack);
        QVERIFY(checked.checksumOk);
    }

    void portWindowBaudReachesTheServer()
    {
        bindCom1(server->rfc2217Url());
        frmMain w;
        w.timer()->stop();
        initializeOn(w, 1, 3); // the 19200 baud option
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(shownError(&w), QString()); // the server confirmed
        QCOMPARE(lineSpeed(sim->path()), speed_t(B19200));
        send(w, "*IDN?");
        QCOMPARE(resultsText(&w), kIdentity);
        initializeOn(w, 1, 6); // the 115200 baud option
        QCOMPARE(lineSpeed(sim->path()), speed_t(B115200));
    }

    void serverWithoutTheOptionStillOpens()
    {
        // The raw accepter takes the Telnet offer for line data and never answers it.
        bindCom1(QStringLiteral("rfc2217://127.0.0.1:%1").arg(server->rawPort()));
        frmMain w;
        w.timer()->stop();
        QElapsedTimer clock;
        clock.start();
        initializeOn(w, 1);
        QVERIFY_IN_TIME(clock.elapsed() < LineTransport::OpenTimeoutMs,
                "clock.elapsed() < LineTransport::OpenTimeoutMs");
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(shownError(&w),
                SettingsUnconfirmedNotice(1,
                        QStringLiteral("rfc2217://127.0.0.1:%1").arg(server->rawPort()),
                        "9600,N,8,1"));
    }

    void serverStoppedMidLoop_data() { addAccepterRows(); }

    void serverStoppedMidLoop()
    {
        QFETCH(QString, kind);
        bindCom1(urlFor(kind));
        frmMain w;
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        click(&w, "optTime_0"); // 100 ms
        click(&w, "cmdIDNTst");
        auto *count = control<QLineEdit>(&w, "txtCount");
        QTRY_VERIFY(count->text().toInt() >= 3);
        server->stop();
        QTRY_COMPARE(failures.size(), 1);
        QVERIFY(failures.first().first().toString().startsWith(
                QStringLiteral("COM 1 (%1) was lost").arg(urlFor(kind))));
        // The loop goes on counting over the closed port, without a word and without a spin.
        const int before = count->text().toInt();
        const double cpuBefore = cpuSeconds();
        QTest::qWait(1500);
        const double cpu = cpuSeconds() - cpuBefore;
        QCOMPARE(failures.size(), 1);
        QVERIFY(!w.serial()->PortOpen());
        QVERIFY(count->text().toInt() >= before + 5);
        QVERIFY_IN_TIME(cpu < 0.3, qPrintable(QString::number(cpu)));
    }

    void failuresNamedWithinTheBound_data()
    {
        QTest::addColumn<QString>("binding");
        QTest::addColumn<QString>("expected");
        const quint16 closed = SerialServer::freePort();
        QTest::newRow("refused") << QStringLiteral("socket://127.0.0.1:%1").arg(closed)
                                 << DescribeNetworkOpenFailure(1,
                                            QStringLiteral("socket://127.0.0.1:%1").arg(closed),
                                            NetworkOpenError::Refused, "127.0.0.1", closed);
        QTest::newRow("refused, rfc2217")
                << QStringLiteral("rfc2217://127.0.0.1:%1").arg(closed)
                << DescribeNetworkOpenFailure(1,
                           QStringLiteral("rfc2217://127.0.0.1:%1").arg(closed),
                           NetworkOpenError::Refused, "127.0.0.1", closed);
        QTest::newRow("host not found")
                << "socket://no-such-host.invalid:4001"
                << DescribeNetworkOpenFailure(1, "socket://no-such-host.invalid:4001",
                           NetworkOpenError::HostNotFound, "no-such-host.invalid", 4001);
        QTest::newRow("not an address") << "rfc2217://lab-server"
                                        << DescribeNetworkOpenFailure(1, "rfc2217://lab-server",
                                                   NetworkOpenError::BadAddress, {}, 0);
        // A server behind a dead link. (A TEST-NET address would do on a plain network, but
        // sandboxes and proxies answer for any address.) The listener comes with the test.
        QTest::newRow("no answer") << "socket://127.0.0.1:%1" << QString();
    }

    void failuresNamedWithinTheBound()
    {
        QFETCH(QString, binding);
        QFETCH(QString, expected);
        SilentListener silent;
        if (expected.isEmpty()) {
            binding = binding.arg(silent.port());
            expected = DescribeNetworkOpenFailure(
                    1, binding, NetworkOpenError::NoAnswer, "127.0.0.1", silent.port());
        }
        bindCom1(binding);
        frmMain w;
        QSignalSpy beeps(&w, &frmMain::beeped);
        // The window keeps answering while it waits: a timer goes on ticking.
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QElapsedTimer clock;
        clock.start();
        initializeOn(w, 1);
        const qint64 waited = clock.elapsed();
        QVERIFY_IN_TIME(
                waited < LineTransport::OpenTimeoutMs + 500, qPrintable(QString::number(waited)));
        QVERIFY(!w.serial()->PortOpen());
        QCOMPARE(shownError(&w), expected);
        QCOMPARE(beeps.size(), 1);
        QVERIFY(!control(&w, "cmdSend")->isEnabled());
        if (waited > 1000)
            QVERIFY2(ticks >= waited / 50 / 2, qPrintable(QString::number(ticks)));
    }

    void instrumentInUseByAnotherClient()
    {
        bindCom1(server->rfc2217Url());
        SerialControl first, second;
        first.setCommPort(1);
        second.setCommPort(1);
        QVERIFY(first.setPortOpen(true));
        QSignalSpy failures(&second, &SerialControl::failure);
        QVERIFY(!second.setPortOpen(true));
        QCOMPARE(failures.size(), 1);
        QCOMPARE(failures.first().first().toString(),
                DescribeNetworkOpenFailure(1, server->rfc2217Url(),
                        NetworkOpenError::ClosedByServer, "127.0.0.1", server->rfc2217Port(),
                        "Port already in use"));
    }

    void initializeAgainWhileConnecting()
    {
        // The window answers during a slow connect, so Initialize can be pressed again; the
        // second choice wins and the first gives up without a word.
        SilentListener silent;
        bindCom1(QStringLiteral("socket://127.0.0.1:%1").arg(silent.port()));
        frmMain w;
        w.timer()->stop();
        QSignalSpy failures(w.serial(), &SerialControl::failure);
        QTimer::singleShot(300, &w, [&] {
            bindCom1(server->rfc2217Url());
            initializeOn(w, 1);
        });
        QElapsedTimer clock;
        clock.start();
        initializeOn(w, 1);
        QVERIFY_IN_TIME(clock.elapsed() < LineTransport::OpenTimeoutMs,
                "clock.elapsed() < LineTransport::OpenTimeoutMs");
        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(failures.size(), 0);
        send(w, "*IDN?");
        QCOMPARE(resultsText(&w), kIdentity);
    }
};

QUILLON_TEST_MAIN(NetworkTest)
#include "test_network.moc"
