#include "windows/views/wiremodel.h"

#include "line/record/wirelog.h"
#include "windows/views/historymemory.h"

#include <QBrush>
#include <QColor>
#include <QFont>

namespace {

QByteArray shown(const QByteArray &bytes)
{
    return bytes.size() > WireModel::ShownBytes ? bytes.left(WireModel::ShownBytes) : bytes;
}

QString moreBytes(const QByteArray &bytes)
{
    return bytes.size() > WireModel::ShownBytes
            ? QStringLiteral(" \u2026 (%1 bytes more)").arg(bytes.size() - WireModel::ShownBytes)
            : QString();
}

} // namespace

WireModel::WireModel(QObject *parent)
    : QAbstractTableModel(parent), m_maxMemory(HistoryMemory::UnshownLimit)
{
    m_batch.setSingleShot(true);
    m_batch.setInterval(BatchMs);
    connect(&m_batch, &QTimer::timeout, this, &WireModel::flush);
}

void WireModel::follow(LineRecorder *recorder)
{
    connect(recorder, &LineRecorder::recorded, this, &WireModel::add);
}

void WireModel::setLimits(qsizetype maxEntries, qsizetype maxMemory)
{
    m_maxEntries = qMax<qsizetype>(1, maxEntries);
    m_maxMemory = qMax<qsizetype>(1, maxMemory);
    flush();
}

qsizetype WireModel::memoryOf(const Row &row)
{
    // The row itself, as a deque lays rows out in blocks, and the heap behind it.
    return HistoryMemory::dequeSlot<Row>() + HistoryMemory::heapOf(row.entry.bytes)
            + HistoryMemory::heapOf(row.status);
}

void WireModel::add(const WireEntry &entry)
{
    Row row{entry, {}};
    row.entry.bytes = HistoryMemory::tight(entry.bytes);
    m_memory += memoryOf(row);
    m_pending.push_back(std::move(row));
    // Over a bound, the oldest go at once, and an eighth more than needed: the memory never
    // grows past the bound, and a view sees the oldest rows go once in a while, not per chunk.
    const qsizetype usable = HistoryMemory::usable(m_maxMemory);
    if (m_memory > usable)
        flushWithin(usable - usable / 8);
    else if (qsizetype(m_pending.size()) > 2 * m_maxEntries)
        flush();
    if (m_shown && !m_batch.isActive())
        m_batch.start();
}

void WireModel::setShown(bool shown)
{
    m_shown = shown;
    if (shown)
        flush();
    else
        m_batch.stop();
}

void WireModel::decodeStatus(Row &row)
{
    StatusWatch &watch = m_status[row.entry.comPort];
    if (row.entry.word == Transcript::Word::Sent) {
        watch.reg = StatusQueryIn(row.entry.bytes);
        watch.protocol = Framing::protocolOf(row.entry.bytes);
        watch.reply.clear();
        return;
    }
    if (row.entry.word != Transcript::Word::Recv || watch.reg == StatusRegister::None)
        return;
    // A register's reply is a few bytes; a longer one is no register value, however long.
    constexpr qsizetype kLongestReply = 64;
    watch.reply += row.entry.bytes.left(kLongestReply + 1 - watch.reply.size());
    const std::optional<int> value = StatusReplyValue(watch.reply, watch.protocol);
    if (value) {
        row.status = DescribeStatusBits(watch.reg, *value);
        watch.reg = StatusRegister::None;
    } else if (watch.reply.contains('\n') || watch.reply.contains('\r')
            || watch.reply.size() > kLongestReply) {
        watch.reg = StatusRegister::None; // a complete reply that holds no register value
    }
    if (watch.reg == StatusRegister::None)
        watch.reply.clear();
}

void WireModel::flush()
{
    flushWithin(HistoryMemory::usable(m_maxMemory));
}

