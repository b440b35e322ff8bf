// How long one exchange takes through Send, and what a waiting Send costs in CPU.
//
// A device thread answers "*IDN?" at once with a 40-character reply, CR LF and ">" over a
// pseudo-terminal; the main window runs offscreen with its start-up options.

#include "mainwin/frmmain.h"
#include "port/frmports.h"
#include "port/portbinding.h"
#include "port/serialcontrol.h"
#include "ui/appearance.h"
#include "windowdriver.h"
#include "ptyinstrument.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

using namespace std::chrono;

namespace {

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values[size_t(p * double(values.size() - 1) + 0.5)];
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    const int exchanges = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;

    PtyInstrument device;
    qputenv("QUILLON_COM1", device.path().c_str());
    frmMain window;
    window.timer()->stop(); // the loops are not part of this measurement
    WindowDriver::initializeOn(window, 1);
    if (!window.serial()->PortOpen()) {
        std::fprintf(stderr, "could not open %s\n", device.path().c_str());
        return 1;
    }
    auto *command = window.findChild<QComboBox *>("combCmd");

    std::vector<double> ms;
    for (int i = 0; i < exchanges + 5; ++i) {
        command->setEditText(QStringLiteral("*IDN?"));
        const auto start = steady_clock::now();
        window.cmdSend_Click();
        const double took = duration<double, std::milli>(steady_clock::now() - start).count();
        if (i >= 5) // the first few warm caches up
            ms.push_back(took);
    }

    // One full prompt wait that never sees ">": *RST is no query, so Send waits for the prompt.
    device.withPrompt = false;
    command->setEditText(QStringLiteral("*RST"));
    const double cpuBefore = cpuSeconds();
    const auto waitStart = steady_clock::now();
    window.cmdSend_Click();
    const double waitWall = duration<double>(steady_clock::now() - waitStart).count();
    const double waitCpu = cpuSeconds() - cpuBefore;

    const double settle = 20.0;
    std::printf("exchanges: %d (*IDN? with a 40-character reply, start-up options)\n", int(ms.size()));
    std::printf("send to result shown: median %.3f ms, p95 %.3f ms\n", percentile(ms, 0.5), percentile(ms, 0.95));
    std::printf("minus the 20 ms settle: median %.3f ms, p95 %.3f ms\n", percentile(ms, 0.5) - settle,
                percentile(ms, 0.95) - settle);
    std::printf("prompt wait without \">\": %.3f s wall, %.3f s CPU (%.2f %% of one core)\n", waitWall,
                waitCpu, 100.0 * waitCpu / waitWall);
    return 0;
}
