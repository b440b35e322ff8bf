#pragma once

#include <QTest>

// Upper time bounds are checked only in the runs labelled "timing", which CTest runs one at a
// time after everything else: on a machine busy with other suites they would fail for the
// machine, not the code. Lower bounds are functional (a wait that ends too soon is a fault) and
// are checked in every run.
inline bool TimingRun()
{
    return qEnvironmentVariableIsSet("QUILLON_TIMING_RUN");
}

#define QVERIFY_IN_TIME(condition, message)                                                        \
    do {                                                                                           \
        if (TimingRun())                                                                           \
            QVERIFY2(condition, message);                                                          \
    } while (false)

#ifdef __SANITIZE_ADDRESS__
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif
// How many times slower the sanitized build runs the same code: its latency bounds scale by it.
constexpr double SanitizedSlowdown = Sanitized ? 3 : 1;
