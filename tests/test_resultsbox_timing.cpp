// Upper time bounds for long replies in the results box: on screen soon, and the window keeps
// answering while the rest fills in.

#include "processclock.h"
#include "testmain.h"
#include "windows/bytetextbox.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTextBlock>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A hex block, on one line or in lines: nowhere a line may break, the hardest case to lay out.
QString reply(qsizetype size, bool lines)
{
    QString text(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        text[i] = lines && i % 72 == 70 ? u'\r'
                : lines && i % 72 == 71 ? u'\n'
                                        : QChar(u"0123456789ABCDEF"[i % 16]);
    return text;
}

} // namespace

class ResultsBoxTimingTest : public QObject
{
    Q_OBJECT

private slots:
    void onScreenSoon_data()
    {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("lines");
        QTest::addColumn<int>("boundMs");
        QTest::newRow("1 MiB on one line") << qsizetype(1 << 20) << false << 500;
        QTest::newRow("16 MiB on one line") << qsizetype(16 << 20) << false << 5000;
        QTest::newRow("1 MiB as 70-character lines") << qsizetype(1 << 20) << true << 500;
        QTest::newRow("16 MiB as 70-character lines") << qsizetype(16 << 20) << true << 5000;
    }

    void onScreenSoon()
    {
        QFETCH(qsizetype, size);
        QFETCH(bool, lines);
        QFETCH(int, boundMs);
        const QString text = reply(size, lines);
        ByteTextBox box;
        box.resize(385, 73);
        box.show();
        QApplication::processEvents();
        QElapsedTimer clock;
        clock.start();
        box.setText(text);
        box.viewport()->repaint();
        const qint64 took = clock.elapsed();
        QVERIFY2(took <= boundMs, qPrintable(QStringLiteral("%1 ms").arg(took)));
        // What was painted is the start of the reply.
        QVERIFY(text.startsWith(box.document()->firstBlock().text()));
        QVERIFY(box.document()->firstBlock().length() > 60);
    }

    void answersWhileFilling_data()
    {
        QTest::addColumn<bool>("lines");
        QTest::newRow("16 MiB on one line") << false;
        QTest::newRow("16 MiB as 70-character lines") << true;
    }

    void answersWhileFilling()
    {
        QFETCH(bool, lines);
        const QString text = reply(16 << 20, lines);
        ByteTextBox box;
        box.resize(385, 73);
        box.show();
        QSignalSpy full(&box, &ByteTextBox::shownInFull);
        LatencyProbe probe;
        QTest::qWait(20);
        box.setText(text);
        QVERIFY(full.wait(60000));
        QTest::qWait(20);
        QVERIFY2(probe.longestMs() <= 100,
                qPrintable(QStringLiteral("%1 ms").arg(probe.longestMs())));
    }
};

QUILLON_TEST_MAIN(ResultsBoxTimingTest)
#include "test_resultsbox_timing.moc"
