#pragma once

#include <QByteArray>

// Bytes written the way the wire formats are documented: "02 34 2A".
inline QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced).replace(' ', ""));
}
