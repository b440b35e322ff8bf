// What the wire view and the loop chart cost the main window.
//
//   bench_views [stream-seconds]     (default 10)
//
// Wire view: quillon-sim streams filler at 115200 baud (paced, about a thousand chunks a
// second) while no exchange waits, so every chunk becomes an entry of the live transcript.
// The same stream runs twice in one run, with the wire view hidden and shown; a 10 ms timer
// and a posted event every 10 ms measure how late the main window's event loop answers, and
// the process's CPU time is taken over the stream. Then a 1 MiB reply is read by Send both
// ways. Chart: paint time of the plot at 100,000 points, next to drawing every point.

#include "line/port/serialcontrol.h"
#include "processclock.h"
#include "protocol/replyreading.h"
#include "simprocess.h"
#include "windowdriver.h"
#include "windows/appearance.h"
#include "windows/forms/frmmain.h"
#include "windows/views/chartplot.h"
#include "windows/views/historymemory.h"
#include "windows/views/loopchart.h"
#include "windows/views/loopseries.h"
#include "windows/views/wiremodel.h"
#include "windows/views/wireview.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPainter>
#include <QPainterPath>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

struct StreamFigures
{
    std::vector<double> timerLateMs;
    std::vector<double> postedLateMs;
    double cpuPercent = 0;
    qsizetype entries = 0;
    qint64 bytes = 0;
};

// Streams `seconds` of 115200 baud into the open port while measuring the event loop.
StreamFigures stream(frmMain &window, double seconds)
{
    StreamFigures figures;
    SerialControl *serial = window.serial();
    const qsizetype rowsBefore
            = window.wireModel()->rowCount() + window.wireModel()->droppedCount();
    QElapsedTimer clock;
    clock.start();
    double due = 10;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const double now = double(clock.nsecsElapsed()) / 1e6;
        figures.timerLateMs.push_back(std::max(0.0, now - due));
        due = now + 10;
        const double posted = now;
        QMetaObject::invokeMethod(
                &window,
                [&figures, &clock, posted] {
                    figures.postedLateMs.push_back(double(clock.nsecsElapsed()) / 1e6 - posted);
                },
                Qt::QueuedConnection);
    });
    const double cpu0 = cpuSeconds();
    // The simulator answers with filler of the size asked for; bytes / 11520 s of it.
    serial->Output("*IDN?\n");
    ticker.start();
    // The main event loop as the program runs it; what arrives waits in the idle buffer.
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    ticker.stop();
    figures.bytes = serial->Input().size();
    figures.cpuPercent = (cpuSeconds() - cpu0) / (double(clock.nsecsElapsed()) / 1e9) * 100;
    window.wireModel()->flush();
    figures.entries
            = window.wireModel()->rowCount() + window.wireModel()->droppedCount() - rowsBefore;
    return figures;
}

void printStream(const char *name, const StreamFigures &f)
{
    std::printf("%-18s timer late median %.3f p99 %.3f max %.3f ms; posted event median %.3f p99 "
                "%.3f max %.3f ms; CPU %.1f %%; %lld entries, %lld bytes\n",
            name, percentile(f.timerLateMs, 0.5), percentile(f.timerLateMs, 0.99),
            percentile(f.timerLateMs, 1.0), percentile(f.postedLateMs, 0.5),
            percentile(f.postedLateMs, 0.99), percentile(f.postedLateMs, 1.0), f.cpuPercent,
            static_cast<long long>(f.entries), static_cast<long long>(f.bytes));
}

double sendBigReply(frmMain &window)
{
    WindowDriver::control<QComboBox>(&window, "combCmd")->setEditText("*IDN?");
    QElapsedTimer clock;
    clock.start();
    window.cmdSend_Click();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    // Let the batch reach the table, as it would on screen.
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    return ms;
}

