// The IDN loop at 100 ms for a long time against a fast pseudo-terminal instrument: every
// tick's exchange must complete, the loop count must match what the instrument received, and
// the resident memory must not grow.
//
//   bench_soak [seconds]   (default 600)

#include "mainwin/frmmain.h"
#include "port/frmports.h"
#include "port/serialcontrol.h"
#include "ptyinstrument.h"
#include "ui/appearance.h"
#include "windowdriver.h"
#include "ui/bytetextbox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QPlainTextEdit>
#include <QTimer>

#include <cstdio>

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
} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ApplyQuillonAppearance();
    const int seconds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 600;

    PtyInstrument device;
    qputenv("QUILLON_COM1", device.path().c_str());
    frmMain window;
    WindowDriver::initializeOn(window, 1);
    if (!window.serial()->PortOpen())
        return 1;

    window.findChild<QAbstractButton *>("optTime_0")->click(); // 100 ms
    window.findChild<QAbstractButton *>("cmdIDNTst")->click();

    // Runs after the window's own tick handler: what did that tick leave on screen?
    const QString expected = QString::fromLatin1(kInstrumentReply).section(u'\r', 0, 0);
    long ticksSeen = 0, incomplete = 0;
    const QMetaObject::Connection checker = QObject::connect(window.timer(), &QTimer::timeout, &window, [&] {
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
    std::printf("ticks %ld, loop count %ld, *IDN? received by the device %ld (%s)\n", ticksSeen, countAtStop,
                received, countOk ? "match within 1" : "MISMATCH");
    std::printf("ticks whose exchange did not complete: %ld\n", incomplete);
    std::printf("resident memory: %ld KiB after %d s, %ld KiB at the end (%+ld KiB, %s)\n", rssAfterMinute,
                firstMark, rssEnd, rssEnd - rssAfterMinute, memoryOk ? "within 2 MB" : "GREW");
    return countOk && memoryOk && incomplete == 0 ? 0 : 1;
}
