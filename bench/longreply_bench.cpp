// What a long reply costs the window: one line, or ordinary 70-character lines, from 64 KiB up.
//
//   bench_longreply [largest-KiB] [smallest-KiB]     (defaults 16384 and 64: 64 KiB to 16 MiB)
//
// A device thread answers "*IDN?" over a pseudo-terminal with the reply, CR LF and ">"; the main
// window (offscreen unless QT_QPA_PLATFORM says otherwise) runs with its start-up options, so
// the reply is read to the prompt and shown cut at its first line break. For each reply:
//  - on screen: from the last byte leaving the device to the results box painted with it;
//  - in full: until the box's document stops growing (a long text is filled between events);
//  - deaf: the longest time an event posted from another thread every 5 ms waited for the
//    window's thread, from Send until the box is full, which is how long a click or a screen
//    reader's request would have waited;
//  - CPU: the window thread's CPU time over the same span.
// Then the same sizes set straight into the results box as lines (CR LF after every 70
// characters), since a reply cut at its first line break never puts lines there. Last, the
// resident memory above idle while the largest one-line reply is shown.

#include "line/port/serialcontrol.h"
#include "processclock.h"
#include "ptyinstrument.h"
#include "windowdriver.h"
#include "windows/appearance.h"
#include "windows/forms/frmmain.h"
#include "windows/views/bytetextbox.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEvent>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <thread>

using namespace std::chrono;

namespace {

double threadCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
            + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string replyBody(qsizetype size, bool lines)
{
    std::string body;
    body.reserve(size_t(size));
    for (qsizetype i = 0; qsizetype(body.size()) < size; ++i) {
        if (lines && i % 72 == 70) {
            body += "\r\n";
            i += 1;
            continue;
        }
        // A hex block: no blank, no sign, nowhere a line may break, the hardest case to lay out.
        static const char kAlphabet[] = "0123456789ABCDEF";
        body += kAlphabet[i % (sizeof kAlphabet - 1)];
    }
    body.resize(size_t(size));
    return body;
}

// Runs the event loop until the box's document has not grown for 150 ms; returns when it last
// grew, in steady_clock nanoseconds.
long long settle(QPlainTextEdit *box)
{
    int size = box->document()->characterCount();
    long long grewAt = nowNs();
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < 150) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const int now = box->document()->characterCount();
        if (now != size) {
            size = now;
            grewAt = nowNs();
            quiet.restart();
        }
    }
    return grewAt;
}

struct Figures
{
    double onScreenMs, inFullMs, deafMs, cpuS;
};

void printRow(const char *shape, qsizetype size, const Figures &f)
{
    std::printf("%-22s %9lld KiB   on screen %8.1f ms   in full %8.1f ms   deaf %8.1f ms   "
                "CPU %7.2f s\n",
            shape, (long long)size / 1024, f.onScreenMs, f.inFullMs, f.deafMs, f.cpuS);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    const qsizetype largest = qsizetype(argc > 1 ? std::max(64, std::atoi(argv[1])) : 16384) * 1024;
    const qsizetype smallest = qsizetype(argc > 2 ? std::max(1, std::atoi(argv[2])) : 64) * 1024;

    PtyInstrument device;
    qputenv("QUILLON_COM1", device.path().c_str());
    frmMain window;
    window.timer()->stop();
    window.show();
    WindowDriver::initializeOn(window, 1);
    if (!window.serial()->PortOpen()) {
        std::fprintf(stderr, "could not open %s\n", device.path().c_str());
        return 1;
    }
    auto *command = window.findChild<QComboBox *>("combCmd");
    auto *box = window.findChild<QPlainTextEdit *>("txtResults");
    LatencyProbe probe;
    settle(box);
    const double idleMiB = residentMiB();

    std::printf("long replies, window thread only; deaf = longest wait of an event posted every "
                "5 ms\n");
    auto exchange = [&](qsizetype size, bool lines) {
        device.setReply(replyBody(size, lines) + "\r\n>");
        command->setEditText(QStringLiteral("*IDN?"));
        settle(box);
        probe.reset();
        const double cpuBefore = threadCpuSeconds();
        window.cmdSend_Click();
        box->viewport()->repaint();
        const long long shown = nowNs();
        const long long full = std::max(settle(box), shown);
        const long long last = device.lastByteNs;
        return Figures{(shown - last) / 1e6, (full - last) / 1e6, probe.longestMs(),
                threadCpuSeconds() - cpuBefore};
    };
    auto straightIn = [&](qsizetype size) {
        const QString text = QString::fromLatin1(replyBody(size, true));
        settle(box);
        probe.reset();
        const double cpuBefore = threadCpuSeconds();
        const long long start = nowNs();
        WindowDriver::control<ByteTextBox>(&window, QStringLiteral("txtResults"))->setText(text);
        box->viewport()->repaint();
        const long long shown = nowNs();
        const long long full = std::max(settle(box), shown);
        return Figures{(shown - start) / 1e6, (full - start) / 1e6, probe.longestMs(),
                threadCpuSeconds() - cpuBefore};
    };

    for (qsizetype size = smallest; size <= largest; size *= 4)
        printRow("reply, one line", size, exchange(size, false));
    for (qsizetype size = smallest; size <= largest; size *= 4)
        printRow("reply, 70-char lines", size, exchange(size, true));
    for (qsizetype size = smallest; size <= largest; size *= 4)
        printRow("box set, 70-char lines", size, straightIn(size));

    {
        exchange(largest, false);
        device.setReply({}); // the device's copy is not the window's memory
        std::printf("resident memory with the %lld KiB one-line reply shown: %.1f MiB above idle "
                    "(%.2fx the reply)\n",
                (long long)largest / 1024, residentMiB() - idleMiB,
                (residentMiB() - idleMiB) / (largest / 1048576.0));
    }
    return 0;
}
