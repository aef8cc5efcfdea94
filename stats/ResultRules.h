// Rules every way of computing the statistics shares, the walks and the server's statements
// alike, so that they give the same results from the same sums.
#pragma once

#include "zelstats/stats/Aggregates.h"
#include "zelstats/stats/ZelStats.h"

#include <cmath>
#include <cstdint>

namespace zel {

// Percentages of dataCount, cumulative percentages, and the totals in cell k + 1.
inline void UpdatePercentages(TFreqData& table, std::int64_t dataCount)
{
    const int k = table.NumClasses;
    std::int64_t* count = table.ClassCount.data();
    double* percent = table.ClassPercent.data();
    double* cumulative = table.ClassCumPercent.data();
    count[k] = 0;
    for (int i = 0; i <= k; ++i) {
        percent[i] = dataCount > 0 ? static_cast<double>(count[i]) / dataCount * 100 : Undefined;
        cumulative[i] = i == 0 ? percent[0] : cumulative[i - 1] + percent[i];
        if (i < k)
            count[k] += count[i];
    }
}

} // namespace zel
