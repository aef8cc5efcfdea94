#include "zelstats/stats/Aggregates.h"

#include "zelstats/tools/ZelTools.h"

#include <algorithm>
#include <limits>

namespace zel {

void LoadSums::Combine(const LoadSums& later)
{
    if (later.count == 0)
        return;
    if (count == 0) {
        minimum = later.minimum;
        maximum = later.maximum;
    } else {
        if (later.maximum > maximum)
            maximum = later.maximum;
        if (later.minimum < minimum)
            minimum = later.minimum;
    }
    count += later.count;
    total.Combine(later.total);
}

LoadSums LoadSums::FromParts(std::int64_t count, double sum, double remainder, double minimum,
                             double maximum)
{
    LoadSums sums;
    sums.count = count;
    sums.total = CompensatedSum::FromParts(sum, remainder);
    sums.minimum = minimum;
    sums.maximum = maximum;
    return sums;
}

double LoadSums::Mean() const
{
    if (count == 0)
        return std::numeric_limits<double>::quiet_NaN();
    return total.MeanOf(count);
}

void MomentSums::Add(std::span<const double> values, double mean, PowerRule rule, int shift)
{
    // Multiplying by a power of two is exact, and by 1 changes no bit.
    const double scale = std::ldexp(1.0, shift), scaledMean = mean * scale;
    for (const double x : values) {
        const double d = x * scale - scaledMean;
        if (rule == PowerRule::Product) {
            const double d2 = d * d;
            s2 += d2;
            s3 += d2 * d;
            s4 += d2 * d2;
        } else {
            const double lnAbs = d == 0.0 ? 0.0 : std::log(std::fabs(d));
            s2 += raiseToWithLog(d, lnAbs, 2);
            s3 += raiseToWithLog(d, lnAbs, 3);
            s4 += raiseToWithLog(d, lnAbs, 4);
        }
    }
    n += static_cast<std::int64_t>(values.size());
}

int DeviationShift(double mean, double minimum, double maximum)
{
    // Halves, so that no difference overflows.
    const double largest = std::max(maximum / 2 - mean / 2, mean / 2 - minimum / 2);
    if (!(largest > 0) || !std::isfinite(largest))
        return 0;
    const int exponent = std::ilogb(largest) + 1;
    if (exponent >= -120 && exponent <= 120)
        return 0;
    // 2^±1000 is itself a normal double; it brings subnormal and the largest data near enough.
    return std::clamp(-exponent, -1000, 1000);
}

void DeviationPowers(std::span<const double> values, double mean, int shift, double* p2,
                     double* p3, double* p4)
{
    const double scale = std::ldexp(1.0, shift), scaledMean = mean * scale;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double d = values[i] * scale - scaledMean;
        // One logarithm serves the three powers; the results are those of raiseTo.
        const double lnAbs = d == 0.0 ? 0.0 : std::log(std::fabs(d));
        p2[i] = raiseToWithLog(d, lnAbs, 2);
        p3[i] = raiseToWithLog(d, lnAbs, 3);
        p4[i] = raiseToWithLog(d, lnAbs, 4);
    }
}

MomentResults FinishMoments(const MomentSums& sums, PowerRule rule, int shift)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    MomentResults r;
    if (sums.n < 2) {
        r.variance = r.mu3 = r.mu4 = r.skew = r.kurtosis = r.stdDev = r.scaledMu3 = nan;
        return r;
    }
    const double divisor = static_cast<double>(sums.n - 1);
    const double v = sums.s2 / divisor, mu3 = sums.s3 / divisor, mu4 = sums.s4 / divisor;
    // Skewness here is the squared moment coefficient; its sign is reported separately.
    r.skew = rule == PowerRule::Product ? Quotient(mu3 * mu3, v * v * v)
                                        : Quotient(raiseTo(mu3, 2), raiseTo(v, 3));
    // Kurtosis is the plain ratio; no 3 is subtracted.
    r.kurtosis = Quotient(mu4, v * v);
    // Scaled back by exact powers of two: by 1 when shift is 0.
    r.variance = std::ldexp(v, -2 * shift);
    r.mu3 = std::ldexp(mu3, -3 * shift);
    r.mu4 = std::ldexp(mu4, -4 * shift);
    r.stdDev = std::ldexp(std::sqrt(v), -shift);
    r.scaledMu3 = mu3;
    return r;
}

std::string DataChangedMessage(const std::string& what, const std::string& gap)
{
    return "The data changed during the " + what
           + ": a pass read other values than the load, because the data source offers no "
             "snapshot"
           + (gap.empty() ? std::string() : ": " + gap) + ".";
}

std::string SkewSign(double mu3)
{
    if (mu3 < 0)
        return "(-)";
    if (mu3 > 0)
        return "(+)";
    if (mu3 == 0)
        return "(0)";
    return ""; // an undefined third moment has no sign
}

LoadSums SumValues(std::span<const double> values)
{
    LoadSums sums;
    sums.Add(values);
    return sums;
}

MomentResults Moments(std::span<const double> values, PowerRule rule)
{
    const LoadSums load = SumValues(values);
    const double mean = load.Mean();
    const int shift = DeviationShift(mean, load.minimum, load.maximum);
    MomentSums sums;
    sums.Add(values, mean, rule, shift);
    return FinishMoments(sums, rule, shift);
}

} // namespace zel
