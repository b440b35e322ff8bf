// The wire formats: every frame, checksum and reply verdict byte for byte.

#include "hexbytes.h"
#include "protocol/framing.h"
#include "protocol/replyformat.h"

#include <QTest>

class FramingTest : public QObject
{
    Q_OBJECT

private slots:
    void frames_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("protocol"); // 0 Off, 1 Addr, 2 Packet
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<bool>("cr");
        QTest::addColumn<bool>("lf");
        QTest::addColumn<QByteArray>("wire");

        QTest::newRow("off lf") << QByteArray("*IDN?") << 0 << QByteArray("4") << false << true
                                << hex("2A 49 44 4E 3F 0A");
        QTest::newRow("off cr lf") << QByteArray("*IDN?") << 0 << QByteArray("4") << true << true
                                   << hex("2A 49 44 4E 3F 0D 0A");
        QTest::newRow("off cr") << QByteArray("*IDN?") << 0 << QByteArray("4") << true << false
                                << hex("2A 49 44 4E 3F 0D");
        QTest::newRow("off bare") << QByteArray("*IDN?") << 0 << QByteArray("4") << false << false
                                  << hex("2A 49 44 4E 3F");
        QTest::newRow("addr lf") << QByteArray("*IDN?") << 1 << QByteArray("4") << false << true
                                 << hex("02 34 2A 49 44 4E 3F 0A");
        QTest::newRow("addr cr lf") << QByteArray("*IDN?") << 1 << QByteArray("4") << true << true
                                    << hex("02 34 2A 49 44 4E 3F 0D 0A");
        QTest::newRow("addr bare") << QByteArray("*IDN?") << 1 << QByteArray("4") << false << false
                                   << hex("02 34 2A 49 44 4E 3F");
        QTest::newRow("addr two chars") << QByteArray("X") << 1 << QByteArray("07") << false << true
                                        << hex("02 30 37 58 0A");
        for (bool cr : {false, true})
            for (bool lf : {false, true})
                QTest::addRow("packet idn cr=%d lf=%d", cr, lf)
                        << QByteArray("*IDN?") << 2 << QByteArray("4") << cr << lf
                        << hex("02 34 2A 49 44 4E 3F 03 63");
        QTest::newRow("packet rst") << QByteArray("*RST") << 2 << QByteArray("4") << false << true
                                    << hex("02 34 2A 52 53 54 03 4A");
        QTest::newRow("packet cls") << QByteArray("*CLS") << 2 << QByteArray("4") << false << true
                                    << hex("02 34 2A 43 4C 53 03 43");
        QTest::newRow("packet esr") << QByteArray("*esr?") << 2 << QByteArray("4") << false << true
                                    << hex("02 34 2A 65 73 72 3F 03 44");
        QTest::newRow("packet addr 0") << QByteArray("*IDN?") << 2 << QByteArray("0") << false
                                       << true << hex("02 30 2A 49 44 4E 3F 03 67");
        QTest::newRow("packet addr 9") << QByteArray("*IDN?") << 2 << QByteArray("9") << false
                                       << true << hex("02 39 2A 49 44 4E 3F 03 6E");
        // Checksums that look like a query mark or a prompt go out unchanged.
        QTest::newRow("checksum is ?") << QByteArray("A") << 2 << QByteArray("\x7f") << false
                                       << false << hex("02 7F 41 03 3F");
        QTest::newRow("checksum is >") << QByteArray("@") << 2 << QByteArray("\x7f") << false
                                       << false << hex("02 7F 40 03 3E");
        QTest::newRow("all bytes survive") << QByteArray("\x00\xff\x80", 3) << 0 << QByteArray("4")
                                           << false << false << hex("00 FF 80");
    }

    void frames()
    {
        QFETCH(QByteArray, command);
        QFETCH(int, protocol);
        QFETCH(QByteArray, address);
        QFETCH(bool, cr);
        QFETCH(bool, lf);
        QFETCH(QByteArray, wire);
        const QByteArray frame
                = FrameMessage(command, protocol == 1, protocol == 2, address, cr, lf);
        QCOMPARE(frame.toHex(' '), wire.toHex(' '));
        if (protocol == 2)
            QCOMPARE(XorChecksum(frame.chopped(1)), int(static_cast<unsigned char>(frame.back())));
    }

    void checksumOfText()
    {
        QCOMPARE(XorChecksum(""), 0);
        QCOMPARE(XorChecksum("abc"), 0x60);
        QCOMPARE(XorChecksum(hex("06 34 33 32 03")), 0x30);
        QCOMPARE(XorChecksum(hex("15 34 33 32 03")), 0x23);
    }

    void controlFrames_data()
    {
        QTest::addColumn<char>("code");
        QTest::addColumn<bool>("addrMode");
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("E off") << Wire::CNTL_E << false << QByteArray("4") << hex("05");
        QTest::newRow("E addr 4") << Wire::CNTL_E << true << QByteArray("4") << hex("02 34 05");
        QTest::newRow("F addr 4") << Wire::CNTL_F << true << QByteArray("4") << hex("02 34 06");
        QTest::newRow("F addr 12") << Wire::CNTL_F << true << QByteArray("<") << hex("02 3C 06");
        QTest::newRow("F off") << Wire::CNTL_F << false << QByteArray("<") << hex("06");
    }

    void controlFrames()
    {
        QFETCH(char, code);
        QFETCH(bool, addrMode);
        QFETCH(QByteArray, address);
        QFETCH(QByteArray, wire);
        QCOMPARE(FrameControlChar(code, addrMode, address), wire);
    }

    void replyPackets_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("etxPos");
        QTest::addColumn<int>("checksum"); // -1: not compared
        QTest::addColumn<bool>("present");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("payload");

        const int ack = int(ReplyPacket::Kind::Ack), nak = int(ReplyPacket::Kind::Nak),
                  none = int(ReplyPacket::Kind::None);
        QTest::newRow("ack verified")
                << hex("06 34 33 32 03 30") << ack << 5 << 0x30 << true << true << QByteArray("32");
        QTest::newRow("nak verified")
                << hex("15 34 33 32 03 23") << nak << 5 << 0x23 << true << true << QByteArray("32");
        QTest::newRow("bad checksum") << hex("06 34 33 32 03 31") << ack << 5 << 0x30 << true
                                      << false << QByteArray("32");
        QTest::newRow("trailing crlf prompt") << hex("06 34 33 32 03 30 0D 0A 3E") << ack << 5
                                              << 0x30 << true << true << QByteArray("32");
        QTest::newRow("two etx, first wins")
                << hex("06 34 41 03 32 03 00") << ack << 4 << (0x06 ^ 0x34 ^ 0x41 ^ 0x03) << true
                << false << QByteArray("A");
        QTest::newRow("etx at 3, empty payload")
                << hex("06 34 03 31") << ack << 3 << (0x06 ^ 0x34 ^ 0x03) << true << true
                << QByteArray();
        QTest::newRow("ack later does not count")
                << hex("41 06 34 03 00") << none << 0 << -1 << false << false << QByteArray();
        QTest::newRow("empty") << QByteArray() << none << 0 << -1 << false << false << QByteArray();
        QTest::newRow("no etx") << hex("06 34 33 32") << ack << 0 << -1 << false << false
                                << QByteArray("32");
        QTest::newRow("ack alone") << hex("06") << ack << 0 << -1 << false << false << QByteArray();
        QTest::newRow("two bytes")
                << hex("15 34") << nak << 0 << -1 << false << false << QByteArray();
        QTest::newRow("etx at 2") << hex("06 03 05") << ack << 2 << 0x05 << true << true
                                  << QByteArray();
        QTest::newRow("etx last, no checksum")
                << hex("06 34 33 03") << ack << 4 << (0x06 ^ 0x34 ^ 0x33 ^ 0x03) << false << false
                << QByteArray("3");
        QTest::newRow("etx at 2 and last")
                << hex("15 03") << nak << 2 << (0x15 ^ 0x03) << false << false << QByteArray();
    }

    void replyPackets()
    {
        QFETCH(QByteArray, reply);
        QFETCH(int, kind);
        QFETCH(int, etxPos);
        QFETCH(int, checksum);
        QFETCH(bool, present);
        QFETCH(bool, ok);
        QFETCH(QByteArray, payload);
        const ReplyPacket packet = CheckReplyPacket(reply);
        QCOMPARE(int(packet.kind), kind);
        QCOMPARE(packet.etxPos, qsizetype(etxPos));
        if (checksum >= 0)
            QCOMPARE(packet.checksum, checksum);
        QCOMPARE(packet.checksumPresent, present);
        QCOMPARE(packet.checksumOk, ok);
        QCOMPARE(packet.payload, payload);
    }

    void fitsOnLine()
    {
        QVERIFY(FitsOnLine(QString::fromLatin1("\x00\x7f\xff caf\xe9", 9)));
        QVERIFY(!FitsOnLine(QStringLiteral("5 \u20ac")));
        QVERIFY(!FitsOnLine(QStringLiteral("\u0100")));
    }
};

