// The wire view, the loop chart and the loop's CSV rows: bounded history, decoded status bits,
// decimation that keeps every spike, and a ramp from the simulator followed row by row.

#include "line/port/serialcontrol.h"
#include "line/record/loopcsv.h"
#include "line/record/wirelog.h"
#include "protocol/replyreading.h"
#include "recordedwindow.h"
#include "simprocess.h"
#include "testmain.h"
#include "timebound.h"
#include "windowdriver.h"
#include "windows/views/chartplot.h"
#include "windows/views/findinstruments.h"
#include "windows/views/loopchart.h"
#include "windows/views/loopseries.h"
#include "windows/views/sharewindow.h"
#include "windows/views/wiremodel.h"
#include "windows/views/wireview.h"

#include <QAccessible>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>

#include <cmath>
#include <limits>
#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
// AddressSanitizer's runtime has it; GCC ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

using namespace WindowDriver;

namespace {

WireEntry received(int n, qsizetype size = 1)
{
    return {double(n), 1, Transcript::Word::Recv, QByteArray(size, char('a' + n % 26))};
}

double nan()
{
    return std::numeric_limits<double>::quiet_NaN();
}

// Where every control of the main window is and what it says: a view must change none of it.
QStringList controlsOf(QWidget *window)
{
    QStringList all;
    for (QWidget *child : window->findChildren<QWidget *>()) {
        if (child->window() != window || child->objectName().isEmpty())
            continue;
        auto *button = qobject_cast<QAbstractButton *>(child);
        all << QStringLiteral("%1 %2,%3 %4x%5 %6 %7 %8")
                        .arg(child->objectName())
                        .arg(child->x())
                        .arg(child->y())
                        .arg(child->width())
                        .arg(child->height())
                        .arg(child->isEnabled())
                        .arg(child->isVisibleTo(window))
                        .arg(button ? button->text() + QString::number(button->isChecked())
                                    : QString());
    }
    return all;
}

} // namespace

class ViewsTest : public QObject
{
    Q_OBJECT

private slots:
    void wireHistoryIsBounded_data()
    {
        QTest::addColumn<int>("maxEntries");
        QTest::addColumn<int>("maxMemory");
        QTest::addColumn<int>("added");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("flushEvery"); // entries between batches; 0: one batch at the end
        QTest::addColumn<int>("rows");
        QTest::newRow("under the bound") << 100 << 1000000 << 20 << 1 << 0 << 20;
        QTest::newRow("count, one batch") << 100 << 1000000 << 250 << 1 << 0 << 100;
        QTest::newRow("count, many batches") << 100 << 1000000 << 250 << 1 << 7 << 100;
        QTest::newRow("burst of twice the bound") << 100 << 1000000 << 1000 << 1 << 0 << 100;
        // Eight entries of 100,000 bytes fit in what entries may count; the ninth drops two.
        QTest::newRow("memory") << 1000 << 1000000 << 50 << 100000 << 3 << 8;
        QTest::newRow("one chunk over the memory stays") << 1000 << 1000 << 3 << 5000 << 0 << 1;
        QTest::newRow("default count bound")
                << int(WireModel::DefaultMaxEntries) << 64 * 1024 * 1024 << 100100 << 1 << 0
                << int(WireModel::DefaultMaxEntries);
    }

