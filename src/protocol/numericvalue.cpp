#include "numericvalue.h"

#include "framing.h"

#include <cfenv>
#include <charconv>
#include <cmath>
#include <string>

namespace {

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n';
}

// The text with every blank removed: blanks never end a number, wherever they stand.
QString withoutBlanks(const QString &text)
{
    QString compact;
    compact.reserve(text.size());
    for (QChar c : text)
        if (!isBlank(c))
            compact.append(c);
    return compact;
}

double radixValue(const QString &digits, int radix)
{
    double value = 0;
    for (QChar c : digits) {
        const char16_t u = c.unicode();
        int digit = radix;
        if (u >= '0' && u <= '9')
            digit = u - '0';
        else if (u >= 'a' && u <= 'f')
            digit = u - 'a' + 10;
        else if (u >= 'A' && u <= 'F')
            digit = u - 'A' + 10;
        if (digit >= radix)
            break;
        value = value * radix + digit;
    }
    return value;
}

} // namespace

double NumericValue(const QString &text)
{
    const QString s = withoutBlanks(text);
    if (s.size() >= 2 && s.at(0) == u'&') {
        const QChar kind = s.at(1).toUpper();
        if (kind == u'H')
            return radixValue(s.mid(2), 16);
        if (kind == u'O')
            return radixValue(s.mid(2), 8);
    }

    // Collect the longest prefix of the form [sign] digits [. digits] [E [sign] digits].
    std::string number;
    qsizetype i = 0;
    auto ascii = [&](qsizetype at) { return at < s.size() ? s.at(at).unicode() : 0; };
    auto isAsciiDigit = [&](qsizetype at) { return ascii(at) >= '0' && ascii(at) <= '9'; };

    if (ascii(i) == '+' || ascii(i) == '-')
        number += char(ascii(i++));
    bool sawDigit = false;
    while (isAsciiDigit(i)) {
        number += char(ascii(i++));
        sawDigit = true;
    }
    if (ascii(i) == '.') {
        number += char(ascii(i++));
        while (isAsciiDigit(i)) {
            number += char(ascii(i++));
            sawDigit = true;
        }
    }
    if (!sawDigit)
        return 0;
    if (ascii(i) == 'E' || ascii(i) == 'e') {
        qsizetype j = i + 1;
        if (ascii(j) == '+' || ascii(j) == '-')
            ++j;
        if (isAsciiDigit(j)) {
            number += 'e';
            for (qsizetype k = i + 1; k < j; ++k)
                number += char(ascii(k));
            while (isAsciiDigit(j))
                number += char(ascii(j++));
        }
    }
    // from_chars, unlike strtod, ignores the user's locale: "3.5" is 3.5 in every country.
    // It also rejects a bare leading '+', so that is skipped here.
    const char *first = number.data() + (number.front() == '+' ? 1 : 0);
    double value = 0;
    const auto [end, error] = std::from_chars(first, number.data() + number.size(), value);
    if (error == std::errc::result_out_of_range) {
        const bool tiny = number.find("e-") != std::string::npos;
        const double magnitude = tiny ? 0.0 : HUGE_VAL;
        return number.front() == '-' ? -magnitude : magnitude;
    }
    return value;
}

AddressEntry EncodeAddress(const QString &typed)
{
    const double v = NumericValue(typed);
    AddressEntry entry;
    if (v > Wire::MaxAddress || (v == 0 && typed != QStringLiteral("0")))
        return entry;
    entry.accepted = true;
    if (v > 9) {
        const int previous = std::fegetround();
        std::fesetround(FE_TONEAREST);
        const int code = 48 + static_cast<int>(std::nearbyint(v));
        std::fesetround(previous);
        entry.devAddr = QString(QChar(code));
    } else {
        entry.devAddr = typed;
    }
    return entry;
}

QByteArray AddressCharacters(int address)
{
    return EncodeAddress(QString::number(address)).devAddr.toLatin1();
}
