// Counting values into class tables by the rule every table shares: a value counts in each
// class whose bounds hold it, start <= x < end.
#pragma once

#include "zelstats/stats/ZelStats.h"

#include <cstdint>
#include <span>
#include <vector>

namespace zel {

// Adds one to every class of the table that holds x, scanning the classes one by one.
void Tally(TFreqData& table, double x);

// Counts a pass's values into several tables at once, at a cost per value that does not grow
// with the number of tables or classes.
//
// Tables laid out as a running sum are ordered and contiguous, so at most one class of each
// holds a value. All their bounds together cut the number line into pieces, each of which lies
// inside one class of every such table (or outside its span). A value finds its piece from a
// grid over the span and a walk against the stored bounds, so a value on a bound lands exactly
// where a scan over every class would put it; the pieces' counts are added into the classes
// at the end. A table whose bounds are not so ordered (its class count changed since the last
// load) is scanned class by class for every value.
class ClassTally {
public:
    // The tables' counts are added to, not replaced; they must outlive the tally.
    explicit ClassTally(std::span<TFreqData> tables);

    void Count(double x)
    {
        if (x >= low_ && x < high_)
            CountPiece(x);
        for (TFreqData* table : scanned_)
            Tally(*table, x);
    }

    // Adds the counted pieces into the ordered tables' classes.
    void AddPiecesToTables();

    // Adds every class count of `from` to the same class of `into`, table by table: the
    // counts of values tallied apart, into tables laid out alike.
    static void AddCounts(std::span<TFreqData> into, std::span<const TFreqData> from);

private:
    void CountPiece(double x)
    {
        // NaN (an infinite span) and the rounding at the top end both take the last cell.
        const double cell = (x - low_) * cellsPerUnit_;
        std::size_t j = cell < static_cast<double>(firstPiece_.size())
                            ? firstPiece_[static_cast<std::size_t>(cell)]
                            : firstPiece_.back();
        // Both walks stop inside the partition, as bounds_.front() <= x < bounds_.back().
        while (x < bounds_[j])
            --j;
        while (x >= bounds_[j + 1])
            ++j;
        pieceCounts_[j] = CheckedIncrement(pieceCounts_[j]);
    }

    static std::int64_t CheckedIncrement(std::int64_t count);

    std::vector<TFreqData*> ordered_;
    std::vector<TFreqData*> scanned_;
    std::vector<double> bounds_;                 // every ordered table's bounds, ascending, once
    std::vector<std::int64_t> pieceCounts_;      // values in [bounds_[j], bounds_[j + 1])
    std::vector<std::uint32_t> firstPiece_;      // the piece at each grid cell's lower edge
    double low_ = 0.0, high_ = 0.0;              // empty until there are pieces
    double cellsPerUnit_ = 0.0;
};

} // namespace zel
