// The record of the line without a line: the recorder, the transcript and the CSV file, each
// written as a crash, a full disk or a hostile name would find it.

#include "line/record/linerecorder.h"
#include "line/record/loopcsv.h"
#include "line/record/wirelog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

class RecordTest : public QObject
{
    Q_OBJECT

private slots:
    void transcriptIsWatchedWithOrWithoutFile()
    {
        QTemporaryDir dir;
        for (const bool withFile : {false, true}) {
            LineRecorder line;
            WireLog log(&line);
            if (withFile)
                QVERIFY(log.open(dir.filePath("w.log")));
            QList<WireEntry> seen;
            connect(&line, &LineRecorder::recorded, this,
                    [&seen](const WireEntry &e) { seen << e; });
            line.note(3, Transcript::Word::Open, "/dev/pts/9 at 9600,N,8,1");
            line.sent(3, "*ESR?\n");
            line.received(3, QByteArray("3\0", 2));
            line.note(3, Transcript::Word::Lost, "gone");
            QCOMPARE(seen.size(), 4);
            QCOMPARE(seen[0].word, Transcript::Word::Open);
            QCOMPARE(seen[0].bytes, QByteArray("/dev/pts/9 at 9600,N,8,1"));
            QCOMPARE(seen[1].word, Transcript::Word::Sent);
            QCOMPARE(seen[1].bytes, QByteArray("*ESR?\n"));
            QCOMPARE(seen[2].word, Transcript::Word::Recv);
            QCOMPARE(seen[2].bytes, QByteArray("3\0", 2));
            QCOMPARE(seen[3].word, Transcript::Word::Lost);
            for (const WireEntry &entry : seen)
                QCOMPARE(entry.comPort, 3);
            QVERIFY(seen[0].ms >= 0 && seen[0].ms <= seen[3].ms);
            if (withFile) {
                QFile file(dir.filePath("w.log"));
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QList<QByteArray> lines = file.readAll().split('\n');
                QCOMPARE(lines.size(), 6);
                QVERIFY(lines[3].endsWith(" COM3 recv 2 bytes: 33 00  \"3\\x00\""));
            }
        }
    }

