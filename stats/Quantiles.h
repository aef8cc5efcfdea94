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

#include "zelstats/stats/ValueSource.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <vector>

namespace zel {


// The default number of values (or histogram counts) held at once to select order
// statistics: 4 MB.
inline constexpr std::size_t DefaultQuantileBudget = std::size_t(1) << 19;

// Throws std::out_of_range, naming p and the range 0..1, unless 0 <= p <= 1.
void CheckProbability(double p);

// A walk over the values read other values than the ones the extents said.
class EValuesChanged : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A re-readable sequence of values, each belonging to one group 0, 1, 2, ...: the values of
// many groups read in one walk.
class TGroupedValues {
public:
    virtual ~TGroupedValues() = default;
    virtual void Start() = 0;
    // Puts up to `capacity` further values and their groups into `values` and `groups`, and
    // returns how many; 0 at the end.
    virtual std::size_t Read(double* values, std::uint32_t* groups, std::size_t capacity) = 0;
    virtual void Finish() = 0;
};

// What is known of one group's values before their order statistics are sought.
struct TGroupExtent {
    std::int64_t count = 0;
    double minimum = 0, maximum = 0;
};

// Told of every block of values (and their groups) that one walk over a source reads, for
// work that would otherwise walk the source once more.
using TBlockVisitor =
    std::function<void(std::span<const double> values, std::span<const std::uint32_t> groups)>;

// For each group, the values of its `ranks[group]` (0-based, each below its count). Walks the
// source a few times, every group at once. Holds at most `budget` values and counts together
// (at least 16 are allowed for), whatever the number of groups and values: a pass admits the
// groups' work up to the budget and leaves the rest to the next. Throws EValuesChanged when
// the source reads other values than the extents said. -0 and 0 count as equal.
std::vector<std::vector<double>> OrderStatistics(
    TGroupedValues& source, std::span<const TGroupExtent> groups,
    std::span<const std::vector<std::int64_t>> ranks, std::size_t budget = DefaultQuantileBudget,
    const TBlockVisitor& visit = {});

// For each group, q(p) for each p (each in 0..1, checked first), as above; NaN for a group
// with no values. `visit`, when given, is shown every value exactly once, in the source's
// order, during the first walk.
std::vector<std::vector<double>> Quantiles(TGroupedValues& source,
                                           std::span<const TGroupExtent> groups,
                                           std::span<const double> ps,
                                           std::size_t budget = DefaultQuantileBudget,
                                           const TBlockVisitor& visit = {});

// The same for the n values of a plain value source, all of one group.
std::vector<double> Quantiles(TValueSource& source, std::int64_t n, double minimum,
                              double maximum, std::span<const double> ps,
                              std::size_t budget = DefaultQuantileBudget);

// The same for values held in memory: q(p) of the values for each p; NaN with no values.
std::vector<double> Quantiles(std::span<const double> values, std::span<const double> ps);

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