void WireModel::flushWithin(qsizetype memoryBound)
{
    m_batch.stop();
    // Every entry passes the status decoding, dropped or not: a query may be dropped while its
    // reply is kept.
    for (Row &row : m_pending) {
        decodeStatus(row);
        m_memory += HistoryMemory::heapOf(row.status);
    }
    // Drop the oldest first from the table, then from the batch itself if it alone is over.
    const qsizetype total = qsizetype(m_rows.size()) + qsizetype(m_pending.size());
    qsizetype fromRows = 0;
    qsizetype memory = m_memory;
    while (fromRows < qsizetype(m_rows.size())
            && (total - fromRows > m_maxEntries || memory > memoryBound)) {
        memory -= memoryOf(m_rows[size_t(fromRows)]);
        ++fromRows;
    }
    qsizetype fromPending = 0;
    while (fromPending + 1 < qsizetype(m_pending.size())
            && (total - fromRows - fromPending > m_maxEntries || memory > memoryBound)) {
        memory -= memoryOf(m_pending[size_t(fromPending)]);
        ++fromPending;
    }
    m_memory = memory;
    m_dropped += fromRows + fromPending;
    if (fromRows > 0) {
        beginRemoveRows({}, 0, int(fromRows - 1));
        m_rows.erase(m_rows.begin(), m_rows.begin() + fromRows);
        endRemoveRows();
    }
    const qsizetype adding = qsizetype(m_pending.size()) - fromPending;
    if (adding > 0) {
        const int first = int(m_rows.size());
        beginInsertRows({}, first, int(first + adding - 1));
        for (auto it = m_pending.begin() + fromPending; it != m_pending.end(); ++it)
            m_rows.push_back(std::move(*it));
        endInsertRows();
    }
    m_pending.clear();
    m_pending.shrink_to_fit();
    if (adding > 0 || fromRows > 0)
        emit batchAdded(int(m_rows.size()), m_dropped);
}

QString WireModel::entryLine(int row) const
{
    if (row < 0 || row >= int(m_rows.size()))
        return {};
    const Row &r = m_rows[size_t(row)];
    const QByteArray rest = r.entry.isChunk() ? WireLog::chunk(r.entry.bytes) : r.entry.bytes;
    QString line = QString::fromUtf8(
            WireLog::line(r.entry.ms, r.entry.comPort, Transcript::Spelling(r.entry.word), rest));
    if (!r.status.isEmpty())
        line += QStringLiteral("  [") + r.status + QLatin1Char(']');
    return line;
}

int WireModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int WireModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant WireModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= int(m_rows.size()))
        return {};
    const Row &r = m_rows[size_t(index.row())];
    const WireEntry &e = r.entry;
    const bool chunk = e.isChunk();
    if (role == Qt::ForegroundRole && !chunk
            && (e.word == Transcript::Word::Lost || e.word == Transcript::Word::Fail))
        return QBrush(QColor(0x9b, 0x10, 0x10));
    if (role == Qt::TextAlignmentRole
            && (index.column() == TimeColumn || index.column() == SizeColumn))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    // The status bits of a register with many set can be wider than their column.
    if (role == Qt::ToolTipRole && index.column() == StatusColumn && !r.status.isEmpty())
        return r.status;
    if (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)
        return {};
    switch (index.column()) {
    case TimeColumn:
        return QString::number(e.ms / 1000.0, 'f', 3);
    case PortColumn:
        return QStringLiteral("COM%1").arg(e.comPort);
    case DirectionColumn:
        return QString::fromLatin1(Transcript::Spelling(e.word));
    case SizeColumn:
        return chunk ? QVariant(e.bytes.size()) : QVariant();
    case HexColumn:
        return chunk ? QString::fromLatin1(WireLog::hex(shown(e.bytes))) + moreBytes(e.bytes)
                     : QVariant();
    case TextColumn:
        return chunk ? QString::fromLatin1(WireLog::escaped(shown(e.bytes))) + moreBytes(e.bytes)
                     : QString::fromUtf8(e.bytes);
    case StatusColumn:
        return r.status;
    default:
        return {};
    }
}

QVariant WireModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case TimeColumn:
        return QStringLiteral("Time (s)");
    case PortColumn:
        return QStringLiteral("Port");
    case DirectionColumn:
        return QStringLiteral("What");
    case SizeColumn:
        return QStringLiteral("Bytes");
    case HexColumn:
        return QStringLiteral("Hex");
    case TextColumn:
        return QStringLiteral("Text");
    case StatusColumn:
        return QStringLiteral("Status bits");
    default:
        return {};
    }
}