    void csvRows_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("shown"); // in the results box
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        QTest::addColumn<QByteArray>("row");
        const QByteArray start = "2026-03-04T05:06:07.089,1234.500,COM2,";
        QTest::newRow("number") << "MEAS?" << QByteArray("+1.5E+00\r\n>") << QByteArray("+1.5E+00")
                                << true << 1.5
                                << start + "\"MEAS?\",\"+1.5E+00\",1.5,\"+1.5E+00\\r\\n>\"\r\n";
        QTest::newRow("no number")
                << "MEAS?" << QByteArray("OVLD\r\n>") << QByteArray("OVLD") << false << 0.0
                << start + "\"MEAS?\",\"OVLD\",,\"OVLD\\r\\n>\"\r\n";
        QTest::newRow("quotes doubled")
                << "SAY \"hi\"" << QByteArray("\"a,b\"") << QByteArray("\"a,b\"") << false << 0.0
                << start + "\"SAY \"\"hi\"\"\",\"\"\"a,b\"\"\",,\"\\\"\"a,b\\\"\"\"\r\n";
        QTest::newRow("shortest exact value")
                << "V?" << QByteArray("0.1") << QByteArray("0.1") << true << 0.1
                << start + "\"V?\",\"0.1\",0.1,\"0.1\"\r\n";
        QTest::newRow("tiny value")
                << "V?" << QByteArray("+1.234E-30") << QByteArray("+1.234E-30") << true << 1.234e-30
                << start + "\"V?\",\"+1.234E-30\",1.234e-30,\"+1.234E-30\"\r\n";
        // Shown: Latin-1 in, UTF-8 out; the bytes as the transcript writes them.
        QTest::newRow("high and control bytes")
                << "X?" << QByteArray("\x02\xE9\xFF") << QByteArray("\xE9\xFF") << false << 0.0
                << start + "\"X?\",\"\xC3\xA9\xC3\xBF\",,\"\\x02\\xE9\\xFF\"\r\n";
        // A spreadsheet row is one line, whatever the reply holds.
        QTest::newRow("lines of the box joined")
                << "ERR?" << QByteArray("1\r\n2\r3\n>") << QByteArray("1\r\n2\r3") << false << 0.0
                << start + "\"ERR?\",\"1 | 2 | 3\",,\"1\\r\\n2\\r3\\n>\"\r\n";
    }

    void csvRows()
    {
        QFETCH(QString, command);
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, shown);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        QFETCH(QByteArray, row);
        LoopReading reading;
        reading.at = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7, 89)).toMSecsSinceEpoch();
        reading.ms = 1234.5;
        reading.comPort = 2;
        reading.command = command;
        reading.reply = reply;
        reading.shown = shown;
        if (isNumber)
            reading.value = value;
        QCOMPARE(LoopCsv::row(reading), row);
    }

    void csvFileIsCompleteAfterEveryRow()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("loop.csv");
        LoopCsv csv;
        QVERIFY(csv.open(path));
        LoopReading reading;
        reading.at = QDateTime::currentMSecsSinceEpoch();
        reading.command = "MEAS?";
        for (int n = 1; n <= 3; ++n) {
            reading.reply = QByteArray::number(n);
            reading.shown = reading.reply;
            reading.value = n;
            QVERIFY(csv.append(reading));
            // Read while the writer is still open: nothing waits in a buffer of ours.
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray all = file.readAll();
            QVERIFY(all.startsWith(LoopCsv::header()));
            QCOMPARE(all.count('\n'), n + 1);
            QVERIFY(all.endsWith(",\"" + QByteArray::number(n) + "\"," + QByteArray::number(n)
                    + ",\"" + QByteArray::number(n) + "\"\r\n"));
        }
        LoopCsv refused;
        QVERIFY(!refused.open(dir.filePath("no/such/dir/loop.csv")));
        QVERIFY(!refused.errorString().isEmpty());
        QVERIFY(!refused.append(reading));
    }

    void transcriptShowsEveryByteValue()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += char(b);
        const QByteArray hex = WireLog::hex(all);
        QCOMPARE(QByteArray::fromHex(hex), all);
        QVERIFY(hex.startsWith("00 01 02") && hex.endsWith("FE FF"));
        const QByteArray text = WireLog::escaped(all);
        QVERIFY(text.startsWith("\"\\x00\\x01"));
        QVERIFY(text.contains("\\t\\n\\x0B\\x0C\\r"));
        QVERIFY(text.contains(" !\\\"#") && text.contains("[\\\\]"));
        QVERIFY(text.contains("}~\\x7F\\x80"));
        QVERIFY(text.endsWith("\\xFE\\xFF\""));
        // Nothing outside printable ASCII reaches the file, so the line stays one line.
        for (const char c : text)
            QVERIFY(c >= 0x20 && c < 0x7F);
        QCOMPARE(WireLog::line(1234.5, 2, "sent", "x"), QByteArray("    1234.500 COM2 sent x"));
    }

    void transcriptGoesOnlyToARegularFile_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("pipe without a reader") << "fifo"
                                               << "named pipe (FIFO)";
        QTest::newRow("link to a file") << "link"
                                        << "symbolic link";
        QTest::newRow("link to nothing yet") << "dangling"
                                             << "symbolic link";
        QTest::newRow("directory") << "directory"
                                   << "directory";
        QTest::newRow("device") << "device"
                                << "device";
    }

    void transcriptGoesOnlyToARegularFile()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QString path = dir.filePath("wire.log");
        const QString kept = dir.filePath("kept");
        {
            QFile file(kept);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("precious");
        }
        const QByteArray name = QFile::encodeName(path);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(name.constData(), 0600), 0);
        else if (kind == "link")
            QVERIFY(QFile::link(kept, path));
        else if (kind == "dangling")
            QVERIFY(QFile::link(dir.filePath("absent"), path));
        else if (kind == "directory")
            QVERIFY(QDir(dir.path()).mkdir("wire.log"));
        else
            path = "/dev/null";
        QElapsedTimer clock;
        clock.start();
        WireLog log;
        QVERIFY(!log.open(path));
        QVERIFY(clock.elapsed() < 2000); // a pipe with no reader must not hold the start
        QVERIFY2(log.errorString().contains(reason), qPrintable(log.errorString()));
        QVERIFY(!log.errorString().contains('\n'));
        QVERIFY(!log.isOpen());
        QFile file(kept);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("precious"));
        QVERIFY(!QFile::exists(dir.filePath("absent")));
    }

    void newTranscriptIsPrivateAndAnOldOneEmptied()
    {
        QTemporaryDir dir;
        const QString fresh = dir.filePath("fresh.log");
        const mode_t oldMask = ::umask(0);
        WireLog log;
        const bool opened = log.open(fresh);
        ::umask(oldMask);
        QVERIFY(opened);
        struct stat info
        {
        };
        QCOMPARE(::stat(QFile::encodeName(fresh).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0600u);

        const QString old = dir.filePath("old.log");
        {
            QFile file(old);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(10000, 'x'));
        }
        QVERIFY(QFile::setPermissions(
                old, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(log.open(old));
        QFile file(old);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.startsWith("# Quillon wire transcript") && !content.contains('x'));
        QCOMPARE(::stat(QFile::encodeName(old).constData(), &info), 0);
        QCOMPARE(info.st_mode & 0777, 0640u);
    }

    void transcriptLosesNoLineUnsaid_data()
    {
        QTest::addColumn<QString>("medium");
        QTest::addColumn<int>("room"); // bytes the transcript may take before writes fail
        QTest::newRow("size limit, header only") << "limit" << 100;
        QTest::newRow("size limit, mid-line") << "limit" << 1500;
        QTest::newRow("size limit, late") << "limit" << 9000;
        QTest::newRow("full disk") << "tmpfs" << 0;
    }

    void transcriptLosesNoLineUnsaid()
    {
        QFETCH(QString, medium);
        QFETCH(int, room);
        QTemporaryDir dir;
        QString path = dir.filePath("wire.log");
        const QString mountPoint = dir.filePath("small");
        const QString filler = mountPoint + "/filler";
        struct rlimit unlimited
        {
        };
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        std::function<void()> fill;
        std::function<void()> free;
        if (medium == "limit") {
            fill = [&] {
                struct rlimit limited = unlimited;
                limited.rlim_cur = rlim_t(room);
                ::setrlimit(RLIMIT_FSIZE, &limited);
            };
            free = [&] { ::setrlimit(RLIMIT_FSIZE, &unlimited); };
        } else {
            QVERIFY(QDir(dir.path()).mkdir("small"));
            if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "size=256k")
                    != 0)
                QSKIP("A 256 KiB file system cannot be mounted here (needs root); the size limit "
                      "rows cover the same ground");
            path = mountPoint + "/wire.log";
            fill = [&] {
                QFile file(filler);
                if (file.open(QIODevice::WriteOnly))
                    while (file.write(QByteArray(4096, 'f')) == 4096 && file.flush()) { }
            };
            free = [&] { QFile::remove(filler); };
        }
        const auto cleanUp = qScopeGuard([&] {
            ::setrlimit(RLIMIT_FSIZE, &unlimited);
            if (medium == "tmpfs")
                ::umount2(QFile::encodeName(mountPoint).constData(), MNT_DETACH);
        });

        // Lines of every length up to a few hundred bytes, so that a write fails in mid-line.
        constexpr int kBefore = 60;
        constexpr int kAfter = 30;
        const auto payload
                = [](int n) { return "L" + QByteArray::number(n) + QByteArray(n * 7, '.'); };
        LineRecorder line;
        WireLog log(&line);
        QSignalSpy failures(&log, &WireLog::writingFailed);
        QVERIFY(log.open(path));
        fill();
        for (int n = 0; n < kBefore; ++n)
            line.sent(1, payload(n));
        QCOMPARE(failures.size(), 1); // once, however many lines are lost
        QVERIFY(failures.first().first().toString().contains("cannot be written"));
        QVERIFY(log.missingLines() > 0);
        free();
        for (int n = kBefore; n < kBefore + kAfter; ++n)
            line.sent(1, payload(n));
        QCOMPARE(failures.size(), 1);
        QCOMPARE(log.missingLines(), 0);

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.endsWith('\n'));
        const QList<QByteArray> lines = content.chopped(1).split('\n');
        QVERIFY(lines.first().startsWith("# Quillon wire transcript"));
        static const QRegularExpression sentLine(
                R"(^ +\d+\.\d{3} COM1 sent (\d+) bytes: [0-9A-F ]+  "L(\d+)\.*"$)");
        static const QRegularExpression lossLine(
                R"(^# (\d+) lines? missing here, from [\d.]+ to [\d.]+ ms: the transcript could not be written \(.+\)$)");
        int expected = 0;
        int lossLines = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QString line = QString::fromUtf8(lines[i]);
            if (const auto loss = lossLine.match(line); loss.hasMatch()) {
                ++lossLines;
                expected += loss.captured(1).toInt();
                continue;
            }
            const auto sent = sentLine.match(line);
            QVERIFY2(sent.hasMatch(), qPrintable(line.left(200))); // never two run together
            QCOMPARE(sent.captured(2).toInt(), expected);
            QCOMPARE(sent.captured(1).toInt(), payload(expected).size());
            ++expected;
        }
        // A full disk may take short lines between long ones; each gap is marked.
        if (medium == "limit")
            QCOMPARE(lossLines, 1);
        QVERIFY(lossLines >= 1);
        QCOMPARE(expected, kBefore + kAfter);
    }

    void transcriptNoteStaysOneLine()
    {
        QTemporaryDir dir;
        LineRecorder line;
        WireLog log(&line);
        QVERIFY(log.open(dir.filePath("wire.log")));
        line.note(2, Transcript::Word::Open,
                QStringLiteral("/dev/x\n    1.000 COM2 recv forged\r\u2028 at 9600,N,8,1"));
        QFile file(dir.filePath("wire.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY2(
                lines[1].endsWith(
                        " COM2 open /dev/x\\n    1.000 COM2 recv forged\\r\\u{2028} at 9600,N,8,1"),
                lines[1].constData());
    }

    void transcriptFileIsWrittenLineByLine()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("wire.log");
        {
            LineRecorder line;
            WireLog log(&line);
            QVERIFY(log.open(path));
            line.note(1, Transcript::Word::Open, "/dev/pts/4 at 9600,N,8,1");
            line.sent(1, "*IDN?\n");
            // Written before the log is closed: a crash loses nothing.
            QFile early(path);
            QVERIFY(early.open(QIODevice::ReadOnly));
            QCOMPARE(early.readAll().count('\n'), 3);
            QByteArray big(1024 * 1024, 'A');
            big += "\r\n";
            line.received(1, big);
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 5); // header, three lines, and the empty rest after the last newline
        QVERIFY(lines[0].startsWith("# Quillon wire transcript, started "));
        QVERIFY(lines[1].endsWith(" COM1 open /dev/pts/4 at 9600,N,8,1"));
        QVERIFY(lines[2].endsWith(" COM1 sent 6 bytes: 2A 49 44 4E 3F 0A  \"*IDN?\\n\""));
        // The whole megabyte, both ways of showing it, on one line.
        const qsizetype hexStart = lines[3].indexOf(" COM1 recv 1048578 bytes: ") + 26;
        const qsizetype textStart = lines[3].indexOf("  \"", hexStart);
        QCOMPARE(QByteArray::fromHex(lines[3].mid(hexStart, textStart - hexStart)),
                QByteArray(1024 * 1024, 'A') + "\r\n");
        QCOMPARE(lines[3].mid(textStart + 2), '"' + QByteArray(1024 * 1024, 'A') + "\\r\\n\"");

        WireLog refused;
        QVERIFY(!refused.open(dir.filePath("no/such/dir/wire.log")));
        QVERIFY(!refused.errorString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(RecordTest)
#include "test_record.moc"
