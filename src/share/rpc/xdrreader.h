#pragma once

#include <QByteArray>

#include <rpc/xdr.h>

// Reads XDR items from bytes a client sent, through the system's RPC library. Every item is
// checked against what is left, so a length a client made up never allocates more than the
// bytes it sent; once an item fails, every later one fails too.
class XdrReader
{
public:
    explicit XdrReader(const QByteArray &bytes);
    ~XdrReader();
    XdrReader(const XdrReader &) = delete;
    XdrReader &operator=(const XdrReader &) = delete;

    bool u32(quint32 &value);
    bool i32(qint32 &value);
    bool boolean(bool &value);
    // A variable-length opaque or string: its length, at most `max`, then the bytes and their
    // padding.
    bool opaque(QByteArray &value, quint32 max);
    // Skips an opaque of at most `max` bytes.
    bool skipOpaque(quint32 max);

    bool ok() const { return m_ok; }
    qsizetype position() const;
    qsizetype left() const { return m_bytes.size() - position(); }
    // The bytes not read yet.
    QByteArray rest() const { return m_bytes.mid(position()); }

private:
    QByteArray m_bytes;
    XDR m_xdr{};
    bool m_ok = true;
};
