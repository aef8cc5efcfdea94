// A running total whose rounding errors are carried along, and the mean that follows from it.
#pragma once

#include <cmath>
#include <cstdint>

namespace zel {

// A running total with compensation: Neumaier's improvement of Kahan summation (A. Neumaier,
// "Rundungsfehleranalyse einiger Verfahren zur Summation endlicher Summen", ZAMM 54, 1974).
// The rounding error of every addition is found exactly and carried in a second sum, so the
// total is the correctly rounded sum to within an ulp or two whatever the order and the offset
// of the values: two million identifiers near 1.7e12 sum exactly, where a plain running sum
// loses their last digits and with them the mean, the variance and the skewness.
class CompensatedSum {
public:
    void Add(double x)
    {
        const double t = sum_ + x;
        // The smaller addend is the one whose low bits the addition lost.
        compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
        sum_ = t;
    }
    // The sum, rounded once.
    double Total() const { return sum_ + compensation_; }
    // What Total() leaves out of the sum, for a quotient that wants it.
    double Remainder() const { return compensation_ - (Total() - sum_); }
    // Takes in the sum of values added after this one's.
    void Combine(const CompensatedSum& later)
    {
        Add(later.sum_);
        compensation_ += later.compensation_;
    }
    // A sum whose Total() is `total` and whose Remainder() is `remainder`, as a server's
    // compensated sum hands them over (|remainder| at most half an ulp of total).
    static CompensatedSum FromParts(double total, double remainder)
    {
        CompensatedSum s;
        s.sum_ = total;
        s.compensation_ = remainder;
        return s;
    }

private:
    double sum_ = 0.0;
    double compensation_ = 0.0;
};

// total / n, corrected by what the rounding of the quotient and of the total left out, so that
// the mean is as exact as the compensated sum behind it.
inline double MeanOfTotal(double total, double remainder, std::int64_t count)
{
    const double n = static_cast<double>(count);
    const double q = total / n;
    if (!std::isfinite(q))
        return q;
    return q + (std::fma(-q, n, total) + remainder) / n;
}

} // namespace zel
