// Exact quantiles of a re-readable sequence of values, found in bounded memory.
//
// A quantile interpolates linearly between order statistics: with the n values sorted
// ascending x[0..n-1] and h = (n - 1) p,
//     q(p) = x[floor(h)] + (h - floor(h)) (x[floor(h) + 1] - x[floor(h)]).
// The order statistics are found without sorting the values: each pass over the source counts
// them into a fine histogram of the bins that still hold a wanted rank, and a bin is either
// collected (when it holds no more values than the budget allows), known at once (when all its
// values are equal) or refined by the next pass. Bins are laid on the ordered bit patterns of
// the doubles, not on their values, so that no width overflows (-1e300 to 1e300) and none is
// subnormal, and every refinement divides a bin's width by the number of bins: a rank is found
// within 64 / log2(bins) passes whatever the data.
#pragma once

#include "stats/ValueSource.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zel {


// The default number of values held at once to select order statistics: 8 MB of doubles.
inline constexpr std::size_t DefaultQuantileBudget = std::size_t(1) << 20;

// Throws std::out_of_range, naming p and the range 0..1, unless 0 <= p <= 1.
void CheckProbability(double p);

// The values of ranks (0-based, each below n) of the n values the source reads, whose smallest
// is `minimum` and largest `maximum`. The source is walked a few times (Start, Read, Finish).
// Holds at most `budget` values (at least 16 are allowed for) plus a histogram of as many
// counts, at most 65,536. Throws std::runtime_error when the source reads other values than
// it was said to hold. -0 and 0 count as equal.
std::vector<double> OrderStatistics(TValueSource& source, std::int64_t n, double minimum,
                                    double maximum, std::span<const std::int64_t> ranks,
                                    std::size_t budget = DefaultQuantileBudget);

// q(p) for each p (each in 0..1, checked first) of the n values the source reads, as above;
// NaN for each when n is 0.
std::vector<double> Quantiles(TValueSource& source, std::int64_t n, double minimum,
                              double maximum, std::span<const double> ps,
                              std::size_t budget = DefaultQuantileBudget);

// Values held in memory, read as a value source (they have no records and no nulls).
class TSpanValues : public TValueSource {
public:
    explicit TSpanValues(std::span<const double> values) : values_(values) {}
    std::int64_t RecordCount() override { return static_cast<std::int64_t>(values_.size()); }
    void Start() override { next_ = 0; }
    std::size_t Read(double* values, std::size_t capacity) override;
    void Finish() override { next_ = 0; }

private:
    std::span<const double> values_;
    std::size_t next_ = 0;
};

} // namespace zel
