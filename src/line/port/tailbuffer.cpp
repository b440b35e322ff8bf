#include "line/port/tailbuffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

void TailBuffer::append(const QByteArray &bytes)
{
    if (m_capacity <= 0) {
        m_dropped += bytes.size(); // a buffer that keeps nothing still counts what it dropped
        return;
    }
    if (bytes.isEmpty())
        return;
    if (m_ring.isEmpty())
        m_ring = QByteArray(m_capacity, Qt::Uninitialized);
    // Only the newest capacity bytes of the chunk can survive.
    const qsizetype skipped = std::max<qsizetype>(0, bytes.size() - m_capacity);
    const char *from = bytes.constData() + skipped;
    qsizetype count = bytes.size() - skipped;
    m_dropped += skipped;
    const qsizetype overflow = std::max<qsizetype>(0, m_size + count - m_capacity);
    m_start = (m_start + overflow) % m_capacity;
    m_size -= overflow;
    m_dropped += overflow;
    char *ring = m_ring.data();
    qsizetype end = (m_start + m_size) % m_capacity;
    while (count > 0) {
        const qsizetype run = std::min(count, m_capacity - end);
        std::memcpy(ring + end, from, size_t(run));
        from += run;
        count -= run;
        m_size += run;
        end = (end + run) % m_capacity;
    }
}

QByteArray TailBuffer::take(qsizetype count)
{
    const qsizetype n = count < 0 ? m_size : std::min(count, m_size);
    QByteArray out(n, Qt::Uninitialized);
    const qsizetype first = std::min(n, m_capacity - m_start);
    if (n > 0) {
        std::memcpy(out.data(), m_ring.constData() + m_start, size_t(first));
        std::memcpy(out.data() + first, m_ring.constData(), size_t(n - first));
    }
    m_start = m_size == n ? 0 : (m_start + n) % m_capacity;
    m_size -= n;
    return out;
}

qint64 TailBuffer::takeDropped()
{
    return std::exchange(m_dropped, 0);
}

void TailBuffer::clear()
{
    m_start = 0;
    m_size = 0;
    m_dropped = 0;
}
