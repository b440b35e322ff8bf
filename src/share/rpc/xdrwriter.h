#pragma once

#include <QByteArray>

// Writes XDR items through the system's RPC library into a buffer of a size fixed at the start.
class XdrWriter
{
public:
    // `capacity`: the most the items written may take, padding included.
    explicit XdrWriter(qsizetype capacity);

    XdrWriter &u32(quint32 value);
    XdrWriter &i32(qint32 value);
    XdrWriter &opaque(const QByteArray &value);

    // False when an item did not fit.
    bool ok() const { return m_ok; }
    // What was written.
    QByteArray bytes() const { return m_buffer.left(m_used); }

private:
    // Writes with the library into the unused part of the buffer.
    template<typename Write>
    void put(qsizetype size, Write write);

    QByteArray m_buffer;
    qsizetype m_used = 0;
    bool m_ok = true;
};