    void wireHistoryIsBounded()
    {
        QFETCH(int, maxEntries);
        QFETCH(int, maxMemory);
        QFETCH(int, added);
        QFETCH(int, size);
        QFETCH(int, flushEvery);
        QFETCH(int, rows);
        WireModel model;
        model.setLimits(maxEntries, maxMemory);
        model.setShown(true); // as by a view: batches come on the timer
        QSignalSpy batches(&model, &WireModel::batchAdded);
        for (int n = 0; n < added; ++n) {
            model.add(received(n, size));
            if (flushEvery > 0 && n % flushEvery == flushEvery - 1)
                model.flush();
        }
        // Nothing reaches the table before its batch is due, unless the batch outgrew a bound.
        if (flushEvery == 0 && added <= 2 * maxEntries && qint64(added) * size < maxMemory / 2)
            QCOMPARE(model.rowCount(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(
                model.rowCount() == rows && model.droppedCount() == added - rows, 2000);
        // The newest are the ones kept, in order.
        QCOMPARE(model.index(rows - 1, WireModel::TimeColumn).data().toString(),
                QString::number((added - 1) / 1000.0, 'f', 3));
        QCOMPARE(model.index(0, WireModel::TimeColumn).data().toString(),
                QString::number((added - rows) / 1000.0, 'f', 3));
        QVERIFY(!batches.isEmpty());
        QCOMPARE(batches.last().at(1).value<qsizetype>(), qsizetype(added - rows));
    }

    void unseenHistoryReachesTheTableWhenAViewOpens()
    {
        WireModel model;
        model.add(received(0));
        QTest::qWait(3 * WireModel::BatchMs); // no batch is timed while nobody looks
        QCOMPARE(model.rowCount(), 0);
        WireView view(&model);
        view.show();
        QCOMPARE(model.rowCount(), 1);
    }

    void wireViewSaysWhatWasDropped()
    {
        WireModel model;
        model.setLimits(10, 1000000);
        WireView view(&model);
        for (int n = 0; n < 25; ++n)
            model.add(received(n));
        model.flush();
        const QLabel *counts = view.findChild<QLabel *>();
        QVERIFY(counts);
        QCOMPARE(counts->text(),
                QStringLiteral("10 entries; 15 older entries dropped (the newest 10 are kept)"));
        QVERIFY(view.accessibleName().contains("Wire"));
    }

    void recorderOutlivesTheWindow()
    {
        LineRecorder recorder;
        {
            frmMain w(&recorder);
            w.timer()->stop();
            recorder.note(1, Transcript::Word::Open, "x");
            w.wireModel()->flush();
            QCOMPARE(w.wireModel()->rowCount(), 1);
        }
        // The window's model is gone; the recorder is still told.
        recorder.note(1, Transcript::Word::Close, "x");
        recorder.received(1, "late");
    }

    void statusBitsOnTheRowThatCompletesTheReply()
    {
        WireModel model;
        model.add({0, 2, Transcript::Word::Sent, "*ESR?\n"});
        model.add({1, 1, Transcript::Word::Recv, "32\r\n>"}); // another port
        model.add({2, 2, Transcript::Word::Recv, "3"});
        model.add({3, 2, Transcript::Word::Recv, "2\r\n>"});
        model.add({4, 2, Transcript::Word::Sent, "*IDN?\n"});
        model.add({5, 2, Transcript::Word::Recv, "32\r\n>"});
        model.flush();
        QStringList status;
        for (int row = 0; row < model.rowCount(); ++row)
            status << model.index(row, WireModel::StatusColumn).data().toString();
        QCOMPARE(status, QStringList({"", "", "", "32 = command error (CME)", "", ""}));
        QVERIFY(model.entryLine(3).endsWith("[32 = command error (CME)]"));
    }

    void bigChunkIsShortenedOnScreenButCopiedWhole()
    {
        WireModel model;
        WireView view(&model);
        QByteArray big(1024 * 1024, 'A');
        big += "\r\n";
        model.add({0, 1, Transcript::Word::Sent, "*IDN?\n"});
        model.add({1, 1, Transcript::Word::Recv, big});
        model.add({2, 1, Transcript::Word::Lost, "COM 1 is gone"});
        model.flush();
        const QString hex = model.index(1, WireModel::HexColumn).data().toString();
        QVERIFY(hex.size() < 1000);
        QVERIFY(hex.endsWith(
                QStringLiteral("(%1 bytes more)").arg(big.size() - WireModel::ShownBytes)));
        QCOMPARE(model.index(1, WireModel::SizeColumn).data().toInt(), big.size());
        QCOMPARE(model.index(2, WireModel::TextColumn).data().toString(),
                QStringLiteral("COM 1 is gone"));

        view.table()->selectRow(2);
        view.table()->selectionModel()->select(
                model.index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        const QStringList lines = view.selectedText().split('\n');
        QCOMPARE(lines.size(), 2);
        // Oldest first, whatever the order of selection; the whole megabyte, as the file has it.
        QVERIFY(lines[0].contains(" COM1 recv 1048578 bytes: 41 41"));
        QCOMPARE(lines[0], QString::fromLatin1(WireLog::line(1, 1, "recv", WireLog::chunk(big))));
        QVERIFY(lines[1].endsWith(" COM1 lost COM 1 is gone"));
        // Ctrl+C in the table copies the same.
        QApplication::clipboard()->clear();
        view.show();
        view.table()->setFocus();
        QTest::keyClick(view.table(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), lines.join('\n') + '\n');
    }

    void decimationKeepsEverySpike()
    {
        // 100,000 points of a slow wave with one-sample spikes, and gaps.
        std::vector<PlotPoint> points;
        for (int i = 0; i < 100000; ++i) {
            double y = std::sin(i / 5000.0);
            if (i % 9973 == 0)
                y = 50 + i / 10000.0;
            if (i % 12007 == 5)
                y = nan();
            points.push_back({double(i), y});
        }
        const int width = 613;
        const auto columns = DecimateToColumns(points, 0, 99999, width);
        QCOMPARE(int(columns.size()), width);
        std::vector<double> low(width, INFINITY), high(width, -INFINITY);
        for (const PlotPoint &p : points) {
            if (std::isnan(p.y))
                continue;
            const int c = std::min(width - 1, int(p.x / 99999.0 * width));
            low[c] = std::min(low[c], p.y);
            high[c] = std::max(high[c], p.y);
        }
        for (int c = 0; c < width; ++c) {
            QVERIFY(columns[c].present);
            QCOMPARE(columns[c].min, low[c]);
            QCOMPARE(columns[c].max, high[c]);
        }
    }

    void decimationBreaksAtGaps_data()
    {
        QTest::addColumn<QList<double>>("ys"); // at x = 0, 1, 2, ...; NaN is no number
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("columns"); // per column: '.' empty, 'j' joins, 's' starts
        QTest::newRow("line") << QList<double>{1, 2, 3, 4} << 4 << "sjjj";
        QTest::newRow("gap") << QList<double>{1, nan(), 3, 4} << 4 << "s.sj";
        QTest::newRow("two gaps") << QList<double>{1, nan(), nan(), 4} << 4 << "s..s";
        QTest::newRow("gap inside a column") << QList<double>{1, nan(), 2, 3, 4, 5} << 2 << "sj";
        QTest::newRow("gap before a column") << QList<double>{1, 2, nan(), 4} << 2 << "ss";
        QTest::newRow("nothing") << QList<double>{nan(), nan()} << 2 << "..";
        QTest::newRow("one point") << QList<double>{7} << 3 << "s..";
    }

    void decimationBreaksAtGaps()
    {
        QFETCH(QList<double>, ys);
        QFETCH(int, width);
        QFETCH(QString, columns);
        std::vector<PlotPoint> points;
        for (int i = 0; i < ys.size(); ++i)
            points.push_back({double(i), ys[i]});
        const auto got = DecimateToColumns(points, 0, qMax(1.0, double(ys.size() - 1)), width);
        QString shape;
        for (const PlotColumn &c : got)
            shape += !c.present ? '.' : c.joinsPrevious ? 'j' : 's';
        QCOMPARE(shape, columns);
    }

    void seriesFiguresAndBound()
    {
        LoopSeries series;
        series.setMaxReadings(100);
        LoopReading r;
        for (int n = 1; n <= 150; ++n) {
            r.ms = n;
            r.value = n % 10 == 0 ? std::optional<double>() : std::optional<double>(n);
            series.append(r);
        }
        // Past 100 the oldest tenth went at once: 11..150 stay.
        QCOMPARE(series.droppedCount(), qsizetype(10) * 5);
        QCOMPARE(qsizetype(series.readings().size()), qsizetype(100));
        const LoopStats &s = series.stats();
        QCOMPARE(s.points, qsizetype(100));
        QCOMPARE(s.notNumbers, qsizetype(10));
        QCOMPARE(s.min, 51.0);
        QCOMPARE(s.max, 149.0);
        QCOMPARE(s.last, 149.0);
        double sum = 0;
        for (int n = 51; n <= 150; ++n)
            sum += n % 10 == 0 ? 0 : n;
        QCOMPARE(s.mean(), sum / 90);
        QVERIFY(std::isnan(series.points()[9].y)); // reply 60: no number, a gap
    }

    // The memory a history keeps, as the allocator sees it, until its window is first opened.
    void historiesKeepTheirMemoryBound_data()
    {
        QTest::addColumn<bool>("chart");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("block"); // the chunk comes in a block this large, as a read hands it
        QTest::addColumn<int>("count");
        // Faults caught: a byte count took a 1-byte chunk for 1 byte, not the hundred it costs,
        // and a chunk read off a port for its size, not the 32 KiB block it came in.
        QTest::newRow("wire, tiny chunks") << false << 1 << 1 << 300000;
        QTest::newRow("wire, chunks in large blocks") << false << 4095 << 32752 << 3000;
        QTest::newRow("chart, tiny replies") << true << 1 << 1 << 300000;
        QTest::newRow("chart, replies in large blocks") << true << 400 << 4096 << 30000;
    }

    void historiesKeepTheirMemoryBound()
    {
        QFETCH(bool, chart);
        QFETCH(int, size);
        QFETCH(int, block);
        QFETCH(int, count);
        // AddressSanitizer keeps its own heap, which glibc's figures do not see.
        const auto heapInUse = [] {
#ifdef __SANITIZE_ADDRESS__
            return qint64(__sanitizer_get_current_allocated_bytes());
#else
            return qint64(mallinfo2().uordblks + mallinfo2().hblkhd);
#endif
        };
        const qint64 before = heapInUse();
        WireModel model;
        LoopSeries series;
        for (int n = 0; n < count; ++n) {
            QByteArray bytes;
            bytes.reserve(block);
            bytes.append(size, 'x');
            if (chart)
                series.append({{}, double(n), 1, "MEAS?", bytes, {}, {}, {}});
            else
                model.add({double(n), 1, Transcript::Word::Recv, bytes});
        }
        model.flush();
        const qint64 kept = heapInUse() - before;
        qInfo("%lld bytes kept", kept);
        QVERIFY2(kept <= 8 * 1024 * 1024 && kept > 4 * 1024 * 1024,
                qPrintable(QString::number(kept)));
        QVERIFY(chart ? series.droppedCount() > 0 : model.droppedCount() > 0);
    }

    void chartPausesEveryWay_data()
    {
        QTest::addColumn<QString>("way");
        for (const char *way : {"mouse", "space", "accessibility", "code"})
            QTest::newRow(way) << way;
    }

    void chartPausesEveryWay()
    {
        QFETCH(QString, way);
        LoopSeries series;
        LoopChart chart(&series);
        chart.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chart));
        QVERIFY(chart.accessibleName().contains("Chart"));
        LoopReading r;
        r.value = 1.0;
        series.append(r);
        QTRY_VERIFY(chart.figuresText().startsWith("Last 1 "));
        QPushButton *pause = nullptr;
        for (auto *button : chart.findChildren<QPushButton *>())
            if (button->text() == "&Pause")
                pause = button;
        QVERIFY(pause);
        if (way == "mouse") {
            QTest::mouseClick(pause, Qt::LeftButton);
        } else if (way == "space") {
            pause->setFocus();
            QTest::keyClick(pause, Qt::Key_Space);
        } else if (way == "accessibility") {
            QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(pause);
            QVERIFY(accessible && accessible->actionInterface());
            accessible->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        } else {
            chart.setPaused(true);
        }
        QVERIFY(chart.paused());
        QVERIFY(pause->isChecked());
        r.value = 2.0;
        series.append(r);
        QTest::qWait(250);
        QVERIFY2(
                chart.figuresText().startsWith("Last 1 ") && chart.figuresText().endsWith("Paused"),
                qPrintable(chart.figuresText()));
        // Kept while paused: it shows on resuming, and saving takes everything.
        chart.setPaused(false);
        QVERIFY(!pause->isChecked());
        QVERIFY(chart.figuresText().startsWith("Last 2 "));
    }

    void chartSavesCsvAndPng()
    {
        LoopSeries series;
        series.setLimits(LoopSeries::DefaultMaxReadings, 64 * 1024 * 1024); // the chart is open
        LoopChart chart(&series);
        chart.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chart));
        LoopReading r;
        r.at = QDateTime::currentMSecsSinceEpoch();
        r.command = "MEAS?";
        for (int n = 0; n < 100000; ++n) {
            r.ms = n * 10.0;
            r.reply = n % 1000 == 999 ? QByteArray("OVLD\r\n>") : QByteArray::number(n) + "\r\n>";
            r.value = ReadReply(r.reply, Framing::Protocol::Off).number;
            series.append(r);
        }
        QTemporaryDir dir;
        QVERIFY(chart.saveCsv(dir.filePath("l.csv")));
        QFile csv(dir.filePath("l.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QByteArray all = csv.readAll();
        QVERIFY(all.startsWith(LoopCsv::header()));
        QCOMPARE(all.count("\\r\\n>\"\r\n"), 100000);
        QCOMPARE(all.count(",,\"OVLD\\r\\n>\"\r\n"), 100);
        QVERIFY(chart.savePng(dir.filePath("l.png")));
        QImage image(dir.filePath("l.png"));
        QVERIFY(!image.isNull());
        QVERIFY(image.width() >= chart.plot()->width());
        QString error;
        QVERIFY(!chart.saveCsv(dir.filePath("no/such/l.csv"), &error));
        QVERIFY(!error.isEmpty());
    }

    void viewsOpenEveryWayAndTouchNoControl_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<QString>("view");
        for (const char *way :
                {"right click", "menu key", "shift f10", "accessibility", "shortcut", "code"}) {
            QTest::addRow("wire, %s", way) << way << "wire";
            QTest::addRow("chart, %s", way) << way << "chart";
            QTest::addRow("find, %s", way) << way << "find";
            QTest::addRow("share, %s", way) << way << "share";
        }
    }

