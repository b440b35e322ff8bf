#include "escapedbytes.h"

QByteArray EscapedBytes(const QByteArray &bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 2);
    out += '"';
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (code >= 0x20 && code < 0x7F) {
                out += c;
            } else {
                out += "\\x";
                out += QByteArray::number(code, 16).rightJustified(2, '0').toUpper();
            }
        }
    }
    out += '"';
    return out;
}

bool UnescapeBytes(const QString &text, QByteArray &bytes)
{
    bytes.clear();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.unicode() > 0xFF)
            return false;
        if (c != u'\\') {
            bytes += char(c.unicode());
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text.at(i).unicode()) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '"':
            bytes += '"';
            break;
        case '\\':
            bytes += '\\';
            break;
        case 'x': {
            bool ok = false;
            const QString digits = text.mid(i + 1, 2);
            const uint code = digits.toUInt(&ok, 16);
            // toUInt would take a sign or a blank; an escape is two hex digits, no more.
            if (digits.size() != 2 || !ok || !digits.at(0).isLetterOrNumber()
                    || !digits.at(1).isLetterOrNumber())
                return false;
            bytes += char(code);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}
