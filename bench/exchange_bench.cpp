// What one exchange costs, side by side with pyvisa-py doing the same query and with the floor
// of this machine, and what waiting and looping cost in CPU.
//
//   bench_exchange [exchanges] [loop-seconds] [transcript-file]     (defaults 200, 20, none)
//   bench_exchange --profile [exchanges]                            (default 200)
//
// Our side: a device thread answers "*IDN?" at once with a 40-character reply, CR LF and ">"
// over a pseudo-terminal; the main window runs offscreen with its start-up options, so each
// exchange is Send, the reply, the prompt, the 20 ms settle and the shown result. The peer:
// pyvisa-py's query("*IDN?") against its own device thread of the same kind (without the
// prompt, which pyvisa would leave unread). The floor: a bare C client (write, poll, read until
// the prompt) against a third one. All run interleaved in one run.
//
// CPU is that of the thread that runs the exchange (the peer's: its whole process), so the
// device threads' own work counts on no side. The sides that idle 20 ms before each exchange
// leave the idle's own CPU out; ours is given whole and less a settle measured on its own. The
// floor is also given with its idle counted: the least CPU an exchange that holds a 20 ms wait
// can cost on this machine.
//
// --profile runs our pseudo-terminal exchanges alone, for a profiler:
//   valgrind --tool=callgrind --toggle-collect='frmMain::cmdSend_Click()'
//            build/bench/bench_exchange --profile 200
// and divide the instructions by 205: the five that warm up are counted too.

#include "bareclient.h"
#include "line/exchange/linewait.h"
#include "line/port/serialcontrol.h"
#include "line/record/wirelog.h"
#include "processclock.h"
#include "ptyinstrument.h"
#include "serialserver.h"
#include "windowdriver.h"
#include "windows/appearance.h"
#include "windows/forms/frmmain.h"

#include <QApplication>
#include <QComboBox>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <thread>
#include <vector>

using namespace std::chrono;

namespace {

constexpr double kSettleMs = 20.0;

// CPU time of the calling thread, in seconds.
double threadCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Side
{
    std::vector<double> ms;
    double cpuMs = 0;
    double idleCpuMs = 0; // what the sides that idle spent on it, left out of cpuMs
    double median() const { return percentile(ms, 0.5); }
    double p95() const { return percentile(ms, 0.95); }
    double cpuPerExchange() const { return ms.empty() ? 0 : cpuMs / double(ms.size()); }
    void print(const char *name) const
    {
        std::printf("%-40s %8.3f %8.3f %10.3f\n", name, median(), p95(), cpuPerExchange());
    }
};

// The bare C client's exchanges, each after `idleMs` of quiet as the peer's paced ones.
bool runFloor(int fd, int count, int idleMs, Side &into)
{
    static const char query[] = "*IDN?\n";
    char reply[256];
    const double cpuBefore = threadCpuSeconds();
    for (int i = 0; i < count; ++i) {
        if (idleMs > 0) {
            const double idleCpu = threadCpuSeconds();
            std::this_thread::sleep_for(milliseconds(idleMs));
            const double idle = 1000.0 * (threadCpuSeconds() - idleCpu);
            into.cpuMs -= idle;
            into.idleCpuMs += idle;
        }
        const auto start = steady_clock::now();
        const long length = bare_client_query(
                fd, query, long(sizeof query - 1), '>', reply, long(sizeof reply), 2000);
        into.ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
        if (length != long(std::strlen(kInstrumentReply)))
            return false;
    }
    into.cpuMs += 1000.0 * (threadCpuSeconds() - cpuBefore);
    return true;
}

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
    const bool profile = argc > 1 && std::strcmp(argv[1], "--profile") == 0;
    if (profile) {
        --argc;
        ++argv;
    }
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
    // Typed once: the command stays in the box after Send, as for an operator who sends it
    // again, and retyping it would charge the exchange for the typing.
    auto exchangeOn = [](frmMain &on, QComboBox *box) {
        if (box->currentText() != QLatin1String("*IDN?"))
            box->setEditText(QStringLiteral("*IDN?"));
        const auto start = steady_clock::now();
        on.cmdSend_Click();
        return duration<double, std::milli>(steady_clock::now() - start).count() - kSettleMs;
    };
    auto exchange = [&] { return exchangeOn(window, command); };
    for (int i = 0; i < 5; ++i) // the first few warm caches up
        exchange();
    if (profile) {
        for (int i = 0; i < exchanges; ++i)
            exchange();
        return 0;
    }

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
        std::printf(
                "pyvisa-py did not start (python3-pyvisa-py installed?): no pyvisa-py figures\n");

    PtyInstrument floorDevice;
    const int floorLine = bare_client_open(floorDevice.path().c_str());
    if (floorLine < 0) {
        std::fprintf(stderr, "the bare client could not open %s\n", floorDevice.path().c_str());
        return 1;
    }
    Side floorBack, floorPaced;
    for (Side *warm : {&floorBack, &floorPaced}) { // as every side, five to warm up
        if (!runFloor(floorLine, 5, 0, *warm)) {
            std::fprintf(stderr, "the bare client got no reply\n");
            return 1;
        }
        *warm = Side{};
    }

