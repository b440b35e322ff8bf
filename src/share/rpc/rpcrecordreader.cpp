#include "share/rpc/rpcrecordreader.h"

#include <QtEndian>

#include <algorithm>

namespace {
constexpr qsizetype kMarkBytes = 4;
constexpr quint32 kLastFragment = 0x80000000U;
} // namespace

RpcRecordReader::RpcRecordReader(qsizetype maxRecordBytes) : m_max(maxRecordBytes) { }

qsizetype RpcRecordReader::wanted() const
{
    if (m_ready || m_refusal)
        return 0;
    return m_inFragment ? m_fragmentLeft : kMarkBytes - m_mark.size();
}

qsizetype RpcRecordReader::take(const char *data, qsizetype size)
{
    qsizetype taken = 0;
    while (taken < size && wanted() > 0) {
        const qsizetype part = std::min(size - taken, wanted());
        if (m_inFragment) {
            m_record.append(data + taken, part);
            m_fragmentLeft -= part;
        } else {
            m_mark.append(data + taken, part);
        }
        taken += part;

        if (!m_inFragment && m_mark.size() == kMarkBytes) {
            const quint32 mark = qFromBigEndian<quint32>(m_mark.constData());
            m_mark.clear();
            m_lastFragment = (mark & kLastFragment) != 0;
            const qsizetype length = qsizetype(mark & ~kLastFragment);
            if (length > m_max - m_record.size()) {
                m_refusal = QStringLiteral("a call of more than %1 bytes").arg(m_max);
                m_record.clear();
                return taken;
            }
            m_inFragment = true;
            m_fragmentLeft = length; // kept as it comes: a mark alone costs no memory
        }
        if (m_inFragment && m_fragmentLeft == 0) {
            m_inFragment = false;
            m_ready = m_lastFragment;
        }
    }
    return taken;
}

QByteArray RpcRecordReader::takeRecord()
{
    if (!m_ready)
        return {};
    m_ready = false;
    return std::exchange(m_record, QByteArray());
}
