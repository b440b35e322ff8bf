// The simulated instrument's protocol, without a line.

#include "hexbytes.h"
#include "instrument.h"

#include <QTest>

namespace {
QByteArray withChecksum(const QByteArray &frame)
{
    char sum = 0;
    for (char c : frame)
        sum ^= c;
    return frame + sum;
}
const QByteArray kIdn = Instrument::identity();
} // namespace

class InstrumentTest : public QObject
{
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("answer"); // at once, or once the line has gone quiet
        QTest::addColumn<QString>("option"); // of quillon-sim, if any
        QTest::newRow("plain lf") << QByteArray("*IDN?\n") << kIdn + "\r\n>" << QString();
        QTest::newRow("plain cr lf") << QByteArray("*idn?\r\n") << kIdn + "\r\n>" << QString();
        QTest::newRow("plain cr") << QByteArray("*IDN?\r") << kIdn + "\r\n>" << QString();
        QTest::newRow("command, prompt only")
                << QByteArray("*RST\n") << QByteArray(">") << QString();
        QTest::newRow("two in one write")
                << QByteArray("*OPC?\n*IDN?\n") << "1\r\n>" + kIdn + "\r\n>" << QString();
        QTest::newRow("addressed") << hex("02 34") + "*IDN?\n" << kIdn + "\r\n>" << QString();
        QTest::newRow("other address ignored") << hex("02 35") + "*IDN?\n"
                                               << QByteArray() << QString();
        QTest::newRow("packet query")
                << withChecksum(hex("02 34") + "*IDN?" + hex("03"))
                << withChecksum(hex("06 34") + kIdn + hex("03")) + "\r\n>" << QString();
        QTest::newRow("packet command gets esr")
                << withChecksum(hex("02 34") + "*RST" + hex("03"))
                << withChecksum(hex("06 34 30 03")) + "\r\n>" << QString();
        QTest::newRow("packet bad checksum")
                << hex("02 34 2A 49 44 4E 3F 03 00") << withChecksum(hex("15 34 30 03")) + "\r\n>"
                << QString();
        QTest::newRow("packet for another address")
                << withChecksum(hex("02 39") + "*IDN?" + hex("03")) << QByteArray() << QString();
        // A checksum that happens to be CR must not be taken for the end of a plain message.
        for (int c = 0x10; c < 0x100; ++c) {
            const QByteArray frame = withChecksum(hex("02 34") + "*RS" + char(c) + hex("03"));
            if (frame.back() == '\r') {
                QTest::newRow("checksum byte is CR")
                        << frame << withChecksum(hex("06 34 33 32 03")) + "\r\n>" << QString();
                break;
            }
        }
        QTest::newRow("addressed only: plain unanswered")
                << QByteArray("*IDN?\r\n") << QByteArray() << "addressed-only";
        QTest::newRow("addressed only: addressed answered") << hex("02 34") + "*IDN?\r\n"
                                                            << kIdn + "\r\n>"
                                                            << "addressed-only";
        QTest::newRow("cr only: LF alone ends nothing, however quiet")
                << QByteArray("*IDN?\n") << QByteArray() << "cr-only";
        QTest::newRow("cr only: the LF after CR skipped")
                << QByteArray("*IDN?\r\n*OPC?\r\n") << kIdn + "\r\n>1\r\n>"
                << "cr-only";
        QTest::newRow("cr only: addressed, CR ends it")
                << hex("02 34") + "*IDN?\r" << kIdn + "\r\n>"
                << "cr-only";
    }

    void answers()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, answer);
        QFETCH(QString, option);
        Instrument::Options options;
        options.addressedOnly = option == "addressed-only";
        options.crOnly = option == "cr-only";
        Instrument device(options);
        const QByteArray answered = device.receive(sent) + device.flushPending();
        QCOMPARE(answered.toHex(' '), answer.toHex(' '));
    }

    void bytesMayArriveOneAtATime()
    {
        Instrument device({});
        const QByteArray frame = withChecksum(hex("02 34") + "*IDN?" + hex("03"));
        QByteArray answer;
        for (char c : frame)
            answer += device.receive(QByteArray(1, c));
        QCOMPARE(answer, withChecksum(hex("06 34") + kIdn + hex("03")) + "\r\n>");
    }

    void statusRegisters()
    {
        Instrument device({});
        QCOMPARE(device.receive("*STB?\n"), QByteArray("0\r\n>"));
        QCOMPARE(device.receive("*FOO\n"), QByteArray(">"));
        QCOMPARE(device.esr(), Instrument::CommandError);
        QCOMPARE(device.receive("*STB?\n"), QByteArray("32\r\n>"));
        QCOMPARE(device.receive("*ESR?\n"), QByteArray("32\r\n>"));
        QCOMPARE(device.receive("*ESR?\n"), QByteArray("0\r\n>")); // reading cleared it
        device.receive("*OPC\n");
        device.receive("*BAR?\n");
        QCOMPARE(device.esr(), quint8(Instrument::CommandError | Instrument::OperationComplete));
        device.receive("*CLS\n");
        QCOMPARE(device.esr(), quint8(0));
        // A packet command reports the register in its ACK.
        device.receive("*BAD\n");
        QCOMPARE(device.receive(withChecksum(hex("02 34") + "*RST" + hex("03"))),
                withChecksum(hex("06 34") + "32" + hex("03")) + "\r\n>");
    }

    void echo()
    {
        Instrument device({});
        QCOMPARE(device.receive(hex("05")), QByteArray());
        QVERIFY(device.echo());
        QCOMPARE(device.receive("*RST\n"), QByteArray("*RST\n>"));
        QCOMPARE(device.receive(hex("06")), QByteArray());
        QVERIFY(!device.echo());
        // Addressed control frames switch it only for this address.
        device.receive(hex("02 35 05"));
        QVERIFY(!device.echo());
        device.receive(hex("02 34 05"));
        QVERIFY(device.echo());
    }

    void messageWithoutTerminatorCompletesWhenIdle()
    {
        Instrument device({});
        QCOMPARE(device.receive("*IDN?"), QByteArray());
        QVERIFY(device.hasPending());
        QCOMPARE(device.flushPending(), kIdn + "\r\n>");
        QVERIFY(!device.hasPending());
    }

    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("no prompt") << "no-prompt" << QByteArray("*IDN?\n");
        QTest::newRow("silent") << "silent" << QByteArray("*IDN?\n");
        QTest::newRow("bad checksum")
                << "bad-checksum" << withChecksum(hex("02 34") + "*IDN?" + hex("03"));
        QTest::newRow("nak") << "nak" << withChecksum(hex("02 34") + "*IDN?" + hex("03"));
        QTest::newRow("garbage") << "garbage" << QByteArray("*IDN?\n");
        QTest::newRow("flood") << "flood" << QByteArray("*IDN?\n");
        QTest::newRow("address 12")
                << "address" << withChecksum(hex("02 3C") + "*IDN?" + hex("03"));
        QTest::newRow("bus") << "bus" << withChecksum(hex("02 37") + "*IDN?" + hex("03"));
        QTest::newRow("checksum 0xFF")
                << "checksum-ff" << withChecksum(hex("02 3C") + "*IDN?" + hex("03"));
    }

    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(QByteArray, sent);
        Instrument::Options options;
        options.prompt = fault != "no-prompt";
        options.silent = fault == "silent";
        options.badChecksum = fault == "bad-checksum";
        options.alwaysNak = fault == "nak";
        options.garbage = fault == "garbage";
        options.floodBytes = fault == "flood" ? 1 << 20 : 0;
        options.address = fault == "address"               ? 12
                : fault == "bus" || fault == "checksum-ff" ? 3
                                                           : 4;
        if (fault == "bus" || fault == "checksum-ff")
            options.bus = {7, 12};
        options.checksumFF = fault == "checksum-ff" ? 12 : -1;
        Instrument device(options);
        const QByteArray answer = device.receive(sent);
        if (fault == "no-prompt")
            QCOMPARE(answer, kIdn + "\r\n");
        else if (fault == "silent")
            QCOMPARE(answer, QByteArray());
        else if (fault == "bad-checksum") {
            const QByteArray good = withChecksum(hex("06 34") + kIdn + hex("03"));
            QCOMPARE(answer.size(), good.size() + 3);
            QCOMPARE(answer.left(good.size() - 1), good.chopped(1));
            QVERIFY(answer[good.size() - 1] != good.back());
        } else if (fault == "nak")
            QCOMPARE(answer, withChecksum(hex("15 34 30 03")) + "\r\n>");
        else if (fault == "garbage") {
            QVERIFY(answer.endsWith("\r\n>"));
            QVERIFY(!answer.startsWith(kIdn));
            QVERIFY(!answer.chopped(1).contains('>'));
        } else if (fault == "flood") {
            QCOMPARE(answer.size(), (1 << 20) + 3);
            QVERIFY(answer.endsWith("\r\n>"));
        } else if (fault == "address")
            QCOMPARE(answer, withChecksum(hex("06 3C") + kIdn + hex("03")) + "\r\n>");
        else if (fault == "checksum-ff") // 0xCF brings the XOR from 0x30 to 0xFF
            QCOMPARE(answer,
                    hex("06 3C") + "VELK,QSIM-488,QS0012" + hex("CF") + ",1.0" + hex("03 FF")
                            + "\r\n>");
        else if (fault == "bus") // the one at 7 answers, with its own serial number
            QCOMPARE(answer,
                    withChecksum(hex("06 37") + "VELK,QSIM-488,QS0007,1.0" + hex("03")) + "\r\n>");
    }
};

QTEST_APPLESS_MAIN(InstrumentTest)
#include "test_instrument.moc"