    // Interleaved in rounds, so that whatever else the machine does falls on every side alike.
    constexpr int kRounds = 4;
    Side ours, back, paced, settleAlone;
    std::vector<double> oursToReply, oursAfterReply;
    for (int round = 0; round < kRounds; ++round) {
        const int count = exchanges / kRounds;
        double cpuBefore = threadCpuSeconds();
        for (int i = 0; i < count; ++i) {
            const auto start = steady_clock::now();
            ours.ms.push_back(exchange());
            // Where the time goes: up to the reply's last byte going into the line, and from
            // there to the shown result, less the settle.
            const double toReply
                    = double(device.lastByteNs
                              - duration_cast<nanoseconds>(start.time_since_epoch()).count())
                    / 1e6;
            oursToReply.push_back(toReply);
            oursAfterReply.push_back(ours.ms.back() - toReply);
        }
        ours.cpuMs += 1000.0 * (threadCpuSeconds() - cpuBefore);
        // The settle on its own, on the same quiet line: what its sleeps and its spin cost,
        // as the idle of the sides after 20 ms idle is left out of their CPU.
        cpuBefore = threadCpuSeconds();
        for (int i = 0; i < count; ++i) {
            const auto start = steady_clock::now();
            LineWait::settle(kSettleMs / 1000.0, {}, window.serial());
            settleAlone.ms.push_back(
                    duration<double, std::milli>(steady_clock::now() - start).count() - kSettleMs);
        }
        settleAlone.cpuMs += 1000.0 * (threadCpuSeconds() - cpuBefore);
        for (NetworkSide *side : {&raw, &rfc2217}) {
            if (!side->ready)
                continue;
            cpuBefore = threadCpuSeconds();
            for (int i = 0; i < count; ++i)
                side->figures.ms.push_back(exchangeOn(side->window, side->command));
            side->figures.cpuMs += 1000.0 * (threadCpuSeconds() - cpuBefore);
        }
        if (peer.ready() && !(peer.run("paced", count, paced) && peer.run("back", count, back))) {
            std::fprintf(stderr, "pyvisa-py peer failed\n");
            return 1;
        }
        if (!runFloor(floorLine, count, 20, floorPaced)
                || !runFloor(floorLine, count, 0, floorBack)) {
            std::fprintf(stderr, "the bare client got no reply\n");
            return 1;
        }
    }
    bare_client_close(floorLine);

    std::printf("exchanges: %d a side, *IDN? with a 40-character reply, interleaved in %d rounds\n",
            int(ours.ms.size()), kRounds);
    std::printf("%-40s %8s %8s %10s\n", "one exchange, wall ms and CPU ms", "median", "p95",
            "CPU/exch.");
    floorBack.print("bare C client (the floor), back to back");
    floorPaced.print("bare C client, after 20 ms idle");
    // An exchange of ours holds a 20 ms wait, and on some machines waking from one costs more
    // than the work around it: this is that floor.
    const double floorWithIdleCpu
            = (floorPaced.cpuMs + floorPaced.idleCpuMs) / double(floorPaced.ms.size());
    std::printf("%-40s %8s %8s %10.3f\n", "  the same, its idle's CPU counted", "", "",
            floorWithIdleCpu);
    if (peer.ready()) {
        back.print("pyvisa-py query, back to back");
        paced.print("pyvisa-py query, after 20 ms idle");
    }
    ours.print("Quillon, Send minus the settle");
    std::printf("%-40s %8.3f %8.3f\n", "  of which up to the reply's last byte",
            percentile(oursToReply, 0.5), percentile(oursToReply, 0.95));
    std::printf("%-40s %8.3f %8.3f\n", "  and from it to the shown result",
            percentile(oursAfterReply, 0.5), percentile(oursAfterReply, 0.95));
    settleAlone.print("the settle alone, past its 20 ms");
    const double oursLessSettleCpu = ours.cpuPerExchange() - settleAlone.cpuPerExchange();
    std::printf("%-40s %8s %8s %10.3f\n", "Quillon's CPU less the settle alone", "", "",
            oursLessSettleCpu);
    for (NetworkSide *side : {&raw, &rfc2217})
        if (side->ready)
            side->figures.print(side->name);

    std::printf("%-40s %8s %8s %10s\n", "ratios of Quillon's exchange to", "median", "p95", "CPU");
    auto ratio = [&](const char *name, const Side &other) {
        std::printf("%-40s %7.2fx %7.2fx %9.2fx\n", name, ours.median() / other.median(),
                ours.p95() / other.p95(), ours.cpuPerExchange() / other.cpuPerExchange());
    };
    ratio("  the floor, back to back", floorBack);
    ratio("  the floor after 20 ms idle", floorPaced);
    if (peer.ready()) {
        ratio("  pyvisa-py back to back", back);
        ratio("  pyvisa-py after 20 ms idle", paced);
        std::printf("%-40s %8s %8s %9.2fx\n", "  the same, our CPU less the settle", "", "",
                oursLessSettleCpu / back.cpuPerExchange());
        std::printf("%-40s %8s %8s %9.2fx\n", "CPU: floor with its idle / pyvisa-py b2b", "", "",
                floorWithIdleCpu / back.cpuPerExchange());
    }
    for (NetworkSide *side : {&raw, &rfc2217}) {
        if (!side->ready)
            continue;
        std::printf("ratio %-8s / pseudo-terminal:           median %.2fx, p95 %.2fx\n",
                side == &raw ? "raw TCP" : "RFC 2217", side->figures.median() / ours.median(),
                side->figures.p95() / ours.p95());
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
