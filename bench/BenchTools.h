// What the benchmark programs share: timing a piece of work, the best and median of repeated
// runs, and one line per result or ratio.
#pragma once

#include "zelstats/stats/ZelStats.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace zel::bench {

// Keeps the plain reads and the results from being optimised away.
inline volatile double sink = 0.0;

inline double Seconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The times of one side of a comparison, run a few times interleaved with the other side.
class Samples {
public:
    void Add(double seconds) { seconds_.push_back(seconds); }
    double Best() const { return *std::min_element(seconds_.begin(), seconds_.end()); }
    double Median() const
    {
        std::vector<double> sorted = seconds_;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t middle = sorted.size() / 2;
        return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }

private:
    std::vector<double> seconds_;
};

inline void Report(const char* what, const Samples& times)
{
    std::printf("  %-40s %8.3f s  (median %.3f s)\n", what, times.Best(), times.Median());
}

// The time of `times` as a share of `base`, against a target of at most that much (none when
// `target` is 0).
inline void ReportRatio(const char* what, const Samples& times, const Samples& base,
                        double target)
{
    const double ratio = times.Best() / base.Best();
    if (target > 0)
        std::printf("  %-40s %8.2f  (target at most %.2f: %s; ratio of medians %.2f)\n", what,
                    ratio, target, ratio <= target ? "met" : "MISSED",
                    times.Median() / base.Median());
    else
        std::printf("  %-40s %8.2f  (ratio of medians %.2f)\n", what, ratio,
                    times.Median() / base.Median());
}

// How many times faster `fast` is than `slow`, against a target of at least that much.
inline void ReportSpeedup(const char* what, const Samples& slow, const Samples& fast,
                          double target)
{
    const double ratio = slow.Best() / fast.Best();
    std::printf("  %-40s %8.2f  (target at least %.2f: %s; ratio of medians %.2f)\n", what, ratio,
                target, ratio >= target ? "met" : "MISSED", slow.Median() / fast.Median());
}

// The seconds one Summarize of an open component takes.
inline double TimeSummarize(TStatistics& component)
{
    const double seconds = Seconds([&] { component.Summarize(); });
    sink = sink + component.GetdsMean();
    return seconds;
}

} // namespace zel::bench
