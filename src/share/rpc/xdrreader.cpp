#include "share/rpc/xdrreader.h"

XdrReader::XdrReader(const QByteArray &bytes) : m_bytes(bytes)
{
    // Decoding only reads the buffer, whatever the library's signature says.
    xdrmem_create(
            &m_xdr, const_cast<char *>(m_bytes.constData()), u_int(m_bytes.size()), XDR_DECODE);
}

XdrReader::~XdrReader()
{
    xdr_destroy(&m_xdr);
}

qsizetype XdrReader::position() const
{
    return qsizetype(xdr_getpos(const_cast<XDR *>(&m_xdr)));
}

bool XdrReader::u32(quint32 &value)
{
    uint32_t read = 0;
    m_ok = m_ok && xdr_u_int32_t(&m_xdr, &read);
    value = m_ok ? read : 0;
    return m_ok;
}

bool XdrReader::i32(qint32 &value)
{
    int32_t read = 0;
    m_ok = m_ok && xdr_int32_t(&m_xdr, &read);
    value = m_ok ? read : 0;
    return m_ok;
}

bool XdrReader::boolean(bool &value)
{
    bool_t read = 0;
    m_ok = m_ok && xdr_bool(&m_xdr, &read);
    value = m_ok && read != 0;
    return m_ok;
}

bool XdrReader::opaque(QByteArray &value, quint32 max)
{
    value.clear();
    quint32 length = 0;
    if (!u32(length))
        return false;
    // Checked before anything is allocated: the padding is at most three bytes more.
    if (length > max || qsizetype(length) > left()) {
        m_ok = false;
        return false;
    }
    value.resize(qsizetype(length));
    m_ok = xdr_opaque(&m_xdr, value.data(), length);
    if (!m_ok)
        value.clear();
    return m_ok;
}

bool XdrReader::skipOpaque(quint32 max)
{
    QByteArray skipped;
    return opaque(skipped, max);
}
