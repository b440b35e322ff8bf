// The numeric value of any text, and the address it encodes to.

#include "protocol/numericvalue.h"

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
    return 0;
}
