#include "stats/Aggregates.h"

#include "tools/ZelTools.h"

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
    return MeanOfTotal(total.Total(), total.Remainder(), count);
}

void MomentSums::Add(std::span<const double> values, double mean, PowerRule rule)
{
    for (const double x : values) {
        const double d = x - mean;
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

void DeviationPowers(std::span<const double> values, double mean, double* p2, double* p3,
                     double* p4)
{
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double d = values[i] - mean;
        // One logarithm serves the three powers; the results are those of raiseTo.
        const double lnAbs = d == 0.0 ? 0.0 : std::log(std::fabs(d));
        p2[i] = raiseToWithLog(d, lnAbs, 2);
        p3[i] = raiseToWithLog(d, lnAbs, 3);
        p4[i] = raiseToWithLog(d, lnAbs, 4);
    }
}

MomentResults FinishMoments(const MomentSums& sums, PowerRule rule)
{
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    MomentResults r;
    if (sums.n < 2) {
        r.variance = r.mu3 = r.mu4 = r.skew = r.kurtosis = nan;
        return r;
    }
    const double divisor = static_cast<double>(sums.n - 1);
    r.variance = sums.s2 / divisor;
    r.mu3 = sums.s3 / divisor;
    r.mu4 = sums.s4 / divisor;
    const double v = r.variance;
    // Skewness here is the squared moment coefficient; its sign is reported separately.
    r.skew = rule == PowerRule::Product ? Quotient(r.mu3 * r.mu3, v * v * v)
                                        : Quotient(raiseTo(r.mu3, 2), raiseTo(v, 3));
    // Kurtosis is the plain ratio; no 3 is subtracted.
    r.kurtosis = Quotient(r.mu4, v * v);
    return r;
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
    MomentSums sums;
    sums.Add(values, SumValues(values).Mean(), rule);
    return FinishMoments(sums, rule);
}

} // namespace zel
