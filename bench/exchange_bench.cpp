// What one exchange costs, side by side with pyvisa-py doing the same query, and what waiting
// and looping cost in CPU.
//
//   bench_exchange [exchanges] [loop-seconds] [transcript-file]     (defaults 200, 20, none)
//
// Our side: a device thread answers "*IDN?" at once with a 40-character reply, CR LF and ">"
// over a pseudo-terminal; the main window runs offscreen with its start-up options, so each
// exchange is Send, the reply, the prompt, the 20 ms settle and the shown result. The peer:
// pyvisa-py's query("*IDN?") against its own device thread of the same kind (without the
// prompt, which pyvisa would leave unread). Both run interleaved in one run.

#include "line/serialcontrol.h"
#include "line/wirelog.h"
#include "processclock.h"
#include "ptyinstrument.h"
#include "serialserver.h"
#include "windowdriver.h"
#include "windows/appearance.h"
#include "windows/frmmain.h"

#include <QApplication>
#include <QComboBox>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace std::chrono;

namespace {

constexpr double kSettleMs = 20.0;

struct Side
{
    std::vector<double> ms;
    double cpuMs = 0;
    void print(const char *name) const
    {
        std::printf("%-34s median %.3f ms, p95 %.3f ms, CPU %.3f ms per exchange\n", name,
                percentile(ms, 0.5), percentile(ms, 0.95), cpuMs / double(ms.size()));
    }
};

// pyvisa-py in its own process, driven over its standard input.
class Peer
{
public:
    explicit Peer(const std::string &device)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral(QUILLON_PEER_SCRIPT), QString::fromStdString(device)});
        m_ready = m_process.waitForStarted(5000) && readLine() == "ready";
    }
    ~Peer()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    bool ready() const { return m_ready; }

    bool run(const char *mode, int count, Side &into)
    {
        m_process.write(QByteArray(mode) + ' ' + QByteArray::number(count) + '\n');
        const QList<QByteArray> fields = readLine().split(' ');
        if (fields.size() != count + 1)
            return false;
        for (int i = 0; i < count; ++i)
            into.ms.push_back(fields[i].toDouble());
        into.cpuMs += fields.last().toDouble();
        return true;
    }

