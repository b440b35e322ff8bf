#include "replynumber.h"

#include <charconv>
#include <cmath>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

QByteArrayView TrimmedBlanks(QByteArrayView text)
{
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

std::optional<double> ReadInstrumentNumber(QByteArrayView text)
{
    const QByteArrayView s = TrimmedBlanks(text);
    // The whole text must be one number: [sign] digits [. digits] [E [sign] digits], with a
    // digit on at least one side of the point.
    qsizetype i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    const qsizetype mantissa = i;
    bool sawDigit = false;
    while (i < s.size() && isDigit(s[i])) {
        ++i;
        sawDigit = true;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && isDigit(s[i])) {
            ++i;
            sawDigit = true;
        }
    }
    if (!sawDigit)
        return std::nullopt;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-'))
            ++i;
        if (i >= s.size() || !isDigit(s[i]))
            return std::nullopt;
        while (i < s.size() && isDigit(s[i]))
            ++i;
    }
    if (i != s.size())
        return std::nullopt;

    // from_chars ignores the user's locale, but takes no sign of '+': the sign is applied here.
    double value = 0;
    const char *first = s.data() + mantissa;
    const auto [end, error] = std::from_chars(first, s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size() || !std::isfinite(value))
        return std::nullopt;
    return s.front() == '-' ? -value : value;
}
