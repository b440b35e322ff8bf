// Long runs against a fast pseudo-terminal instrument: the IDN loop at 100 ms, and a device that
// streams without being asked while the window is idle.

#include "line/serialcontrol.h"
#include "ptyinstrument.h"
#include "windowdriver.h"
#include "windows/appearance.h"
#include "windows/bytetextbox.h"
#include "windows/frmmain.h"
#include "windows/frmports.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace std::chrono;

namespace {
long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}
// The IDN loop at 100 ms: every tick completes, the count matches the device, memory is flat.
bool loopSoak(QApplication &app, int seconds)
{
    PtyInstrument device;
    qputenv("QUILLON_COM1", device.path().c_str());
    frmMain window;
    WindowDriver::initializeOn(window, 1);
    if (!window.serial()->PortOpen())
        return false;

    window.findChild<QAbstractButton *>("optTime_0")->click(); // 100 ms
    window.findChild<QAbstractButton *>("cmdIDNTst")->click();

    // Runs after the window's own tick handler: what did that tick leave on screen?
    const QString expected = QString::fromLatin1(kInstrumentReply).section(u'\r', 0, 0);
    long ticksSeen = 0, incomplete = 0;
    const QMetaObject::Connection checker
            = QObject::connect(window.timer(), &QTimer::timeout, &window, [&] {
                  ++ticksSeen;
                  const auto *results = window.findChild<ByteTextBox *>("txtResults");
                  const auto *error = window.findChild<QPlainTextEdit *>("txtError");
                  if (results->text() != expected || error->isVisibleTo(&window))
                      ++incomplete;
              });

    long rssAfterMinute = -1;
    const int firstMark = std::min(60, seconds / 2);
    QTimer::singleShot(firstMark * 1000, &app, [&] { rssAfterMinute = residentKiB(); });
    long countAtStop = 0;
    QTimer::singleShot(seconds * 1000, &app, [&] {
        countAtStop = window.state().LpCount;
        window.findChild<QAbstractButton *>("cmdIDNtstoff")->click();
        QObject::disconnect(checker); // idle ticks from here on are not part of the run
        QTimer::singleShot(300, &app, &QCoreApplication::quit);
    });
    app.exec();

    const long rssEnd = residentKiB();
    const long received = device.idnReceived;
    const bool countOk = std::labs(countAtStop - received) <= 1;
    const bool memoryOk = std::labs(rssEnd - rssAfterMinute) <= 2048;
    std::printf("soak: %d s of the IDN loop at 100 ms\n", seconds);
    std::printf("ticks %ld, loop count %ld, *IDN? received by the device %ld (%s)\n", ticksSeen,
            countAtStop, received, countOk ? "match within 1" : "MISMATCH");
    std::printf("ticks whose exchange did not complete: %ld\n", incomplete);
    std::printf("resident memory: %ld KiB after %d s, %ld KiB at the end (%+ld KiB, %s)\n",
            rssAfterMinute, firstMark, rssEnd, rssEnd - rssAfterMinute,
            memoryOk ? "within 2 MB" : "GREW");
    return countOk && memoryOk && incomplete == 0;
}

// A device that never stops talking while the window is idle: memory must stay flat and a
// click must still be handled at once.
bool floodSoak(QApplication &app, int seconds)
{
    PtyInstrument device;
    qputenv("QUILLON_COM1", device.path().c_str());
    frmMain window;
    WindowDriver::initializeOn(window, 1, 6); // 115200 baud, as the instrument would talk
    if (!window.serial()->PortOpen())
        return false;
    window.timer()->stop();
    const long rssBefore = residentKiB();
    device.flood = true;

    // Ten clicks a second on "Display Character Count", posted as the window system would
    // post them; the time until the box has toggled is the operator's wait.
    auto *box = window.findChild<QCheckBox *>("ckByteCnt");
    std::vector<double> clickMs;
    long posted = 0;
    steady_clock::time_point clickedAt;
    QObject::connect(box, &QCheckBox::toggled, &window, [&] {
        clickMs.push_back(duration<double, std::milli>(steady_clock::now() - clickedAt).count());
    });
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, &window, [&] {
        const QPointF at = QRectF(box->rect()).center();
        clickedAt = steady_clock::now();
        ++posted;
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
            QCoreApplication::postEvent(box,
                    new QMouseEvent(type, at, box->mapToGlobal(at), Qt::LeftButton,
                            type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                            Qt::NoModifier));
    });
    clicker.start(100);
    long peakRss = rssBefore;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, &window,
            [&] { peakRss = std::max(peakRss, residentKiB()); });
    sampler.start(500);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    device.flood = false;
    clicker.stop();
    sampler.stop();

    const long rssEnd = residentKiB();
    std::sort(clickMs.begin(), clickMs.end());
    const double worstClick = clickMs.empty() ? -1 : clickMs.back();
    const bool memoryOk = peakRss - rssBefore < 5 * 1024;
    // The last click may still be on its way when the run ends.
    const bool clicksOk = long(clickMs.size()) >= posted - 1 && worstClick >= 0 && worstClick < 50;
    std::printf(
            "flood: %d s of a device streaming while the window is idle: %.1f GB over the line\n",
            seconds, double(device.floodBytes) / 1e9);
    std::printf("resident memory: %ld KiB before, %ld KiB at the peak, %ld KiB at the end (%+ld "
                "KiB, %s)\n",
            rssBefore, peakRss, rssEnd, peakRss - rssBefore, memoryOk ? "within 5 MB" : "GREW");
    std::printf("clicks handled: %zu of %ld, median %.2f ms, worst %.2f ms (%s)\n", clickMs.size(),
            posted, clickMs.empty() ? -1.0 : clickMs[clickMs.size() / 2], worstClick,
            clicksOk ? "within 50 ms" : "TOO SLOW");
    return memoryOk && clicksOk;
}

} // namespace

//   bench_soak [loop-seconds] [flood-seconds]   (defaults 600 and 60; 0 skips a scenario)
int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    const int loopSeconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const int floodSeconds = argc > 2 ? std::atoi(argv[2]) : 60;
    bool ok = true;
    if (loopSeconds > 0)
        ok = loopSoak(app, std::max(10, loopSeconds)) && ok;
    if (floodSeconds > 0)
        ok = floodSoak(app, floodSeconds) && ok;
    return ok ? 0 : 1;
}
