#include "zelstats/tools/ZelTools.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/data/Messages.h"
#include "zelstats/tools/Format.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace zel {

double min(double a, double b)
{
    return a < b ? a : b;
}

double max(double a, double b)
{
    return -min(-a, -b);
}

std::int32_t imin(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(min(static_cast<double>(a), static_cast<double>(b)));
}

std::int32_t imax(std::int32_t a, std::int32_t b)
{
    return static_cast<std::int32_t>(max(static_cast<double>(a), static_cast<double>(b)));
}

std::int32_t percentage(double fraction)
{
    const double percent = fraction * 100.0;
    // Truncation of a value outside the integer range (or of NaN) has no defined result, so
    // such a fraction is refused rather than turned into an arbitrary number.
    if (!(percent > -2147483649.0 && percent < 2147483648.0))
        throw std::out_of_range("percentage: the fraction " + FloatToStr(fraction)
                                + " does not give a percentage in the 32-bit integer range");
    return static_cast<std::int32_t>(percent);
}

namespace {

// One partitioning step over positions low..high (1-based, high > low), the last element as
// pivot. Equal elements stop both scans and are exchanged across the partition. Returns the
// pivot's final position.
std::int32_t partition(std::span<double> values, std::int32_t low, std::int32_t high)
{
    auto a = [&values](std::int32_t position) -> double& { return values[position - 1]; };
    const double v = a(high);
    std::int32_t i = low - 1;
    std::int32_t j = high;
    double t;
    do {
        do {
            ++i;
        } while (i != high && a(i) < v);
        do {
            --j;
        } while (j != low && a(j) > v);
        t = a(i);
        a(i) = a(j);
        a(j) = t;
    } while (i < j);
    // The last exchange went one step too far: undo it and put the pivot in place.
    a(j) = a(i);
    a(i) = a(high);
    a(high) = t;
    return i;
}

} // namespace

void quickSort(std::span<double> a, std::int32_t low, std::int32_t high)
{
    if (high <= low)
        return;
    if (low < 1 || static_cast<std::size_t>(high) > a.size())
        throw std::out_of_range("quickSort: positions " + std::to_string(low) + " to "
                                + std::to_string(high) + " are outside 1 to "
                                + std::to_string(a.size()));
    // The partitions are those of the plain recursive sort (low part first, then high part);
    // only the smaller part is recursed into and the larger is looped over, so the stack depth
    // stays within log2 n even when the input is already sorted.
    while (high > low) {
        const std::int32_t i = partition(a, low, high);
        if (i - low < high - i) {
            quickSort(a, low, i - 1);
            low = i + 1;
        } else {
            quickSort(a, i + 1, high);
            high = i - 1;
        }
    }
}

void sortDataset(const ValueArray& source, ValueArray& destination, std::int32_t n)
{
    if (n < 0 || n > SortCapacity)
        throw std::out_of_range("sortDataset: the number of values " + std::to_string(n)
                                + " is outside 0 to " + std::to_string(SortCapacity));
    destination = source;
    quickSort(destination, 1, n);
}

std::string deleteStr(const std::string& s, std::int32_t index, std::int32_t count)
{
    const auto length = static_cast<std::int64_t>(s.size());
    if (index < 1 || index > length || count <= 0)
        return s;
    const std::int64_t removed = std::min<std::int64_t>(count, length - index + 1);
    std::string result = s;
    result.erase(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(removed));
    return result;
}

bool NumericField(const TField* field)
{
    return dynamic_cast<const TFloatField*>(field) != nullptr
        || dynamic_cast<const TIntegerField*>(field) != nullptr
        || dynamic_cast<const TSmallintField*>(field) != nullptr
        || dynamic_cast<const TWordField*>(field) != nullptr
        || dynamic_cast<const TCurrencyField*>(field) != nullptr;
}

void ParseMessage(const std::vector<std::string>& lines, std::string& text)
{
    text.clear();
    for (const std::string& line : lines) {
        text += line;
        text += "\n\r";
    }
}

