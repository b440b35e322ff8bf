#pragma once

#include <QByteArray>
#include <QString>

#include <algorithm>

// What a history of the line (the wire view's entries, the loop chart's replies) really holds
// in memory: not only the bytes, but each block as the allocator hands it out, with its header
// and rounding, and the room a block has beyond what it holds. A stream of small chunks costs
// several times its bytes, and a chunk read off a serial port can sit in a block eight times
// its size.
namespace HistoryMemory {

// A history keeps this much until its window is first opened, so that a view nobody looks at
// costs little; from then on the amount the README promises.
constexpr qsizetype UnshownLimit = qsizetype(8) * 1024 * 1024;
constexpr qsizetype ShownLimit = qsizetype(64) * 1024 * 1024;

// What the entries of a history may count of its limit: an eighth is left to the allocator's own
// waste, the blocks freed among those still in use that it cannot give back to the system.
constexpr qsizetype usable(qsizetype limit)
{
    return limit - limit / 8;
}

// A heap block asked for `size` bytes, as glibc's allocator gives it: 8 bytes of header,
// rounded up to 16, never under 32.
constexpr qsizetype block(qsizetype size)
{
    return std::max<qsizetype>(32, (size + 8 + 15) / 16 * 16);
}

// One element of a std::deque: its share of the 512-byte blocks libstdc++ lays elements out in,
// and of the block pointers.
template<typename Element>
constexpr qsizetype dequeSlot()
{
    constexpr qsizetype perBlock = std::max<qsizetype>(1, 512 / qsizetype(sizeof(Element)));
    return (block(512) + perBlock - 1) / perBlock + 8;
}

// The heap behind a byte array or a text; none for one that refers to data it does not own
// (a literal). Data shared with others is counted whole: the bound errs on the safe side.
inline qsizetype heapOf(const QByteArray &bytes)
{
    if (bytes.capacity() == 0) // none, or not its own
        return 0;
    return block(qsizetype(sizeof(QArrayData)) + bytes.capacity() + 1);
}

inline qsizetype heapOf(const QString &text)
{
    if (text.capacity() == 0)
        return 0;
    return block(qsizetype(sizeof(QArrayData)) + 2 * (text.capacity() + 1));
}

// `bytes` in a block of its own size, so that what a history keeps is what it counts: a read
// from a port hands its bytes over in the block it read into.
inline QByteArray tight(const QByteArray &bytes)
{
    if (bytes.capacity() - bytes.size() <= bytes.size() / 8 + 32)
        return bytes;
    return QByteArray(bytes.constData(), bytes.size());
}

} // namespace HistoryMemory
