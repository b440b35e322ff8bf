// The whole scan of the test bench against a sequential sweep that waits the window's reply
// time on every probe.
//
//   bench_scan [runs]     (default 3)
//
// The bench: three quillon-sim on pseudo-terminals, a bus at 19200 baud with instruments at 3,
// 7 and 12, a silent line and a line that answers garbage at every rate. The scan tries seven
// rates on each and then, at the rate that answered, 32 addressed probes. The sequential sweep
// sends the same probes one after another and gives each the window's whole reply wait: it is
// computed from the probe count, since running it would take minutes.

#include "line/exchange/linewait.h"
#include "line/scan/instrumentscan.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 3;

    SimProcess bus({"--address", "3,7,12", "--line-baud", "19200"});
    SimProcess silent({"--silent"});
    SimProcess garbage({"--garbage"});
    if (!bus.ready() || !silent.ready() || !garbage.ready()) {
        std::fprintf(stderr, "bench_scan: quillon-sim did not start\n");
        return 1;
    }

    std::vector<qint64> wallMs;
    int probes = 0;
    qsizetype found = 0;
    for (int run = 0; run < runs; ++run) {
        InstrumentScan scan;
        QObject::connect(&scan, &InstrumentScan::progress, [&](int done, int) { probes = done; });
        QObject::connect(&scan, &InstrumentScan::finished, &app, &QCoreApplication::quit);
        QElapsedTimer clock;
        clock.start();
        scan.start({{bus.path(), {}}, {silent.path(), {}}, {garbage.path(), {}}});
        QCoreApplication::exec();
        wallMs.push_back(clock.elapsed());
        found = scan.found().size();
    }
    std::sort(wallMs.begin(), wallMs.end());

    const double windowWaitSeconds
            = std::chrono::duration<double>(LineWait::PollPeriod * LineWait::TerminatorPolls)
                      .count();
    std::printf("Scan of the bench (3 lines, 7 rates, 32 addressed probes at the rate found)\n");
    std::printf("  side by side, waits by rate:  %6.2f s  (median of %d; fastest %.2f s, "
                "slowest %.2f s), %d probes, %lld answers\n",
            double(wallMs[wallMs.size() / 2]) / 1000.0, runs, double(wallMs.front()) / 1000.0,
            double(wallMs.back()) / 1000.0, probes, static_cast<long long>(found));
    std::printf("  one after another, %.0f s each: %6.0f s  (computed: %d probes x %.0f s, "
                "not run)\n",
            windowWaitSeconds, probes * windowWaitSeconds, probes, windowWaitSeconds);
    return 0;
}
