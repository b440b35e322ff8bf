#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

// What the CPU, memory and latency figures of the tests and the benchmarks are made of.

// User and system time this process has used, in seconds.
inline double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The p-th (0 to 1) value of `values`, nearest rank.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(p * double(values.size() - 1) + 0.5)];
}

// This process's resident memory (VmRSS:), or the most of it since the start or the last
// resetPeakResident() (VmHWM:), in MiB; -1 where the system does not say.
inline double residentMiB(const std::string &field = "VmRSS:")
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + field.size()) / 1024.0;
    return -1;
}
inline void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

inline long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch())
            .count();
}

// Events posted from another thread every 5 ms; the longest any of them waited is how long a
// click or a screen reader's request would have waited for the window.
class LatencyProbe : public QObject
{
public:
    static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 21);
    struct Stamp : QEvent
    {
        explicit Stamp(long long at) : QEvent(kType), postedNs(at) { }
        long long postedNs;
    };
    LatencyProbe()
        : m_thread([this] {
              while (!m_stop) {
                  QCoreApplication::postEvent(this, new Stamp(nowNs()));
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              }
          })
    { }
    // Starts afresh, as for a new measurement.
    void reset() { m_longestNs = 0; }
    ~LatencyProbe() override
    {
        m_stop = true;
        m_thread.join();
        QCoreApplication::removePostedEvents(this);
    }
    double longestMs() const { return m_longestNs / 1e6; }

protected:
    bool event(QEvent *e) override
    {
        if (e->type() != kType)
            return QObject::event(e);
        m_longestNs = std::max(m_longestNs, nowNs() - static_cast<Stamp *>(e)->postedNs);
        return true;
    }

private:
    std::atomic<bool> m_stop{false};
    long long m_longestNs = 0;
    std::thread m_thread;
};