void chart()
{
    LoopSeries series;
    series.setLimits(LoopSeries::DefaultMaxReadings, HistoryMemory::ShownLimit); // it is open
    LoopReading reading;
    reading.command = "MEAS?";
    for (int n = 0; n < 100000; ++n) {
        reading.ms = n * 100.0;
        reading.reply = n % 997 == 0 ? QByteArray("OVLD\r\n>")
                                     : "+"
                        + QByteArray::number(
                                std::sin(n / 3000.0) * 10 + (n % 101 == 0 ? 5 : 0), 'E', 6)
                        + "\r\n>";
        reading.value = ReadReply(reading.reply, Framing::Protocol::Off).number;
        series.append(reading);
    }
    LoopChart window(&series);
    window.resize(760, 460);
    window.show();
    QCoreApplication::processEvents();
    QTest::qWait(300);
    ChartPlot *plot = window.plot();
    std::vector<double> ours, naive;
    QImage image(plot->size(), QImage::Format_ARGB32_Premultiplied);
    for (int round = 0; round < 30; ++round) {
        QElapsedTimer clock;
        clock.start();
        plot->render(&image);
        ours.push_back(double(clock.nsecsElapsed()) / 1e6);

        // Every point as a line, the way a plot without decimation draws.
        clock.restart();
        QPainter painter(&image);
        painter.fillRect(image.rect(), Qt::white);
        QPainterPath path;
        const auto &points = series.points();
        bool pen = false;
        for (const PlotPoint &p : points) {
            if (std::isnan(p.y)) {
                pen = false;
                continue;
            }
            const QPointF at(
                    p.x / points.back().x * image.width(), (10 - p.y) / 20 * image.height());
            pen ? path.lineTo(at) : path.moveTo(at);
            pen = true;
        }
        painter.setPen(QPen(Qt::blue, 1.5));
        painter.drawPath(path);
        painter.end();
        naive.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    std::printf("chart at 100,000 points (%dx%d plot): paint median %.2f ms, p95 %.2f ms; every "
                "point drawn: median %.2f ms; ratio %.3f\n",
            plot->width(), plot->height(), percentile(ours, 0.5), percentile(ours, 0.95),
            percentile(naive, 0.5), percentile(ours, 0.5) / percentile(naive, 0.5));
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;

    {
        SimProcess sim(
                {"--baud", "115200", "--flood", QString::number(int(seconds * 11520 * 2.5))});
        if (!sim.ready()) {
            std::fprintf(stderr, "no simulator\n");
            return 1;
        }
        frmMain window;
        window.timer()->stop();
        window.show();
        window.serial()->setCommPort(1);
        if (!window.serial()->setPortOpen(true)) {
            std::fprintf(stderr, "cannot open the simulator's line\n");
            return 1;
        }
        // One stream, measured in halves: hidden, then shown, so both see the same line.
        const StreamFigures hidden = stream(window, seconds);
        window.showWireView();
        const StreamFigures shown = stream(window, seconds);
        std::printf("115200-baud stream, %.0f s each, side by side in one run:\n", seconds);
        printStream("wire view hidden", hidden);
        printStream("wire view shown", shown);
        std::printf("ratios shown/hidden: timer late p99 %.2f, posted p99 %.2f, CPU %.2f\n",
                percentile(shown.timerLateMs, 0.99)
                        / std::max(0.001, percentile(hidden.timerLateMs, 0.99)),
                percentile(shown.postedLateMs, 0.99)
                        / std::max(0.001, percentile(hidden.postedLateMs, 0.99)),
                shown.cpuPercent / std::max(0.001, hidden.cpuPercent));
    }
    {
        SimProcess sim({"--flood", QString::number(1024 * 1024)});
        frmMain window;
        window.timer()->stop();
        window.show();
        WindowDriver::initializeOn(window, 1);
        const double hiddenMs = sendBigReply(window);
        window.showWireView();
        const double shownMs = sendBigReply(window);
        window.wireModel()->flush();
        std::printf("1 MiB reply by Send: %.1f ms with the wire view hidden, %.1f ms shown "
                    "(ratio %.2f); %d rows\n",
                hiddenMs, shownMs, shownMs / hiddenMs, window.wireModel()->rowCount());
    }
    chart();
    return 0;
}
