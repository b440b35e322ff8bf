#pragma once

#include <QByteArray>

// Keeps the newest `capacity` bytes of everything appended, in one block allocated once, and
// counts what it had to drop to do so. Appending is cheap whatever the size of the chunk.
class TailBuffer
{
public:
    explicit TailBuffer(qsizetype capacity) : m_capacity(capacity) { }

    void append(const QByteArray &bytes);
    // Up to `count` of the oldest bytes kept (all of them for a negative count), removed.
    QByteArray take(qsizetype count = -1);
    qsizetype size() const { return m_size; }
    // Bytes dropped since the last call.
    qint64 takeDropped();
    void clear();

private:
    qsizetype m_capacity;
    QByteArray m_ring; // allocated at the first append
    qsizetype m_start = 0;
    qsizetype m_size = 0;
    qint64 m_dropped = 0;
};
