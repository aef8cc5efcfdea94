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
        if (shift_ != 0) [[unlikely]]
            x = std::ldexp(x, -shift_);
        const double t = sum_ + x;
        if (std::isinf(t) && std::isfinite(sum_) && std::isfinite(x)) [[unlikely]] {
            // The total passed the largest double: it goes on scaled down, so that a mean that
            // is a double can still be given.
            Shrink(Shift);
            return AddScaled(std::ldexp(x, -Shift));
        }
        // The smaller addend is the one whose low bits the addition lost.
        compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
        sum_ = t;
    }
    // The sum, rounded once; an infinity when it passed the largest double.
    double Total() const { return std::ldexp(sum_ + compensation_, shift_); }
    // What Total() leaves out of the sum, for a quotient that wants it.
    double Remainder() const
    {
        return shift_ != 0 ? 0.0 : compensation_ - ((sum_ + compensation_) - sum_);
    }
    // The mean of `count` values: MeanOfTotal of the total, also where the total overflowed.
    double MeanOf(std::int64_t count) const;
    // Takes in the sum of values added after this one's.
    void Combine(const CompensatedSum& later)
    {
        if (later.shift_ > shift_)
            Shrink(later.shift_ - shift_);
        const int apart = shift_ - later.shift_;
        AddScaled(std::ldexp(later.sum_, -apart));
        compensation_ += std::ldexp(later.compensation_, -apart);
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
    // 2^64: no count of values of at most the largest double overflows once shrunk so.
    static constexpr int Shift = 64;
    void AddScaled(double x)
    {
        const double t = sum_ + x;
        compensation_ += std::fabs(sum_) >= std::fabs(x) ? (sum_ - t) + x : (x - t) + sum_;
        sum_ = t;
    }
    void Shrink(int by)
    {
        sum_ = std::ldexp(sum_, -by);
        compensation_ = std::ldexp(compensation_, -by);
        shift_ += by;
    }

    double sum_ = 0.0;
    double compensation_ = 0.0;
    int shift_ = 0; // sum_ and compensation_ hold the sum divided by 2^shift_
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

inline double CompensatedSum::MeanOf(std::int64_t count) const
{
    const double total = sum_ + compensation_;
    const double mean = MeanOfTotal(total, compensation_ - (total - sum_), count);
    return shift_ != 0 ? std::ldexp(mean, shift_) : mean;
}

} // namespace zel