    void viewsOpenEveryWayAndTouchNoControl()
    {
        QFETCH(QString, way);
        QFETCH(QString, view);
        frmMain w;
        w.timer()->stop();
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QStringList before = controlsOf(&w);
        QWidget *focusOn = control(&w, "cmdInit");
        focusOn->setFocus();
        QTRY_VERIFY(focusOn->hasFocus());
        const QMap<QString, Qt::Key> key = {{"wire", Qt::Key_W}, {"chart", Qt::Key_C},
                {"find", Qt::Key_F}, {"share", Qt::Key_S}};
        // A menu runs its own loop: its entry is chosen from inside it, with the keyboard.
        auto chooseFromMenu = [&] {
            QTimer::singleShot(50, [letter = key[view]] {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                QVERIFY(menu);
                QStringList texts;
                for (QAction *action : menu->actions())
                    texts << action->text();
                QCOMPARE(texts,
                        QStringList({"&Wire View", "Loop &Chart", "&Find Instruments…",
                                "&Share on the Network…"}));
                QTest::keyClick(menu, letter);
            });
        };
        if (way == "right click") {
            chooseFromMenu();
            QContextMenuEvent event(
                    QContextMenuEvent::Mouse, QPoint(20, 300), w.mapToGlobal(QPoint(20, 300)));
            QApplication::sendEvent(&w, &event);
        } else if (way == "menu key") {
            chooseFromMenu();
            QTest::keyClick(focusOn, Qt::Key_Menu);
        } else if (way == "accessibility") {
            // Fault caught: the open menu was on screen but on no path from the window.
            QTimer::singleShot(50, [&w, view] {
                QAccessibleInterface *window = QAccessible::queryAccessibleInterface(&w);
                QAccessibleInterface *menu = window->child(window->childCount() - 1);
                QVERIFY(menu && menu->role() == QAccessible::PopupMenu);
                QCOMPARE(menu->text(QAccessible::Name), QStringLiteral("Views"));
                QCOMPARE(window->indexOfChild(menu), window->childCount() - 1);
                const QMap<QString, QString> names
                        = {{"wire", "Wire View"}, {"chart", "Loop Chart"},
                                {"find", "Find Instruments…"}, {"share", "Share on the Network…"}};
                for (int i = 0; i < menu->childCount(); ++i)
                    if (menu->child(i)->text(QAccessible::Name) == names[view])
                        menu->child(i)->actionInterface()->doAction(
                                QAccessibleActionInterface::pressAction());
            });
            QTest::keyClick(focusOn, Qt::Key_Menu);
        } else if (way == "shift f10") {
            chooseFromMenu();
            QTest::keyClick(focusOn, Qt::Key_F10, Qt::ShiftModifier);
        } else if (way == "shortcut") {
            QTest::keyClick(focusOn, key[view], Qt::ControlModifier | Qt::ShiftModifier);
        } else {
            if (view == "share")
                w.showShareWindow();
            else
                view == "chart" ? w.showLoopChart()
                                : (view == "wire" ? w.showWireView() : w.showFindInstruments());
        }
        const auto opened = [&w](const QString &name) -> QWidget * {
            if (name == "wire")
                return w.wireView();
            if (name == "share")
                return w.shareWindow();
            return name == "chart" ? static_cast<QWidget *>(w.loopChart()) : w.findInstruments();
        };
        const QMap<QString, QString> titles = {{"wire", "Wire View"}, {"chart", "Loop Chart"},
                {"find", "Find Instruments"}, {"share", "Share on the Network"}};
        QTRY_VERIFY2(opened(view) && opened(view)->isVisible(), qPrintable(way));
        QVERIFY(opened(view)->windowTitle().contains(titles[view]));
        for (const QString &other : titles.keys())
            QCOMPARE(opened(other) != nullptr, other == view);
        QCOMPARE(controlsOf(&w), before);
    }

