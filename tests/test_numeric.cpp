// The numeric value of a typed text, and the address it encodes to; the number in a device's
// reply, and the status register bits it stands for.

#include "protocol/numericvalue.h"
#include "protocol/replynumber.h"
#include "protocol/replyreading.h"
#include "protocol/statusbits.h"

#include <QTest>

#include <optional>

class NumericTest : public QObject
{
    Q_OBJECT

private slots:
    void value_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("integer") << "12" << 12.0;
        QTest::newRow("blanks anywhere") << " 1 2\t3\n" << 123.0;
        QTest::newRow("sign") << "-3" << -3.0;
        QTest::newRow("plus") << "+7" << 7.0;
        QTest::newRow("fraction") << "3.5" << 3.5;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("exponent") << "1.5E1" << 15.0;
        QTest::newRow("lower e") << "2e-1" << 0.2;
        QTest::newRow("bare E stops") << "4E" << 4.0;
        QTest::newRow("trailing letters") << "5x" << 5.0;
        QTest::newRow("letters first") << "x5" << 0.0;
        QTest::newRow("hex") << "&HF" << 15.0;
        QTest::newRow("hex lower") << "&h1a" << 26.0;
        QTest::newRow("octal") << "&O17" << 15.0;
        QTest::newRow("octal stops at 8") << "&O78" << 7.0;
        QTest::newRow("ampersand alone") << "&" << 0.0;
        QTest::newRow("sign only") << "-" << 0.0;
        QTest::newRow("huge") << "1e999" << HUGE_VAL;
        QTest::newRow("tiny") << "1e-999" << 0.0;
        QTest::newRow("non-latin digits are no number") << QStringLiteral("\u0663") << 0.0;
    }

    void value()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(NumericValue(text), value);
    }

    void address_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("devAddr");
        QTest::newRow("0") << "0" << true << "0";
        QTest::newRow("00") << "00" << false << "";
        QTest::newRow("-0") << "-0" << false << "";
        QTest::newRow("blank 0") << " 0" << false << "";
        QTest::newRow("empty") << "" << false << "";
        QTest::newRow("letters") << "abc" << false << "";
        QTest::newRow("07 kept whole") << "07" << true << "07";
        QTest::newRow("5x kept whole") << "5x" << true << "5x";
        QTest::newRow("-3") << "-3" << true << "-3";
        QTest::newRow("3.5") << "3.5" << true << "3.5";
        QTest::newRow("9") << "9" << true << "9";
        QTest::newRow("9.5 rounds to even") << "9.5" << true << ":";
        QTest::newRow("10") << "10" << true << ":";
        QTest::newRow("10.5 rounds to even") << "10.5" << true << ":";
        QTest::newRow("11") << "11" << true << ";";
        QTest::newRow("12") << "12" << true << "<";
        QTest::newRow("13") << "13" << true << "=";
        QTest::newRow("14 is the prompt") << "14" << true << ">";
        QTest::newRow("15 is the query mark") << "15" << true << "?";
        QTest::newRow("15.5") << "15.5" << false << "";
        QTest::newRow("16") << "16" << false << "";
        QTest::newRow("hex 12") << "&HC" << true << "<";
        QTest::newRow("9.4 keeps digit") << "9.4" << true << "9";
    }

    void address()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QFETCH(QString, devAddr);
        const AddressEntry entry = EncodeAddress(typed);
        QCOMPARE(entry.accepted, accepted);
        QCOMPARE(entry.devAddr, devAddr);
    }

    // "none" is a row whose text holds no single number: the chart leaves a gap for it.
    void instrumentNumber_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        QTest::newRow("NR1") << QByteArray("-5") << true << -5.0;
        QTest::newRow("NR1 plus") << QByteArray("+17") << true << 17.0;
        QTest::newRow("NR2") << QByteArray("12.5") << true << 12.5;
        QTest::newRow("NR2 leading point") << QByteArray("-.25") << true << -0.25;
        QTest::newRow("NR2 trailing point") << QByteArray("5.") << true << 5.0;
        QTest::newRow("NR3") << QByteArray("+1.234E-03") << true << 1.234e-3;
        QTest::newRow("NR3 lower e") << QByteArray("1e3") << true << 1000.0;
        QTest::newRow("NR3 plus exponent") << QByteArray("-2.5E+02") << true << -250.0;
        QTest::newRow("blanks around") << QByteArray(" 12.5 ") << true << 12.5;
        QTest::newRow("CR LF after") << QByteArray("+4.000000E+00\r\n") << true << 4.0;
        QTest::newRow("tab before") << QByteArray("\t7") << true << 7.0;
        QTest::newRow("488.2 overload stays a number") << QByteArray("9.9E37") << true << 9.9e37;
        QTest::newRow("zero") << QByteArray("0") << true << 0.0;
        QTest::newRow("empty") << QByteArray("") << false << 0.0;
        QTest::newRow("blanks only") << QByteArray(" \r\n") << false << 0.0;
        QTest::newRow("word") << QByteArray("OVLD") << false << 0.0;
        QTest::newRow("sign only") << QByteArray("-") << false << 0.0;
        QTest::newRow("point only") << QByteArray(".") << false << 0.0;
        QTest::newRow("bare exponent") << QByteArray("4E") << false << 0.0;
        QTest::newRow("exponent sign only") << QByteArray("4E+") << false << 0.0;
        QTest::newRow("unit after") << QByteArray("5V") << false << 0.0;
        QTest::newRow("blank inside") << QByteArray("1 2") << false << 0.0;
        QTest::newRow("two values") << QByteArray("1,2") << false << 0.0;
        QTest::newRow("two signs") << QByteArray("+-1") << false << 0.0;
        QTest::newRow("comma decimal") << QByteArray("3,5") << false << 0.0;
        QTest::newRow("beyond a double") << QByteArray("1e999") << false << 0.0;
        QTest::newRow("hex is no decimal") << QByteArray("&H1F") << false << 0.0;
        QTest::newRow("nul inside") << QByteArray("1\0"
                                                  "2",
                3) << false << 0.0;
    }

    void instrumentNumber()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        const std::optional<double> read = ReadInstrumentNumber(text);
        QCOMPARE(read.has_value(), isNumber);
        if (isNumber)
            QCOMPARE(*read, value);
    }

    // One reading of a reply for every consumer: the prompt and the packet are not part of
    // what the instrument said, and an answer that cannot be trusted holds no number.
    void replyReading_data()
    {
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        const int off = int(Framing::Protocol::Off);
        const int packet = int(Framing::Protocol::Packet);
        QTest::newRow("with prompt")
                << QByteArray("+1.5E+00\r\n>") << off << QByteArray("+1.5E+00") << true << 1.5;
        QTest::newRow("prompt without line end")
                << QByteArray("1.5>") << off << QByteArray("1.5") << true << 1.5;
        QTest::newRow("prompt only") << QByteArray(">") << off << QByteArray() << false << 0.0;
        QTest::newRow("ACK packet") << QByteArray("\x06"
                                                  "4-3.25\x03"
                                                  "\x06\r\n>")
                                    << packet << QByteArray("-3.25") << true << -3.25;
        QTest::newRow("ACK packet failing its checksum")
                << QByteArray("\x06"
                              "4-3.25\x03"
                              "X\r\n>")
                << packet << QByteArray("-3.25") << false << 0.0;
        QTest::newRow("NAK packet is no value") << QByteArray("\x15"
                                                              "47.25\x03"
                                                              "<\r\n>")
                                                << packet << QByteArray("7.25") << false << 0.0;
        QTest::newRow("no packet where one was asked for")
                << QByteArray("7.25\r\n>") << packet << QByteArray("7.25") << false << 0.0;
        QTest::newRow("words kept")
                << QByteArray("OVLD\r\n>") << off << QByteArray("OVLD") << false << 0.0;
        QTest::newRow("prompt inside stays")
                << QByteArray("5>6\r\n") << off << QByteArray("5>6") << false << 0.0;
    }

    void replyReading()
    {
        QFETCH(QByteArray, received);
        QFETCH(int, protocol);
        QFETCH(QByteArray, text);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        const ReplyReading reading = ReadReply(received, Framing::Protocol(protocol));
        QCOMPARE(reading.text, text);
        QCOMPARE(reading.number.has_value(), isNumber);
        if (isNumber)
            QCOMPARE(*reading.number, value);
    }

    void statusBits_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("received");
        QTest::addColumn<QString>("described"); // empty: nothing to decode
        QTest::newRow("ESR command error")
                << QByteArray("*ESR?\n") << QByteArray("32\r\n>") << "32 = command error (CME)";
        QTest::newRow("esr lower case") << QByteArray("*esr?\r\n") << QByteArray("1\r\n>")
                                        << "1 = operation complete (OPC)";
        QTest::newRow("ESR several bits")
                << QByteArray("*ESR?\n") << QByteArray("164\r\n")
                << "164 = 4 query error (QYE) + 32 command error (CME) + 128 power on (PON)";
        QTest::newRow("ESR all bits")
                << QByteArray("*ESR?\n") << QByteArray("255\r\n")
                << "255 = 1 operation complete (OPC) + 2 request control (RQC) + 4 query error "
                   "(QYE) + 8 device-dependent error (DDE) + 16 execution error (EXE) + 32 command "
                   "error (CME) + 64 user request (URQ) + 128 power on (PON)";
        QTest::newRow("ESR clear")
                << QByteArray("*ESR?\n") << QByteArray("0\r\n>") << "0 = no bit set";
        QTest::newRow("STB event waiting")
                << QByteArray("*STB?\n") << QByteArray("32\r\n>") << "32 = event status bit (ESB)";
        QTest::newRow("STB message and service")
                << QByteArray("*STB?\n") << QByteArray("80\r\n")
                << "80 = 16 message available (MAV) + 64 request service (RQS/MSS)";
        QTest::newRow("STB device bits") << QByteArray("*STB?\n") << QByteArray("129\r\n")
                                         << "129 = 1 device-specific + 128 device-specific";
        QTest::newRow("addressed") << QByteArray("\x02"
                                                 "4*ESR?\n")
                                   << QByteArray("4\r\n>") << "4 = query error (QYE)";
        QTest::newRow("packet") << QByteArray("\x02"
                                              "4*STB?\x03"
                                              "X")
                                << QByteArray("\x06"
                                              "416\x03"
                                              "6\r\n>")
                                << "16 = message available (MAV)";
        QTest::newRow("reply not complete yet")
                << QByteArray("*ESR?\n") << QByteArray("3") << QString();
        QTest::newRow("beyond a byte")
                << QByteArray("*ESR?\n") << QByteArray("256\r\n") << QString();
        QTest::newRow("fraction") << QByteArray("*ESR?\n") << QByteArray("3.5\r\n") << QString();
        QTest::newRow("negative") << QByteArray("*ESR?\n") << QByteArray("-1\r\n") << QString();
        QTest::newRow("other query") << QByteArray("*IDN?\n") << QByteArray("32\r\n") << QString();
        QTest::newRow("question mark missing")
                << QByteArray("*ESR\n") << QByteArray("32\r\n") << QString();
    }

    void statusBits()
    {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, received);
        QFETCH(QString, described);
        const StatusRegister reg = StatusQueryIn(sent);
        const std::optional<int> value = StatusReplyValue(received, Framing::protocolOf(sent));
        const QString text = reg != StatusRegister::None && value ? DescribeStatusBits(reg, *value)
                                                                  : QString();
        QCOMPARE(text, described);
    }
};

QTEST_APPLESS_MAIN(NumericTest)
#include "test_numeric.moc"
