// The settings text ("9600,N,8,1"): any text either is refused or gives settings inside the
// line's ranges that read back the same from their plain form; and a text built from known
// parts, with blanks and case varied, gives exactly those parts.

#include "line/serialsettings.h"

#include <array>
#include <cstdlib>

namespace {

QString plainForm(const SerialSettings &s)
{
    static const QString parityLetters = QStringLiteral("N?EOSM"); // by QSerialPort::Parity
    const QString stop = s.stopBits == QSerialPort::OneStop
            ? QStringLiteral("1")
            : (s.stopBits == QSerialPort::TwoStop ? QStringLiteral("2") : QStringLiteral("1.5"));
    return QStringLiteral("%1,%2,%3,%4")
            .arg(s.baudRate)
            .arg(parityLetters.at(int(s.parity)))
            .arg(int(s.dataBits))
            .arg(stop);
}

bool same(const SerialSettings &a, const SerialSettings &b)
{
    return a.baudRate == b.baudRate && a.parity == b.parity && a.dataBits == b.dataBits
            && a.stopBits == b.stopBits;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto parsed = SerialSettings::parse(text)) {
        const int parity = int(parsed->parity);
        if (parsed->baudRate <= 0 || parsed->dataBits < 5 || parsed->dataBits > 8 || parity == 1
                || parity < 0 || parity > 5)
            std::abort();
        const auto again = SerialSettings::parse(plainForm(*parsed));
        if (!again || !same(*again, *parsed))
            std::abort();
    }

    // The model: parts chosen by the first bytes, dressed with blanks and lower case.
    if (size < 6)
        return 0;
    struct Parity
    {
        char letter;
        QSerialPort::Parity value;
    };
    static constexpr std::array<Parity, 5> parities = {{{'N', QSerialPort::NoParity},
            {'E', QSerialPort::EvenParity}, {'O', QSerialPort::OddParity},
            {'M', QSerialPort::MarkParity}, {'S', QSerialPort::SpaceParity}}};
    static constexpr std::array<std::pair<const char *, QSerialPort::StopBits>, 3> stops
            = {{{"1", QSerialPort::OneStop}, {"1.5", QSerialPort::OneAndHalfStop},
                    {"2", QSerialPort::TwoStop}}};
    SerialSettings expected;
    expected.baudRate
            = 1 + int((uint32_t(data[0]) << 16 | uint32_t(data[1]) << 8 | data[2]) % 4000000);
    const Parity parity = parities[data[3] % parities.size()];
    expected.parity = parity.value;
    expected.dataBits = QSerialPort::DataBits(5 + data[4] % 4);
    const auto stop = stops[data[5] % stops.size()];
    expected.stopBits = stop.second;
    const auto blank = [&](int i) {
        return QLatin1String((size > size_t(6 + i) && data[6 + i] & 1) ? " " : "");
    };
    const QChar letter
            = (size > 10 && data[10] & 1) ? QChar(parity.letter).toLower() : QChar(parity.letter);
    const QString built = QStringLiteral("%1%2%3,%4%5,%6,%7%8")
                                  .arg(blank(0))
                                  .arg(expected.baudRate)
                                  .arg(blank(1))
                                  .arg(letter)
                                  .arg(blank(2))
                                  .arg(int(expected.dataBits))
                                  .arg(QLatin1String(stop.first))
                                  .arg(blank(3));
    const auto parsed = SerialSettings::parse(built);
    if (!parsed || !same(*parsed, expected))
        std::abort();
    return 0;
}
