// The scan of the test bench and of the buses a plain probe or a short wait miss, each against a
// sequential sweep that waits the window's reply time on every probe.
//
//   bench_scan [runs]     (default 3)
//
// The bench: three quillon-sim on pseudo-terminals, a bus at 19200 baud with instruments at 3,
// 7 and 12, a silent line and a line that answers garbage at every rate. The scan tries one
// burst at each rate on each and then, at the rate that answered, plain and 32 addressed probes,
// and a line end or more. The other rows: the bus of the bench replaced by one that answers
// only its addresses; a fast interface with a slow instrument behind it; the slow instrument
// alone among empty addresses; and an interface that ends messages at CR alone. The sequential
// sweep sends the bench's probes one after another and gives each the window's whole reply
// wait: it is computed from the probe count, since running it would take minutes.

#include "line/exchange/linewait.h"
#include "line/scan/instrumentscan.h"
#include "simprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Row
{
    const char *name;
    std::vector<QStringList> lines; // each a quillon-sim's arguments
};

struct Measured
{
    std::vector<qint64> wallMs; // sorted
    int probes = 0;
    QList<FoundInstrument> found;
};

Measured measure(const std::vector<QString> &paths, int runs)
{
    Measured measured;
    for (int run = 0; run < runs; ++run) {
        InstrumentScan scan;
        QObject::connect(
                &scan, &InstrumentScan::progress, [&](int done, int) { measured.probes = done; });
        QObject::connect(&scan, &InstrumentScan::finished, qApp, &QCoreApplication::quit);
        QList<ScanTarget> targets;
        for (const QString &path : paths)
            targets << ScanTarget{path, {}};
        QElapsedTimer clock;
        clock.start();
        scan.start(targets);
        QCoreApplication::exec();
        measured.wallMs.push_back(clock.elapsed());
        measured.found = scan.found();
    }
    std::sort(measured.wallMs.begin(), measured.wallMs.end());
    return measured;
}

// "3 VELK,QSIM-488,QS0003,1.0 LF": what the row found at each address, plain as "-", each once.
QString described(const QList<FoundInstrument> &found)
{
    QStringList each;
    for (const FoundInstrument &instrument : found) {
        const QString one = QStringLiteral("%1 %2").arg(
                instrument.address < 0 ? QStringLiteral("-") : QString::number(instrument.address),
                instrument.terminatorName());
        if (!each.contains(one))
            each << one;
    }
    return each.join(QStringLiteral(", "));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 3;

    const QStringList silent = {"--silent"};
    const QStringList garbage = {"--garbage"};
    const std::vector<Row> rows = {
            {"bench: a bus at 19200 (3, 7, 12), a silent line, garbage",
                    {{"--address", "3,7,12", "--line-baud", "19200"}, silent, garbage}},
            {"a bus that answers only its addresses, at 38400 (5), silent, garbage",
                    {{"--address", "5", "--addressed-only", "--line-baud", "38400"}, silent,
                            garbage}},
            {"a fast interface at 19200 (2), an instrument 180 ms late (11)",
                    {{"--address", "2,11", "--late", "11:180", "--line-baud", "19200"}}},
            {"one instrument 180 ms late (11) among 15 empty addresses",
                    {{"--address", "11", "--late", "11:180"}}},
            {"an interface that ends messages at CR alone, at 4800",
                    {{"--cr-only", "--line-baud", "4800"}}},
    };

    std::printf(
            "Scan, side by side, waits by what each line has shown (median of %d runs)\n", runs);
    int benchProbes = 0;
    for (const Row &row : rows) {
        std::vector<std::unique_ptr<SimProcess>> simulators;
        std::vector<QString> paths;
        for (const QStringList &arguments : row.lines) {
            simulators.push_back(std::make_unique<SimProcess>(arguments));
            if (!simulators.back()->ready()) {
                std::fprintf(stderr, "bench_scan: quillon-sim did not start\n");
                return 1;
            }
            paths.push_back(simulators.back()->path());
        }
        const Measured measured = measure(paths, runs);
        if (benchProbes == 0)
            benchProbes = measured.probes;
        std::printf("  %-70s %5.2f s  (%.2f to %.2f s), %3d probes; found: %s\n", row.name,
                double(measured.wallMs[measured.wallMs.size() / 2]) / 1000.0,
                double(measured.wallMs.front()) / 1000.0, double(measured.wallMs.back()) / 1000.0,
                measured.probes, qPrintable(described(measured.found)));
    }

    const double windowWaitSeconds
            = std::chrono::duration<double>(LineWait::PollPeriod * LineWait::TerminatorPolls)
                      .count();
    std::printf("  the bench one probe after another, %.0f s each: %6.0f s  (computed: %d probes "
                "x %.0f s, not run)\n",
            windowWaitSeconds, benchProbes * windowWaitSeconds, benchProbes, windowWaitSeconds);
    return 0;
}
