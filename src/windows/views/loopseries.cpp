#include "windows/views/loopseries.h"

#include "windows/views/historymemory.h"

#include <cmath>
#include <limits>

LoopSeries::LoopSeries(QObject *parent) : QObject(parent), m_maxMemory(HistoryMemory::UnshownLimit)
{ }

void LoopSeries::follow(LineRecorder *recorder)
{
    connect(recorder, &LineRecorder::replyRecorded, this, &LoopSeries::append);
}

void LoopSeries::setLimits(qsizetype maxReadings, qsizetype maxMemory)
{
    m_maxReadings = qMax<qsizetype>(10, maxReadings);
    m_maxMemory = qMax<qsizetype>(1, maxMemory);
    if (qsizetype(m_readings.size()) > m_maxReadings)
        dropOldest(qsizetype(m_readings.size()) - m_maxReadings);
    if (m_memory > HistoryMemory::usable(m_maxMemory))
        dropOldest(oldestBeyond(HistoryMemory::usable(m_maxMemory)));
}

qsizetype LoopSeries::memoryOf(const LoopReading &reading)
{
    // The reading as a deque lays it out, its point in a vector that may be twice the size it
    // needs, and the heap behind its texts.
    return HistoryMemory::dequeSlot<LoopReading>() + qsizetype(2 * sizeof(PlotPoint))
            + HistoryMemory::heapOf(reading.command) + HistoryMemory::heapOf(reading.reply)
            + HistoryMemory::heapOf(reading.shown);
}

void LoopSeries::append(const LoopReading &reading)
{
    // The chart is the loop's: a network client's replies are in the transcript and the CSV.
    if (!reading.client.isEmpty())
        return;
    // Past a bound the oldest tenth goes at once: the figures are counted again over what is
    // kept, once per tenth, not once per reply.
    if (qsizetype(m_readings.size()) >= m_maxReadings)
        dropOldest(m_maxReadings / 10);
    m_readings.push_back(reading);
    m_readings.back().reply = HistoryMemory::tight(reading.reply);
    m_readings.back().shown = HistoryMemory::tight(reading.shown);
    m_memory += memoryOf(m_readings.back());
    m_points.push_back({reading.ms,
            reading.value ? *reading.value : std::numeric_limits<double>::quiet_NaN()});
    count(reading);
    const qsizetype usable = HistoryMemory::usable(m_maxMemory);
    if (m_memory > usable)
        dropOldest(oldestBeyond(usable - usable / 10));
    emit appended(reading);
}

qsizetype LoopSeries::oldestBeyond(qsizetype memory) const
{
    // The newest reply stays, however large.
    qsizetype over = m_memory - memory;
    qsizetype count = 0;
    while (over > 0 && count + 1 < qsizetype(m_readings.size()))
        over -= memoryOf(m_readings[size_t(count++)]);
    return count;
}

void LoopSeries::clear()
{
    m_readings.clear();
    m_points.clear();
    m_points.shrink_to_fit();
    m_stats = {};
    m_dropped = 0;
    m_memory = 0;
}

void LoopSeries::count(const LoopReading &reading)
{
    ++m_stats.points;
    if (!reading.value) {
        ++m_stats.notNumbers;
        return;
    }
    const double v = *reading.value;
    m_stats.min = m_stats.numbers == 0 ? v : std::min(m_stats.min, v);
    m_stats.max = m_stats.numbers == 0 ? v : std::max(m_stats.max, v);
    m_stats.sum += v;
    m_stats.last = v;
    ++m_stats.numbers;
}

void LoopSeries::dropOldest(qsizetype count)
{
    count = qMin(count, qsizetype(m_readings.size()));
    if (count <= 0)
        return;
    for (auto it = m_readings.begin(); it != m_readings.begin() + count; ++it)
        m_memory -= memoryOf(*it);
    m_readings.erase(m_readings.begin(), m_readings.begin() + count);
    m_points.erase(m_points.begin(), m_points.begin() + count);
    m_dropped += count;
    // Minimum and maximum cannot be taken back one by one; counted again over what is kept.
    m_stats = {};
    for (const LoopReading &reading : m_readings)
        this->count(reading);
}