// Read's presentation of what it received.
class ReplyFormatTest : public QObject
{
    Q_OBJECT

private slots:
    void shown_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<bool>("displayAll");
        QTest::addColumn<bool>("packet");
        QTest::addColumn<bool>("query");
        QTest::addColumn<bool>("count");
        QTest::addColumn<QByteArray>("results");
        QTest::addColumn<int>("beeps");

        QTest::newRow("nothing") << QByteArray() << false << false << false << true
                                 << QByteArray("Rx buffer empty") << 0;
        QTest::newRow("nothing, packet") << QByteArray() << false << true << true << true
                                         << QByteArray("Rx buffer empty") << 0;
        QTest::newRow("cut at cr") << QByteArray("XYZ\r\n>") << false << false << false << true
                                   << QByteArray("XYZ\r\nCount =  6") << 0;
        QTest::newRow("cut at lf before cr") << QByteArray("AB\nC\rD") << false << false << false
                                             << false << QByteArray("AB") << 0;
        QTest::newRow("spelled out") << QByteArray("XYZ\r\n>") << true << false << false << false
                                     << QByteArray("XYZ<cr><lf>>") << 0;
        QTest::newRow("starts with cr") << QByteArray("\rXY") << false << false << false << true
                                        << QByteArray("\r\nCount =  3") << 0;
        QTest::newRow("worked example") << hex("06 34 33 32 03 30") << false << true << true << true
                                        << QByteArray("ACK Packet received\r\nCksum verified, "
                                                      "Cksum =  48\r\nRespStr= 32\r\nCount =  6")
                                        << 0;
        QTest::newRow("worked example, all shown")
                << hex("06 34 33 32 03 30") << true << true << true << true
                << hex("06 34 33 32 03 30") + "\r\nCount =  6" << 0;
        QTest::newRow("ack, not a query")
                << hex("06 34 33 32 03 30") << false << true << false << false
                << QByteArray("ACK Packet received\r\nCksum verified, Cksum =  48\r\nESR value= 32")
                << 0;
        QTest::newRow("nak always esr")
                << hex("15 34 33 32 03 23") << false << true << true << false
                << QByteArray("NAK packet received\r\nCksum verified, Cksum =  35\r\nESR value= 32")
                << 0;
        QTest::newRow("bad checksum")
                << hex("06 34 33 32 03 31") << false << true << true << false
                << QByteArray("ACK Packet received\r\nCksum fails\r\nRespStr= 32") << 1;
        QTest::newRow("no etx") << hex("06 34 33 32") << false << true << true << false
                                << QByteArray(
                                           "ACK Packet received\r\nETX char missing\r\nRespStr= 32")
                                << 1;
        QTest::newRow("no etx, line end and prompt")
                << hex("06 34 33 32 0D 0A 3E") << false << true << true << false
                << QByteArray("ACK Packet received\r\nETX char missing\r\nRespStr= 32") << 1;
        QTest::newRow("no etx, lf first")
                << hex("06 34 33 0A 32 0D") << false << true << false << false
                << QByteArray("ACK Packet received\r\nETX char missing\r\nESR value= 3") << 1;
        QTest::newRow("no checksum byte")
                << hex("06 34 33 03") << false << true << true << false
                << QByteArray("ACK Packet received\r\nCksum char missing\r\nRespStr= 3") << 1;
        QTest::newRow("not a packet")
                << QByteArray("hello\r\n") << false << true << true << true
                << QByteArray("Did not receive a ACK/NAK packet\r\nhello\r\n\r\nCount =  7") << 0;
        QTest::newRow("nul does not cut") << QByteArray("A\0B\r\n", 5) << false << false << false
                                          << false << QByteArray("A\0B", 3) << 0;
    }

    void shown()
    {
        QFETCH(QByteArray, received);
        QFETCH(bool, displayAll);
        QFETCH(bool, packet);
        QFETCH(bool, query);
        QFETCH(bool, count);
        QFETCH(QByteArray, results);
        QFETCH(int, beeps);
        const ReplyDisplay display = FormatReply(received, {displayAll, packet, query, count});
        QCOMPARE(display.results, results);
        QCOMPARE(display.beeps, beeps);
    }

    void countBeyondSixteenBits()
    {
        const QByteArray big(70000, 'x');
        const ReplyDisplay display = FormatReply(big, {false, false, false, true});
        QVERIFY(display.results.endsWith("\r\nCount =  70000"));
    }
};

int main(int argc, char **argv)
{
    FramingTest framing;
    ReplyFormatTest format;
    return QTest::qExec(&framing, argc, argv) | QTest::qExec(&format, argc, argv);
}
#include "test_framing.moc"
