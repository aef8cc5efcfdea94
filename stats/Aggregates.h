// The partial states every statistic summed over values is made of, and the pure kernels that
// fill and finish them.
//
// Each state has four operations: it starts empty, adds a batch of values, combines with
// another state of values read after its own, and finishes into results. Threads, spool blocks,
// a server's partial rows and shards each make states; their owner combines them in a fixed
// order (the order of the values they stand for), so a result never depends on how the work
// was split. A state is built from a server's parts with plain aggregate initialisation or
// FromParts, then combined like any other.
#pragma once

#include "zelstats/stats/CompensatedSum.h"

#include <cmath>
#include <cstdint>
#include <span>
#include <string>

namespace zel {

// What a load keeps of its values as they come: their number, their compensated total and
// their extremes (the first value, then every value that passes them). The component's load
// and describe's walk share it, so that they agree to the bit.
struct LoadSums {
    std::int64_t count = 0;
    CompensatedSum total;
    double minimum = std::nan(""), maximum = std::nan("");

    void Add(double x)
    {
        if (count == 0) {
            minimum = x;
            maximum = x;
        } else {
            if (x > maximum)
                maximum = x;
            if (x < minimum)
                minimum = x;
        }
        ++count;
        total.Add(x);
    }
    void Add(std::span<const double> values)
    {
        for (const double x : values)
            Add(x);
    }
    // Takes in the state of values read after this one's.
    void Combine(const LoadSums& later);

    // A state from a server's parts: the count, the total as its rounded sum and what the
    // rounding left out, and the extremes (NaN with no value).
    static LoadSums FromParts(std::int64_t count, double sum, double remainder, double minimum,
                              double maximum);

    // The mean, as exact as the compensated total, and finite whenever it is a double even
    // where the plain total overflows; NaN with no value.
    double Mean() const;
};

// How the powers of a deviation are raised. The summary raises through exp and ln (raiseTo),
// as it always has, and its numbers depend on that rounding; describe multiplies. The two agree
// to about 1e-15 a power.
enum class PowerRule { ExpLog, Product };

// What a pass saw of the values: their number and extremes, by LoadSums' rule, for the check
// that it saw what the load saw.
struct ValueExtent {
    std::int64_t count = 0;
    double minimum = std::nan(""), maximum = std::nan("");

    void Add(double x)
    {
        if (count == 0 || x < minimum)
            minimum = x;
        if (count == 0 || x > maximum)
            maximum = x;
        ++count;
    }
    // The same number of values and the same extremes as the load's.
    bool Matches(const LoadSums& load) const
    {
        return count == load.count
               && (count == 0 || (minimum == load.minimum && maximum == load.maximum));
    }
};

// The one line a summary or describe fails with when a pass saw other values than the load:
// "The data changed during the <what> ..." naming why the source could not hold it still,
// `gap` (DataCursor::SnapshotGap) appended when not empty.
std::string DataChangedMessage(const std::string& what, const std::string& gap);

// The sums of the second, third and fourth powers of the deviations of n values from a mean
// given before the pass. A server's piece rows are {count, s2, s3, s4}.
struct MomentSums {
    std::int64_t n = 0;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;

    // Adds the values' powers one after the other, in order.
    void AddPowers(const double* p2, const double* p3, const double* p4, std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i) {
            s2 += p2[i];
            s3 += p3[i];
            s4 += p4[i];
        }
        n += static_cast<std::int64_t>(count);
    }
    // Adds a batch of values' powers, one value after the other; each deviation is taken as
    // x * 2^shift - mean * 2^shift (see DeviationShift).
    void Add(std::span<const double> values, double mean, PowerRule rule = PowerRule::ExpLog,
             int shift = 0);
    // Takes in the state of values read after this one's.
    void Combine(const MomentSums& later)
    {
        n += later.n;
        s2 += later.s2;
        s3 += later.s3;
        s4 += later.s4;
    }
};

// The power of two 2^shift the deviations from `mean` are multiplied by before they are raised,
// so that neither their sixth powers (the variance cubed) nor the reciprocals of those leave
// the doubles: 0 for deviations of at most 2^120 and at least 2^-120 (all ordinary data, whose
// results are then those of the plain deviations to the bit); else one that brings the
// largest deviation near 1. Skewness and kurtosis do not change with the scale; the variance,
// the moments and the standard deviation are scaled back at the end.
int DeviationShift(double mean, double minimum, double maximum);

// The deviations' powers d^2, d^3, d^4 of each value from `mean`, as raiseTo gives them (one
// logarithm serves the three), d = x * 2^shift - mean * 2^shift. A pure kernel: the moments
// pass runs it on pieces of a batch.
void DeviationPowers(std::span<const double> values, double mean, int shift, double* p2,
                     double* p3, double* p4);

// What the moment sums finish into. The definitions are the component's: divisors n - 1,
// skewness the squared moment coefficient mu3^2 / variance^3 with the sign of mu3 reported
// apart, kurtosis the plain ratio mu4 / variance^2 with no 3 subtracted. NaN where a value is
// not defined (fewer than two values; shape with no spread).
struct MomentResults {
    double variance = 0, mu3 = 0, mu4 = 0, skew = 0, kurtosis = 0;
    // Worked out from the scaled moments, so finite wherever the true value is a double.
    double stdDev = 0;
    // mu3 before it is scaled back: its sign holds where mu3 itself underflows.
    double scaledMu3 = 0;
};
// Sums of deviations scaled by 2^shift are scaled back here.
MomentResults FinishMoments(const MomentSums& sums, PowerRule rule = PowerRule::ExpLog,
                            int shift = 0);

// a / b, or undefined where the quotient is: a zero divisor, or an overflow to infinity.
inline double Quotient(double a, double b)
{
    if (b == 0.0)
        return std::nan("");
    const double q = a / b;
    return std::isfinite(q) ? q : std::nan("");
}

// "(-)", "(+)" or "(0)": the sign of a third moment; empty when it is undefined.
std::string SkewSign(double mu3);

// Pure kernels over values held in memory, for a test or a caller with a vector.
// The sums of the values' load, in order.
LoadSums SumValues(std::span<const double> values);
// The central moment sums about the values' own mean (LoadSums::Mean), then finished.
MomentResults Moments(std::span<const double> values, PowerRule rule = PowerRule::ExpLog);

} // namespace zel
