// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#ifdef QT_CORE_LIB
#include <QCoreApplication>
#include <QElapsedTimer>
#endif

// Shared by the program-side benchmarks: timing and the report line.
namespace bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// One figure per line, tab-separated, for people and for the report script:
// "figure", name, value, unit, target (the largest value that passes).
inline void figure(const char *name, double value, const char *unit, double target)
{
    std::printf("figure\t%s\t%.3f\t%s\t%.3f\t%s\n", name, value, unit, target, value <= target ? "pass" : "FAIL");
    std::fflush(stdout);
}

#ifdef QT_CORE_LIB
// Runs the event loop until `condition` holds; false after `ms`.
inline bool handleEventsUntil(const std::function<bool()> &condition, int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition()) {
        if (waited.elapsed() > ms)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
#endif

} // namespace bench
