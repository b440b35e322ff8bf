#include "loopseries.h"

#include <cmath>
#include <limits>

LoopSeries::LoopSeries(QObject *parent) : QObject(parent) { }

void LoopSeries::append(const LoopReading &reading)
{
    if (qsizetype(m_readings.size()) >= m_maxReadings)
        dropOldest(m_maxReadings / 10);
    m_readings.push_back(reading);
    m_points.push_back({reading.ms,
            reading.value ? *reading.value : std::numeric_limits<double>::quiet_NaN()});
    count(reading);
    emit appended(reading);
}

void LoopSeries::clear()
{
    m_readings.clear();
    m_points.clear();
    m_stats = {};
    m_dropped = 0;
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
    m_readings.erase(m_readings.begin(), m_readings.begin() + count);
    m_points.erase(m_points.begin(), m_points.begin() + count);
    m_dropped += count;
    // Minimum and maximum cannot be taken back one by one; counted again over what is kept.
    m_stats = {};
    for (const LoopReading &reading : m_readings)
        this->count(reading);
}
