#pragma once

#include "line/wirelog.h"
#include "protocol/statusbits.h"

#include <QAbstractTableModel>
#include <QHash>
#include <QTimer>

#include <deque>
#include <vector>

// The live transcript as rows for a table: the newest entries only, within a count and a byte
// bound, so a device that never stops talking cannot fill the memory. Entries are taken as they
// happen but reach the table in batches on a timer: one insert per batch, not one per chunk,
// keeps a fast line from flooding the window with updates.
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
    static constexpr qsizetype DefaultMaxBytes = qsizetype(64) * 1024 * 1024;
    // A cell shows at most this many bytes of a chunk (more than its width holds); copying
    // gives it whole. Longer cell texts only cost time when the view elides them.
    static constexpr qsizetype ShownBytes = 64;
    static constexpr int BatchMs = 100;

    explicit WireModel(QObject *parent = nullptr);

    // Watches `transcript` from now on; it must outlive this model.
    void watch(WireLog *transcript);
    void setLimits(qsizetype maxEntries, qsizetype maxBytes);
    void add(const WireEntry &entry);
    // Moves what waits into the table now rather than at the next batch.
    void flush();

    qsizetype droppedCount() const { return m_dropped; }
    qsizetype maxEntries() const { return m_maxEntries; }
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
        QByteArray reply;
    };

    void decodeStatus(Row &row);

    std::deque<Row> m_rows;
    std::vector<Row> m_pending;
    qsizetype m_bytes = 0; // held by m_rows and m_pending
    qsizetype m_dropped = 0;
    qsizetype m_maxEntries = DefaultMaxEntries;
    qsizetype m_maxBytes = DefaultMaxBytes;
    QHash<int, StatusWatch> m_status;
    QTimer m_batch;
};
