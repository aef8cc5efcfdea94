#include "zelstats/stats/ClassTally.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zel {

namespace {

// Grid cells per piece: enough that a value's walk is mostly no step at all.
constexpr std::size_t CellsPerPiece = 8;

std::int64_t CheckedAdd(std::int64_t count, std::int64_t more)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(count, more, &sum))
        throw std::overflow_error("a class count passed the largest 64-bit count");
    return sum;
}

// Bounds as a running sum: no NaN, no class ending below its start, and each class starting
// exactly where the one below it ends.
bool OrderedAndContiguous(const TFreqData& table)
{
    const double* start = table.ClassStart.data();
    const double* end = table.ClassEnd.data();
    for (int i = 0; i < table.NumClasses; ++i) {
        if (!(start[i] <= end[i]) || (i > 0 && start[i] != end[i - 1]))
            return false;
    }
    return true;
}

// Where a bound stands among the partition's bounds.
std::size_t PositionOf(const std::vector<double>& bounds, double bound)
{
    return static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), bound)
                                    - bounds.begin());
}

} // namespace

void Tally(TFreqData& table, double x)
{
    const double* start = table.ClassStart.data();
    const double* end = table.ClassEnd.data();
    std::int64_t* count = table.ClassCount.data();
    for (int i = 0; i < table.NumClasses; ++i) {
        if (start[i] <= x && x < end[i])
            count[i] = CheckedAdd(count[i], 1);
    }
}

std::int64_t ClassTally::CheckedIncrement(std::int64_t count) { return CheckedAdd(count, 1); }

ClassTally::ClassTally(std::span<TFreqData> tables)
{
    for (TFreqData& table : tables) {
        if (table.NumClasses == 0)
            continue; // an empty table counts nothing
        if (!OrderedAndContiguous(table)) {
            scanned_.push_back(&table);
            continue;
        }
        ordered_.push_back(&table);
        bounds_.push_back(table.ClassStart.data()[0]);
        for (int i = 0; i < table.NumClasses; ++i)
            bounds_.push_back(table.ClassEnd.data()[i]);
    }
    std::sort(bounds_.begin(), bounds_.end());
    bounds_.erase(std::unique(bounds_.begin(), bounds_.end()), bounds_.end());
    if (bounds_.size() < 2)
        return; // no piece has any width: no ordered class can hold a value

    const std::size_t pieces = bounds_.size() - 1;
    pieceCounts_.assign(pieces, 0);
    low_ = bounds_.front();
    high_ = bounds_.back();
    const std::size_t cells = pieces * CellsPerPiece;
    const double span = high_ - low_;
    // An infinite span gives 0 cells per unit: every value starts from the first cell, and the
    // walk still finds its piece.
    cellsPerUnit_ = std::isfinite(span) ? static_cast<double>(cells) / span : 0.0;
    firstPiece_.resize(cells);
    std::size_t piece = 0;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        const double edge = std::isfinite(span) ? low_ + span * cell / cells : low_;
        while (piece + 1 < pieces && bounds_[piece + 1] <= edge)
            ++piece;
        firstPiece_[cell] = static_cast<std::uint32_t>(piece);
    }
}

void ClassTally::AddCounts(std::span<TFreqData> into, std::span<const TFreqData> from)
{
    for (std::size_t t = 0; t < into.size() && t < from.size(); ++t) {
        std::int64_t* count = into[t].ClassCount.data();
        const std::int64_t* more = from[t].ClassCount.data();
        for (int i = 0; i < into[t].NumClasses; ++i)
            count[i] = CheckedAdd(count[i], more[i]);
    }
}

void ClassTally::AddPiecesToTables()
{
    for (TFreqData* table : ordered_) {
        const double* start = table->ClassStart.data();
        const double* end = table->ClassEnd.data();
        std::int64_t* count = table->ClassCount.data();
        for (int i = 0; i < table->NumClasses; ++i) {
            const std::size_t last = PositionOf(bounds_, end[i]);
            for (std::size_t j = PositionOf(bounds_, start[i]); j < last; ++j)
                count[i] = CheckedAdd(count[i], pieceCounts_[j]);
        }
    }
    std::fill(pieceCounts_.begin(), pieceCounts_.end(), 0);
}

} // namespace zel
