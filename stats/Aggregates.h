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

#include "stats/CompensatedSum.h"

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
    // Adds a batch of values' powers, one value after the other.
    void Add(std::span<const double> values, double mean, PowerRule rule = PowerRule::ExpLog);
    // Takes in the state of values read after this one's.
    void Combine(const MomentSums& later)
    {
        n += later.n;
        s2 += later.s2;
        s3 += later.s3;
        s4 += later.s4;
    }
};

// The deviations' powers d^2, d^3, d^4 of each value from `mean`, as raiseTo gives them (one
// logarithm serves the three). A pure kernel: the moments pass runs it on pieces of a batch.
void DeviationPowers(std::span<const double> values, double mean, double* p2, double* p3,
                     double* p4);

// What the moment sums finish into. The definitions are the component's: divisors n - 1,
// skewness the squared moment coefficient mu3^2 / variance^3 with the sign of mu3 reported
// apart, kurtosis the plain ratio mu4 / variance^2 with no 3 subtracted. NaN where a value is
// not defined (fewer than two values; shape with no spread).
struct MomentResults {
    double variance = 0, mu3 = 0, mu4 = 0, skew = 0, kurtosis = 0;
};
MomentResults FinishMoments(const MomentSums& sums, PowerRule rule = PowerRule::ExpLog);

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
