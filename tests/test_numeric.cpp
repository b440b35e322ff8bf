// The numeric value of a typed text, and the address it encodes to.

#include "protocol/numericvalue.h"

#include <QTest>

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
};

QTEST_APPLESS_MAIN(NumericTest)
#include "test_numeric.moc"
