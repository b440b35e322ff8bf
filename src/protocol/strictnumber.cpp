#include "strictnumber.h"

#include <cmath>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

} // namespace

std::optional<double> StrictNumber(const QByteArray &text)
{
    const QByteArray number = text.trimmed();
    qsizetype i = 0;
    const qsizetype size = number.size();
    if (i < size && (number[i] == '+' || number[i] == '-'))
        ++i;
    qsizetype digits = 0;
    while (i < size && isDigit(number[i])) {
        ++i;
        ++digits;
    }
    if (i < size && number[i] == '.') {
        ++i;
        while (i < size && isDigit(number[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return std::nullopt;
    if (i < size && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        if (i < size && (number[i] == '+' || number[i] == '-'))
            ++i;
        qsizetype exponentDigits = 0;
        while (i < size && isDigit(number[i])) {
            ++i;
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return std::nullopt;
    }
    if (i != size)
        return std::nullopt;
    // QByteArray reads in the C locale whatever the process locale says, so "1.5" stays 1.5
    // on a German desk; the checks above keep it from reading more (hex, "inf", "nan").
    bool ok = false;
    const double value = number.toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}
