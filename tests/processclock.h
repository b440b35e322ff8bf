#pragma once

#include <algorithm>
#include <vector>

#include <sys/resource.h>

// What the CPU figures of the tests and the benchmarks are made of.

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