    // Only `line` checked, found, and the window left to the test once the scan has ended.
    static FindInstruments *findOn(frmMain &w, const QString &line)
    {
        w.showFindInstruments();
        FindInstruments *find = w.findInstruments();
        for (int row = 0; row < find->targetList()->count(); ++row) {
            QListWidgetItem *item = find->targetList()->item(row);
            item->setCheckState(item->text() == line ? Qt::Checked : Qt::Unchecked);
        }
        click(find, "find");
        return find;
    }

    // Use on the row of the instrument at address 7, as COM 3: the port window's baud option
    // and COM button, the main window's framing, address and line end, each as a click leaves
    // them. The interface ends messages at CR alone: the window's LF would reach nobody.
    void findInstrumentsUsesTheClickHandlers()
    {
        SimProcess sim({"--address", "3,7,12", "--line-baud", "19200", "--cr-only"}, 2);
        QVERIFY(sim.ready());
        frmMain w;
        w.timer()->stop();
        FindInstruments *find = findOn(w, sim.path());
        QTRY_VERIFY_WITH_TIMEOUT(!find->running(), 30000);
        QTableWidget *table = find->table();
        int row = 0;
        while (row < table->rowCount()
                && (table->item(row, FindInstruments::FramingColumn)->text() != "Addr"
                        || table->item(row, FindInstruments::AddressColumn)->text() != "7"))
            ++row;
        QVERIFY(row < table->rowCount());
        QCOMPARE(table->item(row, FindInstruments::IdentityColumn)->text(),
                "VELK,QSIM-488,QS0007,1.0");
        QCOMPARE(table->item(row, FindInstruments::TerminatorColumn)->text(), "CR");
        table->selectRow(row);
        control<QComboBox>(find, "useAs")->setCurrentIndex(2);
        click(find, "use");

        QVERIFY(w.serial()->PortOpen());
        QCOMPARE(w.serial()->CommPort(), 3);
        QCOMPARE(DevicePathForComPort(3), sim.path());
        QCOMPARE(w.serial()->Settings(), "19200,N,8,1");
        QVERIFY(control<QAbstractButton>(w.portsWindow(), "optBaud_3")->isChecked());
        QVERIFY(control<QAbstractButton>(&w, "optProt_1")->isChecked());
        QVERIFY(control<QAbstractButton>(&w, "ckCR")->isChecked());
        QVERIFY(!control<QAbstractButton>(&w, "ckLF")->isChecked());
        QCOMPARE(w.state().devAddr(), "7");
        QVERIFY(w.state().AddrSetFlg);
        QCOMPARE(resultsText(&w), "Device address set to 7");
        control<QComboBox>(&w, "combCmd")->setEditText("*IDN?");
        click(&w, "cmdSend");
        QTRY_COMPARE(resultsText(&w), "VELK,QSIM-488,QS0007,1.0");
        SetComPortOverride(3, QString());
        qunsetenv("QUILLON_COM2");
    }

