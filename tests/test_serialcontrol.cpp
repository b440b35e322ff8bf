// The serial control over real pseudo-terminals: settings, byte transparency, failures.

#include "line/exchange/linewait.h"
#include "line/linehold.h"
#include "line/linemessages.h"
#include "line/port/serialcontrol.h"
#include "line/record/wirelog.h"
#include "line/serialsettings.h"
#include "ptydevice.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class SerialControlTest : public QObject
{
    Q_OBJECT

private slots:
    void settingsTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("baud");
        QTest::addColumn<int>("parity");
        QTest::addColumn<int>("stop");
        for (int baud : {2400, 4800, 9600, 19200, 38400, 57600, 115200})
            QTest::addRow("%d", baud) << QStringLiteral("%1,N,8,1").arg(baud) << true << baud
                                      << int(QSerialPort::NoParity) << int(QSerialPort::OneStop);
        QTest::newRow("even, 2 stop") << "1200,E,7,2" << true << 1200
                                      << int(QSerialPort::EvenParity) << int(QSerialPort::TwoStop);
        QTest::newRow("three fields") << "9600,N,8" << false << 0 << 0 << 0;
        QTest::newRow("bad parity") << "9600,X,8,1" << false << 0 << 0 << 0;
        QTest::newRow("bad bits") << "9600,N,9,1" << false << 0 << 0 << 0;
        QTest::newRow("bad rate") << "fast,N,8,1" << false << 0 << 0 << 0;
    }

    void settingsTexts()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        const auto settings = SerialSettings::parse(text);
        QCOMPARE(settings.has_value(), valid);
        if (!valid)
            return;
        QFETCH(int, baud);
        QFETCH(int, parity);
        QFETCH(int, stop);
        QCOMPARE(settings->baudRate, baud);
        QCOMPARE(int(settings->parity), parity);
        QCOMPARE(int(settings->stopBits), stop);
        // Written back as the same text: a network server's confirmation is compared so.
        QCOMPARE(settings->text(), text);
    }

    void everyByteValueBothWays()
    {
        PtyDevice device;
        device.bindTo(1);
        SerialControl control;
        control.setCommPort(1);
        QVERIFY(control.setSettings("115200,N,8,1"));
        QVERIFY(control.setPortOpen(true));
        QVERIFY(device.rawEightN1());
        QCOMPARE(device.outputBaud(), 115200);

        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all += char(b);
        QVERIFY(control.Output(all));
        QVERIFY(device.waitForReceived(all.size()));
        QCOMPARE(device.received().toHex(), all.toHex());

        device.send(all);
        QByteArray back;
        QCOMPARE(LineWait(&control).waitFor(back, char(0xFF), 30000), LineWait::End::Found);
        QCOMPARE(back.toHex(), all.toHex());
        QCOMPARE(control.InBufferCount(), 0);
    }

    void longMessageArrivesWhole()
    {
        PtyDevice device;
        device.bindTo(2);
        SerialControl control;
        control.setCommPort(2);
        QVERIFY(control.setPortOpen(true));
        QByteArray message(100 * 1024, '\0');
        for (qsizetype i = 0; i < message.size(); ++i)
            message[i] = char(i * 7 + i / 251);
        QVERIFY(control.Output(message));
        QVERIFY(device.waitForReceived(message.size(), 10000));
        QCOMPARE(device.received(), message);
    }

    void idleInputKeepsTheNewestMegabyte()
    {
        PtyDevice device;
        device.bindTo(1);
        SerialControl control;
        control.setCommPort(1);
        QVERIFY(control.setPortOpen(true));
        QByteArray flood(3 * SerialControl::IdleInputLimit + 123, '\0');
        for (qsizetype i = 0; i < flood.size(); ++i)
            flood[i] = char(i % 251);
        device.send(flood);
        qint64 dropped = 0;
        QTRY_VERIFY_WITH_TIMEOUT((dropped += control.takeDroppedCount(),
                                         dropped + control.InBufferCount() == flood.size()),
                20000);
        QCOMPARE(control.InBufferCount(), SerialControl::IdleInputLimit);
        QVERIFY(control.Input() == flood.right(SerialControl::IdleInputLimit));

        // While an exchange holds the line, every byte is kept.
        LineHold hold;
        control.setHold(&hold);
        hold.begin(QString());
        device.send(flood);
        QTRY_VERIFY_WITH_TIMEOUT(control.InBufferCount() == flood.size(), 20000);
        QCOMPARE(control.takeDroppedCount(), 0);
        QVERIFY(control.Input() == flood);
    }

    void inputLenLimitsEachRead()
    {
        PtyDevice device;
        device.bindTo(1);
        SerialControl control;
        control.setCommPort(1);
        QVERIFY(control.setPortOpen(true));
        device.send("abcdef");
        QTRY_COMPARE((QCoreApplication::processEvents(), control.InBufferCount()), qint64(6));
        control.setInputLen(4);
        QCOMPARE(control.Input(), QByteArray("abcd"));
        QCOMPARE(control.InBufferCount(), 2);
        control.setInputLen(0);
        QCOMPARE(control.Input(), QByteArray("ef"));
        QCOMPARE(control.Input(), QByteArray());
    }

    void noPortOpen()
    {
        SerialControl control;
        QSignalSpy failures(&control, &SerialControl::failure);
        QVERIFY(!control.PortOpen());
        QCOMPARE(control.Input(), QByteArray());
        QCOMPARE(control.InBufferCount(), 0);
        QVERIFY(!control.Output("*IDN?\n"));
        QCOMPARE(failures.size(), 1);
        QVERIFY(failures.first().first().toString().startsWith("COM port not open"));
        // Waiting on a closed port ends at once instead of spinning or crashing.
        QByteArray received;
        QCOMPARE(LineWait(&control).waitFor(received, '\n', 30000), LineWait::End::PortClosed);
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing")
                << "/dev/quillon-no-such-port"
                << "Cannot open COM 3 (/dev/quillon-no-such-port): No such device. "
                   "Check the cable or adapter, or bind COM 3 with QUILLON_COM3.";
        QTest::newRow("not serial") << "/dev/null"
                                    << "Cannot open COM 3 (/dev/null): Not a serial device.";
        QTest::newRow("a directory") << "/dev"
                                     << "Cannot open COM 3 (/dev): Not a serial device.";
        const QString tooLong = "/dev/" + QString(300, u'x');
        QTest::newRow("name too long") << tooLong
                                       << "Cannot open COM 3 (" + tooLong
                        + "): The device name is too long: the system takes at most 255 bytes for "
                          "each part of a path and 4095 in all.";
        QTest::newRow("through a file")
                << "/dev/null/ttyS0"
                << "Cannot open COM 3 (/dev/null/ttyS0): A part of the path before the last is "
                   "not a directory.";
        // A name from outside cannot start a line of the message (nor of the transcript).
        QTest::newRow("line break in the name")
                << "/dev/quillon\nCOM 1 open /dev/ttyS0\r\x1b[2J\u2028"
                << "Cannot open COM 3 (/dev/quillon\\nCOM 1 open /dev/ttyS0\\r\\x1B[2J\\u{2028}): "
                   "No such device. Check the cable or adapter, or bind COM 3 with QUILLON_COM3.";
        // Fault caught: a backslash was kept as is, so this name read as the one above.
        QTest::newRow("backslash in the name")
                << "/dev/quillon\\nCOM 1"
                << "Cannot open COM 3 (/dev/quillon\\\\nCOM 1): No such device. Check the cable "
                   "or adapter, or bind COM 3 with QUILLON_COM3.";
    }

    void openFailures()
    {
        QFETCH(QString, device);
        QFETCH(QString, expected);
        qputenv("QUILLON_COM3", device.toLocal8Bit());
        QTemporaryDir dir;
        LineRecorder recorder;
        WireLog transcript(&recorder);
        QVERIFY(transcript.open(dir.filePath("wire.log")));
        SerialControl control;
        control.setRecorder(&recorder);
        QSignalSpy failures(&control, &SerialControl::failure);
        control.setCommPort(3);
        QVERIFY(!control.setPortOpen(true));
        QVERIFY(!control.PortOpen());
        QCOMPARE(failures.size(), 1);
        QCOMPARE(failures.first().first().toString(), expected);
        // The header and the one "fail" line, whatever the name held.
        QFile file(dir.filePath("wire.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines[1].endsWith(" COM3 fail " + expected.toUtf8()));
    }

    void permissionDeniedNamesTheRightRemedy_data()
    {
        // Root may open anything, so the texts are checked on their own.
        QTest::addColumn<QString>("owner");
        QTest::addColumn<QString>("group");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("remedy");
        const QString join = QStringLiteral("Permission denied. Add your user to the group \"%1\" "
                                            "(sudo usermod -aG %1 $USER), then log in again.");
        const QString admin
                = QStringLiteral("Permission denied: only %1 may read and write this device "
                                 "(group %2, mode %3). An administrator has to grant access: a "
                                 "udev rule, or the group the distribution uses for serial ports "
                                 "(\"dialout\" on Debian).");
        QTest::newRow("dialout rw") << "root"
                                    << "dialout" << 0660 << join.arg("dialout");
        QTest::newRow("uucp rw") << "root"
                                 << "uucp" << 0660 << join.arg("uucp");
        QTest::newRow("group may only read")
                << "root"
                << "dialout" << 0640 << admin.arg("root", "dialout", "0640");
        QTest::newRow("root only") << "root"
                                   << "root" << 0600 << admin.arg("root", "root", "0600");
        QTest::newRow("group root, rw") << "root"
                                        << "root" << 0660 << admin.arg("root", "root", "0660");
        QTest::newRow("a user's own") << "alice"
                                      << "alice" << 0600 << admin.arg("alice", "alice", "0600");
        QTest::newRow("nothing known") << ""
                                       << "" << 0 << admin.arg("its owner", "unknown", "0000");
    }

    void permissionDeniedNamesTheRightRemedy()
    {
        QFETCH(QString, owner);
        QFETCH(QString, group);
        QFETCH(int, mode);
        QFETCH(QString, remedy);
        LineFailure why;
        why.error = LineError::PermissionDenied;
        why.comPort = 1;
        why.binding = "/dev/ttyS0";
        why.owner = owner;
        why.group = group;
        why.mode = unsigned(mode);
        QCOMPARE(DescribeLineFailure(why), "Cannot open COM 1 (/dev/ttyS0): " + remedy);
    }

    void lostPortMessages_data()
    {
        QTest::addColumn<QString>("systemText");
        QTest::addColumn<QString>("reason");
        const QString hungUp = QStringLiteral("the device went away or hung up");
        QTest::newRow("left over from setup") << "Inappropriate ioctl for device" << hungUp;
        QTest::newRow("left over from a read") << "Resource temporarily unavailable" << hungUp;
        QTest::newRow("nothing said") << "" << hungUp;
        QTest::newRow("says no more") << "Input/output error" << hungUp;
        QTest::newRow("says something") << "Broken pipe" << hungUp + " (Broken pipe)";
        QTest::newRow("says something on two lines")
                << "Broken pipe\nCOM 1 open" << hungUp + " (Broken pipe\\nCOM 1 open)";
    }

    void lostPortMessages()
    {
        QFETCH(QString, systemText);
        QFETCH(QString, reason);
        LineFailure why;
        why.error = LineError::Lost;
        why.comPort = 2;
        why.binding = "/dev/ttyUSB0";
        why.detail = systemText;
        QCOMPARE(DescribeLineFailure(why),
                QStringLiteral("COM 2 (/dev/ttyUSB0) was lost: %1. The port is closed "
                               "(--no-reconnect); press \"Initialize COM Port\" when the device "
                               "is back.")
                        .arg(reason));
    }

    void unplugIsReportedOnceAndPortCanReopen()
    {
        auto device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        SerialControl control;
        control.setCommPort(1);
        QVERIFY(control.setPortOpen(true));
        QSignalSpy failures(&control, &SerialControl::failure);
        device->hangUp();
        // Keep waiting as a Read would; the control must settle, not spin on errors.
        LineWait wait(&control);
        QByteArray received;
        for (int i = 0; i < 20; ++i)
            wait.waitFor(received, '\n', 100);
        QVERIFY(!control.PortOpen());
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().first().toString().contains("was lost"),
                qPrintable(failures.first().first().toString()));

        device = std::make_unique<PtyDevice>();
        device->bindTo(1);
        QVERIFY(control.setPortOpen(true));
        QVERIFY(control.Output("back"));
        QVERIFY(device->waitForReceived(4));
    }
};

QTEST_GUILESS_MAIN(SerialControlTest)
#include "test_serialcontrol.moc"
