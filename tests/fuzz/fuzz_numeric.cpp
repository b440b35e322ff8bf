// The numeric value of any text, and the address it encodes to; the number in any reply.

#include "protocol/numericvalue.h"
#include "protocol/replynumber.h"
#include "protocol/statusbits.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Both as typed 8-bit text and as UTF-16 (anything a keyboard can produce).
    const QString latin
            = QString::fromLatin1(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString wide
            = QString::fromUtf16(reinterpret_cast<const char16_t *>(data), qsizetype(size / 2));
    for (const QString &text : {latin, wide}) {
        const double v = NumericValue(text);
        if (std::isnan(v))
            std::abort();
        const AddressEntry entry = EncodeAddress(text);
        const bool shouldAccept = !(v > 15 || (v == 0 && text != QStringLiteral("0")));
        if (entry.accepted != shouldAccept)
            std::abort();
        if (!entry.accepted) {
            if (!entry.devAddr.isEmpty())
                std::abort();
            continue;
        }
        if (v > 9) {
            if (entry.devAddr.size() != 1 || entry.devAddr[0].unicode() < 57
                    || entry.devAddr[0].unicode() > 63)
                std::abort();
        } else if (entry.devAddr != text) {
            std::abort();
        }
    }
    // A reply's number is finite, and one the operator's reading agrees with: what the device
    // sends is never read two ways.
    const QByteArray reply(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const std::optional<double> number = ReadInstrumentNumber(reply)) {
        if (!std::isfinite(*number)
                || *number != NumericValue(QString::fromLatin1(reply).trimmed()))
            std::abort();
    }
    if (const std::optional<int> value = StatusReplyValue(reply, Framing::Protocol::Off)) {
        if (*value < 0 || *value > 255
                || DescribeStatusBits(StatusRegister::EventStatus, *value).isEmpty())
            std::abort();
    }
    return 0;
}
