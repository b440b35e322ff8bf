#include "share/rpc/xdrwriter.h"

#include <rpc/xdr.h>

XdrWriter::XdrWriter(qsizetype capacity) : m_buffer(capacity, '\0') { }

template<typename Write>
void XdrWriter::put(qsizetype size, Write write)
{
    if (!m_ok || size > m_buffer.size() - m_used) {
        m_ok = false;
        return;
    }
    XDR xdr{};
    xdrmem_create(&xdr, m_buffer.data() + m_used, u_int(size), XDR_ENCODE);
    m_ok = write(&xdr);
    m_used += qsizetype(xdr_getpos(&xdr));
    xdr_destroy(&xdr);
}

XdrWriter &XdrWriter::u32(quint32 value)
{
    put(4, [&](XDR *xdr) {
        uint32_t item = value;
        return xdr_u_int32_t(xdr, &item) != 0;
    });
    return *this;
}

XdrWriter &XdrWriter::i32(qint32 value)
{
    put(4, [&](XDR *xdr) {
        int32_t item = value;
        return xdr_int32_t(xdr, &item) != 0;
    });
    return *this;
}

XdrWriter &XdrWriter::opaque(const QByteArray &value)
{
    const qsizetype padded = (value.size() + 3) / 4 * 4;
    u32(quint32(value.size()));
    put(padded, [&](XDR *xdr) {
        return xdr_opaque(xdr, const_cast<char *>(value.constData()), u_int(value.size())) != 0;
    });
    return *this;
}
