// Numeric tools shared by the whole package and offered to applications: clamping, sign and
// parity, the power function of the moment passes, the sort behind the median, small string and
// field helpers, and uniform, exponential and normal random deviates.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zel {

class TField;

// a when a < b, otherwise b.
double min(double a, double b);
// The negation of min(-a, -b).
double max(double a, double b);
std::int32_t imin(std::int32_t a, std::int32_t b);
std::int32_t imax(std::int32_t a, std::int32_t b);

// fraction × 100, truncated toward zero.
std::int32_t percentage(double fraction);
// 1 for x > 0, otherwise -1 (zero gives -1).
inline std::int32_t sgn(double x) { return x > 0 ? 1 : -1; }
inline bool even(std::int32_t n) { return n % 2 == 0; }

// The same as raiseTo(base, exponent) for a base whose ln |base| is already known, so that one
// logarithm serves several powers of the same base. Gives bit-identical results. Defined here
// so that the moment pass, which calls it three times per value, pays no calls for it.
inline double raiseToWithLog(double base, double lnAbsBase, std::int32_t exponent)
{
    if (base == 0)
        return 0;
    const double power = std::exp(static_cast<double>(exponent) * lnAbsBase);
    if (even(exponent))
        return power;
    return sgn(base) * power;
}

// base^exponent through exp and ln: 0 for a zero base (whatever the exponent); odd powers keep
// the base's sign. The result carries the rounding of exp and ln, and the moment passes depend
// on exactly that rounding.
inline double raiseTo(double base, std::int32_t exponent)
{
    if (base == 0)
        return 0;
    return raiseToWithLog(base, std::log(std::fabs(base)), exponent);
}

// The value store and its sorted copy: 10000 doubles, addressed 1..10000 (position k at
// index k - 1).
inline constexpr int SortCapacity = 10000;
using ValueArray = std::array<double, SortCapacity>;

// Copies all 10000 elements of source into destination, then sorts positions 1..n of the
// destination ascending. Throws std::out_of_range for n above 10000.
void sortDataset(const ValueArray& source, ValueArray& destination, std::int32_t n);
// Sorts positions low..high (1-based) of a in place, the last element of each range as pivot.
// Recurses into the smaller part only, so the depth stays within log2 n on sorted input.
// Throws std::out_of_range for positions outside a.
void quickSort(std::span<double> a, std::int32_t low, std::int32_t high);

// A copy of s without count characters from position index (1-based).
std::string deleteStr(const std::string& s, std::int32_t index, std::int32_t count);

// True for float, integer, small-integer, word and currency fields and their descendants.
bool NumericField(const TField* field);

// Every line followed by a line feed and a carriage return.
void ParseMessage(const std::vector<std::string>& lines, std::string& text);

// Uniform deviates from 0 up to about 10 (three linear congruential generators and a
// 97-entry shuffle table). A negative seed (re)initialises and is set to 1.
double ran1(std::int32_t& seed);
// Exponential deviate with mean 1; the seed is taken by value.
double expdev(std::int32_t seed);
// Standard normal deviate, drawn in pairs by the polar method; the seed is taken by value.
double gasdev(std::int32_t seed);
// Sets the flag that says whether gasdev holds the second deviate of a pair.
void initgliset(std::int32_t value);

} // namespace zel
