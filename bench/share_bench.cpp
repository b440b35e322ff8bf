// What sharing the line costs, side by side in one run (`make bench` runs it in a namespace of
// its own, tests/share/netns.sh, where it starts rpcbind):
//   - liblxi's VXI-11 query through `quillon --serve` to a pty instrument, against a bare C
//     client on a pty instrument of its own (at most 3 times as long);
//   - pyvisa-py's query on a raw socket Quillon serves, against pyvisa-py on the pty
//     instrument directly (at most 1.25 times);
//   - eight liblxi clients at once against one alone: their total rate (at least 0.9 times);
//   - Quillon's CPU while it serves nobody (0 %).
//
//   bench_share [queries]     (default 2000)

#include "bareclient.h"
#include "processclock.h"
#include "ptyinstrument.h"
#include "share/servedline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <lxi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace std::chrono;

namespace {

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void row(const char *what, double ours, double peer, const char *bound, bool kept)
{
    std::printf("%-58s %9.4f %9.4f %7.2f  %-8s %s\n", what, ours, peer, peer > 0 ? ours / peer : 0,
            bound, kept ? "kept" : "NOT KEPT");
}

// liblxi's query through the portmapper and the VXI-11 core channel, each timed.
std::vector<double> lxiQueries(int count)
{
    std::vector<double> ms;
    const int device = lxi_connect("127.0.0.1", 0, "inst0", 3000, VXI11);
    if (device < 0)
        return ms;
    char reply[256];
    for (int i = -20; i < count; ++i) {
        const auto start = steady_clock::now();
        if (lxi_send(device, "*IDN?\n", 6, 3000) < 0
                || lxi_receive(device, reply, sizeof reply, 3000) < 0)
            return {};
        if (i >= 0)
            ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
    lxi_disconnect(device);
    return ms;
}

std::vector<double> floorQueries(const PtyInstrument &instrument, int count)
{
    std::vector<double> ms;
    const int fd = bare_client_open(instrument.path().c_str());
    char reply[256];
    for (int i = -20; i < count; ++i) {
        const auto start = steady_clock::now();
        if (bare_client_query(fd, "*IDN?\n", 6, '>', reply, sizeof reply, 2000) < 0)
            break;
        if (i >= 0)
            ms.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
    bare_client_close(fd);
    return ms;
}

std::vector<double> pyvisaQueries(const QString &resource, int count)
{
    const Finished run = RunToEnd(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(QUILLON_SHARE_PEER), resource, QString::number(count)}, 300000);
    std::vector<double> ms;
    for (const QString &field : run.output.split(u' ', Qt::SkipEmptyParts))
        ms.push_back(field.toDouble());
    return ms;
}

// Queries a second, over `clients` liblxi processes at once, each asking `each` times.
double rate(int clients, int each)
{
    std::vector<std::unique_ptr<QProcess>> processes;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < clients; ++i) {
        auto &process = processes.emplace_back(std::make_unique<QProcess>());
        process->start(QStringLiteral(QUILLON_LXI_CLIENT),
                {"127.0.0.1", QString::number(each), "vxi11:inst0"});
    }
    for (auto &process : processes)
        if (!process->waitForFinished(300000) || process->exitCode() != 0)
            return 0;
    return double(clients) * each / (double(clock.nsecsElapsed()) / 1e9);
}

// The CPU of process `pid` over `seconds`, as a share of one core.
double idleCpu(qint64 pid, double seconds)
{
    const auto ticks = [pid] {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return -1LL;
        // utime and stime, the 14th and 15th fields, after the command's closing parenthesis.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.value(11).toLongLong() + fields.value(12).toLongLong();
    };
    const long long before = ticks();
    QThread::msleep(static_cast<unsigned long>(seconds * 1000));
    const long long after = ticks();
    return double(after - before) / double(::sysconf(_SC_CLK_TCK)) / seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(50, std::atoi(argv[1])) : 2000;
    if (qgetenv("QUILLON_NETNS") != "inside") {
        std::fprintf(stderr, "bench_share: run it through tests/share/netns.sh\n");
        return 2;
    }
    Portmapper portmapper;
    if (!portmapper.ready()) {
        std::fprintf(stderr, "bench_share: rpcbind did not start\n");
        return 1;
    }
    lxi_init();
    std::printf("Sharing the line, %d queries a side (median ms)\n", count);
    std::printf("%-58s %9s %9s %7s  %-8s\n", "", "ours", "peer", "ratio", "bound");

    bool kept = true;
    {
        PtyInstrument served, bare;
        ServedLine line({"--com1", QString::fromStdString(served.path()), "--device", "plain",
                "--raw-port", "0"});
        const double through = median(lxiQueries(count));
        const double floor = median(floorQueries(bare, count));
        const bool vxi11Kept = through > 0 && through <= 3 * floor;
        row("liblxi VXI-11 query through Quillon / bare C on the pty", through, floor, "<= 3x",
                vxi11Kept);

        const double one = rate(1, count);
        const double eight = rate(8, count / 4);
        const bool eightKept = eight >= 0.9 * one && one > 0;
        std::printf("%-58s %9.0f %9.0f %7.2f  %-8s %s\n",
                "8 liblxi clients' queries/s / one client's alone", eight, one,
                one > 0 ? eight / one : 0, ">= 0.9x", eightKept ? "kept" : "NOT KEPT");

        const double cpu = idleCpu(line.pid(), 5.0);
        const bool idleKept = cpu == 0;
        std::printf("%-58s %8.2f %%  %26s %s\n", "Quillon's CPU serving nobody, over 5 s",
                100 * cpu, "0 %", idleKept ? "kept" : "NOT KEPT");
        kept = vxi11Kept && eightKept && idleKept;
    }
    {
        PtyInstrument served, direct;
        served.withPrompt = false;
        direct.withPrompt = false;
        ServedLine line({"--com1", QString::fromStdString(served.path()), "--device", "plain",
                "--no-prompt", "--raw-port", "0"});
        const double through = median(pyvisaQueries(line.resource("inst0", "SOCKET"), count));
        const double alone = median(pyvisaQueries(
                QStringLiteral("ASRL%1::INSTR").arg(QString::fromStdString(direct.path())), count));
        const bool rawKept = through > 0 && through <= 1.25 * alone;
        row("pyvisa-py raw SOCKET through Quillon / pyvisa-py on the pty", through, alone,
                "<= 1.25x", rawKept);
        kept = kept && rawKept;
    }
    return kept ? 0 : 1;
}