    // The window's line served from Find Instruments' rows: a pyvisa-py client on a raw socket
    // is listed while it asks, and the operator's Send goes on afterwards.
    void shareWindowServesTheFoundInstruments()
    {
        SimProcess sim({"--address", "3,7,12", "--line-baud", "19200"}, 2);
        QVERIFY(sim.ready());
        frmMain w;
        w.timer()->stop();
        FindInstruments *find = findOn(w, sim.path());
        QTRY_VERIFY_WITH_TIMEOUT(!find->running(), 30000);
        find->table()->selectRow(0);
        control<QComboBox>(find, "useAs")->setCurrentIndex(2);
        click(find, "use");
        QVERIFY(w.serial()->PortOpen());
        w.showShareWindow();
        ShareWindow *share = w.shareWindow();
        QVERIFY(share);
        click(share, "take");
        QCOMPARE(share->devicesBox()->text(), "plain packet:3 packet:7 packet:12");
        click(share, "start");
        QVERIFY(share->serving());
        const QStringList resources = share->resourceBox()->toPlainText().split('\n');
        QCOMPARE(resources.size(), 8);
        QProcess client;
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start("/usr/bin/python3",
                {QUILLON_SOURCE_DIR "/tests/share/visa_client.py", "ask", "300", resources.at(5)});
        QTRY_VERIFY_WITH_TIMEOUT(share->clientTable()->rowCount() == 1
                        && share->clientTable()->item(0, 4)->text().toInt() > 0,
                20000);
        QCOMPARE(share->clientTable()->item(0, 1)->text(), "SOCKET");
        QCOMPARE(share->clientTable()->item(0, 2)->text(), "gpib0,7");
        QCOMPARE(share->clientTable()->item(0, 5)->text(), "*IDN?");
        // Served by this thread's event loop: waited for with it running.
        QTRY_VERIFY_WITH_TIMEOUT(client.state() == QProcess::NotRunning, 30000);
        QCOMPARE(client.readAllStandardOutput(),
                resources.at(5).toLatin1() + " " + QByteArray("VELK,QSIM-488,QS0007,1.0").toHex()
                        + " 300\n");
        QTRY_COMPARE(share->clientTable()->rowCount(), 0);
        control<QComboBox>(&w, "combCmd")->setEditText("*IDN?");
        click(&w, "cmdSend");
        QTRY_COMPARE(resultsText(&w), "VELK,QSIM-488,QS0003,1.0");
        SetComPortOverride(3, QString());
        qunsetenv("QUILLON_COM2");
    }

