// The transcript's escaping. Bytes from the line: the escaped form is printable ASCII in
// quotes, and undoing the escapes (a model written separately here) gives the bytes back.
// Text from outside (names, system texts): no character that could break or reorder a line
// survives, escaping twice is escaping once, and a transcript line built from it is one line.

#include "line/linemessages.h"
#include "line/record/wirelog.h"

#include <cstdlib>

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

QByteArray unescaped(const QByteArray &quoted)
{
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"')
        std::abort();
    QByteArray out;
    for (qsizetype i = 1; i < quoted.size() - 1; ++i) {
        const char c = quoted[i];
        if (c < 0x20 || c > 0x7E)
            std::abort();
        if (c == '"')
            std::abort(); // a bare quote would end the text early
        if (c != '\\') {
            out += c;
            continue;
        }
        const char kind = quoted[++i];
        switch (kind) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            const int high = hexDigit(quoted[i + 1]);
            const int low = hexDigit(quoted[i + 2]);
            if (high < 0 || low < 0)
                std::abort();
            out += char(high * 16 + low);
            i += 2;
            break;
        }
        default:
            std::abort();
        }
    }
    return out;
}

bool breaksOrReorders(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029
            || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E
            || c == 0x200F || c == 0xFEFF;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray escaped = WireLog::escaped(bytes);
    if (unescaped(escaped) != bytes)
        std::abort();
    if (QByteArray::fromHex(WireLog::hex(bytes)) != bytes)
        std::abort();

    const QString text
            = QString::fromUtf16(reinterpret_cast<const char16_t *>(data), qsizetype(size / 2));
    const QString once = EscapeControlCharacters(text);
    for (const QChar c : once)
        if (breaksOrReorders(c.unicode()))
            std::abort();
    if (EscapeControlCharacters(once) != once)
        std::abort();
    // Outside text escaped for a message goes into the transcript unchanged.
    const QString outside = EscapeOutsideText(text);
    if (EscapeControlCharacters(outside) != outside || outside.size() < text.size())
        std::abort();
    // Nothing is lost: every character is kept or spelled out.
    if (once.size() < text.size())
        std::abort();
    const QByteArray line = WireLog::line(1.5, 1, "open", once.toUtf8());
    if (line.contains('\n') || line.contains('\r'))
        std::abort();
    const QString back = QString::fromUtf8(line);
    for (const QChar c : back)
        if (breaksOrReorders(c.unicode()))
            std::abort();
    return 0;
}
