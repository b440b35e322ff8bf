#pragma once

#include "line/record/linerecorder.h"
#include "protocol/statusbits.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QTimer>

#include <deque>

// The live transcript as rows for a table: the newest entries only, within a count and a bound
// on the memory they really take (see HistoryMemory), so a device that never stops talking
// cannot fill the memory. Entries are taken as they happen but reach the table in batches on a
// timer: one insert per batch, not one per chunk, keeps a fast line from flooding the window
// with updates. Nothing is drawn or formatted for an entry until a view asks for it, and while
// no view is shown an entry costs only its keeping: no timer runs, and status replies are
// decoded only when the entries reach the table.
class WireModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column {
        TimeColumn,
        PortColumn,
        DirectionColumn,
        SizeColumn,
        HexColumn,
        TextColumn,
        StatusColumn,
        ColumnCount
    };
    static constexpr qsizetype DefaultMaxEntries = 100000;
    // A cell shows at most this many bytes of a chunk (more than its width holds); copying
    // gives it whole. Longer cell texts only cost time when the view elides them.
    static constexpr qsizetype ShownBytes = 64;
    static constexpr int BatchMs = 100;

    explicit WireModel(QObject *parent = nullptr);

    // Takes every entry `recorder` records from now on.
    void follow(LineRecorder *recorder);
    // At most `maxEntries` entries in at most `maxMemory` bytes of memory (HistoryMemory::
    // UnshownLimit until told otherwise). A single entry larger than that is still kept.
    void setLimits(qsizetype maxEntries, qsizetype maxMemory);
    void add(const WireEntry &entry);
    // Moves what waits into the table now rather than at the next batch.
    void flush();
    // Whether a view shows the table: only then do entries reach it in timed batches.
    void setShown(bool shown);

    qsizetype droppedCount() const { return m_dropped; }
    qsizetype maxEntries() const { return m_maxEntries; }
    // The memory the kept entries take, as HistoryMemory counts it.
    qsizetype memoryUsed() const { return m_memory; }
    // The row as a transcript line, whole, with its status bits after it.
    QString entryLine(int row) const;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(
            int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

signals:
    // After each batch: the rows shown and how many older ones were dropped so far.
    void batchAdded(int rows, qsizetype dropped);

private:
    struct Row
    {
        WireEntry entry;
        QString status; // the bits of a status register, on the row that completed its reply
    };
    // A status query's reply may come in several chunks; they are gathered per port.
    struct StatusWatch
    {
        StatusRegister reg = StatusRegister::None;
        Framing::Protocol protocol = Framing::Protocol::Off; // the query's
        QByteArray reply;
    };

    void decodeStatus(Row &row);
    static qsizetype memoryOf(const Row &row);
    // Moves what waits into the table, first dropping the oldest until the history holds at
    // most `memory` bytes and the count bound.
    void flushWithin(qsizetype memory);

    std::deque<Row> m_rows;
    std::deque<Row> m_pending; // a deque lets go of its memory as it empties, a vector does not
    qsizetype m_memory = 0; // taken by m_rows and m_pending
    qsizetype m_dropped = 0;
    qsizetype m_maxEntries = DefaultMaxEntries;
    qsizetype m_maxMemory;
    QHash<int, StatusWatch> m_status;
    QTimer m_batch;
    bool m_shown = false;
};
