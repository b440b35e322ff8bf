#pragma once

#include "line/record/linerecorder.h"

#include <QObject>

#include <deque>
#include <vector>

// A point of the chart: y is NaN where the reply was no number, so the line breaks there.
struct PlotPoint
{
    double x = 0;
    double y = 0;
};

// Summary of the numeric replies: what the chart prints above the plot.
struct LoopStats
{
    qsizetype points = 0; // every reply, numbers or not
    qsizetype numbers = 0;
    qsizetype notNumbers = 0;
    double last = 0; // the newest number, valid when numbers > 0
    double min = 0;
    double max = 0;
    double sum = 0;
    double mean() const { return numbers > 0 ? sum / double(numbers) : 0; }
};

// Every reply the recorder is told of (in the window, those read during loop ticks), in order,
// kept for the chart and its CSV. Bounded in count and in the memory the replies really take
// (see HistoryMemory), so a loop left running for days cannot fill the memory (the --csv file
// keeps everything).
class LoopSeries : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype DefaultMaxReadings = 1000000;

    explicit LoopSeries(QObject *parent = nullptr);

    // Takes every reply `recorder` records from now on.
    void follow(LineRecorder *recorder);
    void append(const LoopReading &reading);
    void clear();
    // At most `maxReadings` replies in `maxMemory` bytes (HistoryMemory::UnshownLimit until told
    // otherwise); a single reply larger than that is still kept.
    void setLimits(qsizetype maxReadings, qsizetype maxMemory);
    void setMaxReadings(qsizetype max) { setLimits(max, m_maxMemory); }
    qsizetype memoryUsed() const { return m_memory; }

    const std::deque<LoopReading> &readings() const { return m_readings; }
    const std::vector<PlotPoint> &points() const { return m_points; }
    const LoopStats &stats() const { return m_stats; }
    qsizetype droppedCount() const { return m_dropped; }

signals:
    void appended(const LoopReading &reading);

private:
    void dropOldest(qsizetype count);
    // How many of the oldest replies must go for the rest to take at most `memory` bytes.
    qsizetype oldestBeyond(qsizetype memory) const;
    void count(const LoopReading &reading);
    static qsizetype memoryOf(const LoopReading &reading);

    std::deque<LoopReading> m_readings;
    std::vector<PlotPoint> m_points;
    LoopStats m_stats;
    qsizetype m_dropped = 0;
    qsizetype m_maxReadings = DefaultMaxReadings;
    qsizetype m_maxMemory;
    qsizetype m_memory = 0; // taken by the readings and their points
};