private:
    QByteArray readLine()
    {
        while (!m_process.canReadLine())
            if (!m_process.waitForReadyRead(60000))
                return {};
        return m_process.readLine().trimmed();
    }

    QProcess m_process;
    bool m_ready = false;
};

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    const int exchanges = argc > 1 ? std::max(40, std::atoi(argv[1])) : 200;
    const int loopSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;

    // With a transcript, as --log writes it: it must not change the figures.
    LineRecorder recorder;
    WireLog transcript(&recorder);
    if (argc > 3) {
        if (!transcript.open(QString::fromLocal8Bit(argv[3]))) {
            std::fprintf(stderr, "cannot write %s\n", argv[3]);
            return 1;
        }
        std::printf("writing a transcript to %s\n", argv[3]);
    }

    PtyInstrument device;
    qputenv("QUILLON_COM1", device.path().c_str());
    frmMain window(&recorder);
    window.timer()->stop(); // the loops are measured on their own below
    WindowDriver::initializeOn(window, 1);
    if (!window.serial()->PortOpen()) {
        std::fprintf(stderr, "could not open %s\n", device.path().c_str());
        return 1;
    }
    auto *command = window.findChild<QComboBox *>("combCmd");
    auto exchangeOn = [](frmMain &on, QComboBox *box) {
        box->setEditText(QStringLiteral("*IDN?"));
        const auto start = steady_clock::now();
        on.cmdSend_Click();
        return duration<double, std::milli>(steady_clock::now() - start).count() - kSettleMs;
    };
    auto exchange = [&] { return exchangeOn(window, command); };
    for (int i = 0; i < 5; ++i) // the first few warm caches up
        exchange();

    // The same instrument kind behind a local ser2net, reached over raw TCP (COM 2) and over
    // RFC 2217 (COM 3), each with a server and instrument of its own: what the network path
    // adds to an exchange.
    struct NetworkSide
    {
        NetworkSide(const char *sideName, int sideComPort)
            : name(sideName), comPort(sideComPort) { }
        const char *name;
        int comPort;
        PtyInstrument device;
        SerialServer server{QString::fromStdString(device.path())};
        frmMain window;
        QComboBox *command = nullptr;
        Side figures;
        bool ready = false;
    };
    NetworkSide raw("Quillon over raw TCP (ser2net)", 2);
    NetworkSide rfc2217("Quillon over RFC 2217 (ser2net)", 3);
    for (NetworkSide *side : {&raw, &rfc2217}) {
        side->window.timer()->stop();
        if (!side->server.ready()) {
            std::printf("ser2net did not start (installed?): no network figures\n");
            continue;
        }
        const QString url = side == &raw ? side->server.rawUrl() : side->server.rfc2217Url();
        qputenv(QStringLiteral("QUILLON_COM%1").arg(side->comPort).toLatin1().constData(),
                url.toUtf8());
        WindowDriver::initializeOn(side->window, side->comPort);
        side->command = side->window.findChild<QComboBox *>("combCmd");
        side->ready = side->window.serial()->PortOpen();
        for (int i = 0; i < 5 && side->ready; ++i)
            exchangeOn(side->window, side->command);
    }

    PtyInstrument peerDevice;
    peerDevice.withPrompt = false;
    Peer peer(peerDevice.path());
    if (!peer.ready())
        std::printf("pyvisa-py did not start (python3-pyvisa-py installed?): our side only\n");

    // Interleaved in rounds, so that whatever else the machine does falls on both sides alike.
    constexpr int kRounds = 4;
    Side ours, back, paced;
    for (int round = 0; round < kRounds; ++round) {
        const int count = exchanges / kRounds;
        double cpuBefore = cpuSeconds();
        for (int i = 0; i < count; ++i)
            ours.ms.push_back(exchange());
        ours.cpuMs += 1000.0 * (cpuSeconds() - cpuBefore);
        for (NetworkSide *side : {&raw, &rfc2217}) {
            if (!side->ready)
                continue;
            cpuBefore = cpuSeconds();
            for (int i = 0; i < count; ++i)
                side->figures.ms.push_back(exchangeOn(side->window, side->command));
            side->figures.cpuMs += 1000.0 * (cpuSeconds() - cpuBefore);
        }
        if (peer.ready() && !(peer.run("paced", count, paced) && peer.run("back", count, back))) {
            std::fprintf(stderr, "pyvisa-py peer failed\n");
            return 1;
        }
    }

    std::printf("exchanges: %d a side, *IDN? with a 40-character reply, interleaved in %d rounds\n",
            int(ours.ms.size()), kRounds);
    ours.print("Quillon, Send minus the settle");
    for (NetworkSide *side : {&raw, &rfc2217}) {
        if (!side->ready)
            continue;
        side->figures.print(side->name);
        std::printf("ratio %-8s / pseudo-terminal:           median %.2fx, p95 %.2fx\n",
                side == &raw ? "raw TCP" : "RFC 2217",
                percentile(side->figures.ms, 0.5) / percentile(ours.ms, 0.5),
                percentile(side->figures.ms, 0.95) / percentile(ours.ms, 0.95));
    }
    if (peer.ready()) {
        back.print("pyvisa-py query, back to back");
        paced.print("pyvisa-py query, after 20 ms idle");
        auto ratio = [&](const char *name, const Side &peerSide) {
            std::printf("ratio Quillon / pyvisa-py %-16s median %.2fx, p95 %.2fx\n", name,
                    percentile(ours.ms, 0.5) / percentile(peerSide.ms, 0.5),
                    percentile(ours.ms, 0.95) / percentile(peerSide.ms, 0.95));
        };
        ratio("back to back:", back);
        ratio("after idle:", paced);
    }

    // One full prompt wait that never sees ">": *RST is no query, so Send waits for the prompt.
    device.withPrompt = false;
    command->setEditText(QStringLiteral("*RST"));
    double cpuBefore = cpuSeconds();
    const auto waitStart = steady_clock::now();
    window.cmdSend_Click();
    const double waitWall = duration<double>(steady_clock::now() - waitStart).count();
    const double waitCpu = cpuSeconds() - cpuBefore;
    std::printf("prompt wait without \">\": %.3f s wall, %.2f %% of one core\n", waitWall,
            100.0 * waitCpu / waitWall);
    device.withPrompt = true;

    // The IDN loop at 100 ms, as an operator leaves it running.
    window.findChild<QAbstractButton *>("optTime_0")->click();
    window.findChild<QAbstractButton *>("cmdIDNTst")->click();
    window.timer()->start();
    const long ticksBefore = device.idnReceived;
    cpuBefore = cpuSeconds();
    QTimer::singleShot(loopSeconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    const double loopCpu = cpuSeconds() - cpuBefore;
    std::printf("IDN loop at 100 ms for %d s: %ld exchanges, %.2f %% of one core\n", loopSeconds,
            device.idnReceived - ticksBefore, 100.0 * loopCpu / loopSeconds);
    return 0;
}