    // A device that never answers keeps a scan at its longest; Cancel ends it at once, every
    // line it had open closed.
    void findInstrumentsCancelsAtOnce()
    {
        SimProcess silent({"--silent"}, 2);
        QVERIFY(silent.ready());
        frmMain w;
        w.timer()->stop();
        const auto holdsTheLine = [&silent] {
            const auto open
                    = QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::NoDotAndDotDot);
            return std::any_of(open.cbegin(), open.cend(),
                    [&](const QFileInfo &fd) { return fd.symLinkTarget() == silent.path(); });
        };
        FindInstruments *find = findOn(w, silent.path());
        QTest::qWait(300);
        QVERIFY(find->running() && holdsTheLine());
        QElapsedTimer clock;
        clock.start();
        click(find, "cancel");
        QTRY_VERIFY(!find->running() && !holdsTheLine());
        QVERIFY_IN_TIME(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        qunsetenv("QUILLON_COM2");
    }

    // The loop against the simulator's ramp: one row per tick, each with its value, the
    // overloads empty with their words kept. The CSV follows the recorder as in main().
    void csvFollowsTheSimulatorsRamp()
    {
        SimProcess sim({"--ramp", "--overload-every", "4"});
        QVERIFY(sim.ready());
        RecordedWindow recorded;
        QVERIFY(recorded.start());
        frmMain &w = recorded.window();
        initializeOn(w, 1);
        QVERIFY(w.serial()->PortOpen());
        select(&w, "optTime_0", SelectBy::Code); // 100 ms
        control<QComboBox>(&w, "combCmd")->setEditText("MEAS?");
        // A reply read outside the loop is not the loop's.
        w.cmdSend_Click();
        QCOMPARE(w.loopSeries()->readings().size(), size_t(0));
        click(&w, "cmdCmdtst");
        QTRY_VERIFY_WITH_TIMEOUT(w.loops().LpCount() >= 12, 20000);
        const qint64 ticks = w.loops().LpCount();
        click(&w, "cmdCmdtstoff");

        QList<QByteArray> rows = recorded.csvText().split('\n');
        QCOMPARE(rows.takeFirst(), LoopCsv::header().chopped(1));
        QCOMPARE(rows.takeLast(), QByteArray());
        // Fault caught: each reply's CR LF inside its quotes made two lines of a row.
        QCOMPARE(rows.size(), int(ticks));
        double lastMs = -1;
        for (int tick = 1; tick <= ticks; ++tick) {
            const QList<QByteArray> row = rows[tick - 1].split(',');
            QCOMPARE(row.size(), 7);
            QVERIFY(QDateTime::fromString(QString::fromLatin1(row[0]), Qt::ISODateWithMs)
                            .isValid());
            const double ms = row[1].toDouble();
            QVERIFY(ms > lastMs);
            lastMs = ms;
            QCOMPARE(row[2], QByteArray("COM1"));
            QCOMPARE(row[3], QByteArray("\"MEAS?\""));
            // The second query of the run is the loop's first: the Send above had the first.
            const int n = tick + 1;
            const QByteArray shown
                    = n % 4 == 0 ? QByteArray("OVLD") : "+" + QByteArray::number(double(n), 'E', 6);
            QCOMPARE(row[4], '"' + shown + '"');
            QCOMPARE(row[5], n % 4 == 0 ? QByteArray() : QByteArray::number(n));
            QCOMPARE(row[6], '"' + shown + "\\r\\n>\"\r");
        }
        // The chart holds the same.
        QCOMPARE(qint64(w.loopSeries()->stats().points), ticks);
    }
};

QUILLON_TEST_MAIN(ViewsTest)
#include "test_views.moc"