// ---------------------------------------------------------------------------------------------
// Random deviates. All state belongs to the unit and is shared by every caller; it starts at
// zero, so a generator that was never initialised returns 0 until its table slots refill.

namespace {

constexpr std::int64_t M1 = 259200, IA1 = 7141, IC1 = 54773;
constexpr std::int64_t M2 = 134456, IA2 = 8121, IC2 = 28411;
constexpr std::int64_t M3 = 243000, IA3 = 4561, IC3 = 51349;
// Eight-digit decimal scale constants, deliberately not the exact reciprocals 1/M2 and 1/M1:
// the sequences applications have recorded depend on them.
constexpr long double RM2 = 7.4373773e-6L;
constexpr long double RM1 = 3.8580247e-6L;

// The states are kept in 64 bits: for every seed whose initial difference 54773 - seed fits in
// 32 bits this gives exactly the 32-bit results (every product stays below 2^31), and for the
// most negative seeds it avoids the overflow that would make the states negative.
std::int64_t glLcg1 = 0;
std::int64_t glLcg2 = 0;
std::int64_t glLcg3 = 0;
double glShuffle[98] = {}; // positions 1..97; [0] unused
std::int32_t gliset = 0;
double glSpare = 0;

// A table entry from the states of generators 1 and 2, formed in extended precision and
// rounded to double when stored.
double tableEntry()
{
    const long double entry = (static_cast<long double>(glLcg1)
                               + static_cast<long double>(glLcg2) * RM2) * RM1;
    return static_cast<double>(entry);
}

} // namespace

double ran1(std::int32_t& seed)
{
    if (seed < 0) {
        glLcg1 = (IC1 - static_cast<std::int64_t>(seed)) % M1;
        glLcg1 = (IA1 * glLcg1 + IC1) % M1;
        glLcg2 = glLcg1 % M2;
        glLcg1 = (IA1 * glLcg1 + IC1) % M1;
        glLcg3 = glLcg1 % M3;
        for (int j = 1; j <= 97; ++j) {
            glLcg1 = (IA1 * glLcg1 + IC1) % M1;
            glLcg2 = (IA2 * glLcg2 + IC2) % M2;
            glShuffle[j] = tableEntry();
        }
        seed = 1;
    }
    glLcg1 = (IA1 * glLcg1 + IC1) % M1;
    glLcg2 = (IA2 * glLcg2 + IC2) % M2;
    glLcg3 = (IA3 * glLcg3 + IC3) % M3;
    std::int64_t j = 1 + (97 * glLcg3) / M3;
    if (j > 97 || j < 1) {
        // Cannot happen while the states stay non-negative, which the 64-bit arithmetic
        // guarantees; should it ever, the index is clamped into the table so that nothing
        // outside it is read.
        MessageDlg("Problem with ran1 generator.", TMsgDlgType::mtError, mbOK);
        j = std::clamp<std::int64_t>(j, 1, 97);
    }
    const double result = 10.0 * glShuffle[j];
    glShuffle[j] = tableEntry();
    return result;
}

double expdev(std::int32_t seed)
{
    std::int32_t local = seed;
    double x;
    do {
        x = ran1(local);
    } while (!(x > 0 && x < 1));
    return -std::log(x);
}

double gasdev(std::int32_t seed)
{
    std::int32_t local = seed;
    if (gliset != 0) {
        gliset = 0;
        return glSpare;
    }
    double x1, x2, r;
    do {
        const double u1 = ran1(local);
        const double u2 = ran1(local);
        x1 = 2.0 * u1 - 1.0;
        x2 = 2.0 * u2 - 1.0;
        r = x1 * x1 + x2 * x2;
        // A pair at the very centre (r = 0) has no logarithm and is drawn again.
    } while (!(r < 1.0 && r > 0.0));
    const double fac = std::sqrt(-2.0 * std::log(r) / r);
    glSpare = x1 * fac;
    gliset = 1;
    return x2 * fac;
}

void initgliset(std::int32_t value)
{
    gliset = value;
}

} // namespace zel
