#include "stats/Quantiles.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace zel {

namespace {

constexpr std::uint64_t SignBit = std::uint64_t(1) << 63;
constexpr std::size_t MinimumBudget = 16;
constexpr std::size_t MaximumBins = std::size_t(1) << 16;

// The ordered bit pattern of a double: unsigned keys that compare as the doubles do. Positive
// doubles' patterns already ascend, so they only gain the top bit; negative ones descend, so
// all their bits flip. -0 is made 0 first, as a sort holds them equal.
std::uint64_t Key(double x)
{
    if (x == 0.0)
        x = 0.0;
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return (bits & SignBit) != 0 ? ~bits : bits | SignBit;
}

double FromKey(std::uint64_t key)
{
    return std::bit_cast<double>((key & SignBit) != 0 ? key & ~SignBit : ~key);
}

[[noreturn]] void ThrowChanged()
{
    throw std::runtime_error("the values changed while their quantiles were found; "
                             "the data source must read the same values on every walk");
}

// Values with keys lo..hi and the ranks among them still wanted. A pass either collects the
// values or counts them into bins of 2^shift keys each.
struct Task {
    std::uint64_t lo = 0, hi = 0;
    std::int64_t below = 0; // values whose key is below lo
    std::int64_t count = 0; // values whose key is in lo..hi
    std::vector<std::int64_t> ranks;

    bool collect = false;
    int shift = 0;
    std::vector<std::int64_t> bins;
    std::vector<double> values;
    std::uint64_t minKey = ~std::uint64_t(0), maxKey = 0;
    std::int64_t seen = 0;

    void Take(double x, std::uint64_t key)
    {
        ++seen;
        minKey = std::min(minKey, key);
        maxKey = std::max(maxKey, key);
        if (collect)
            values.push_back(x);
        else
            ++bins[(key - lo) >> shift];
    }
};

} // namespace

void CheckProbability(double p)
{
    if (!(p >= 0.0 && p <= 1.0)) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", p);
        throw std::out_of_range(std::string("probability ") + text + " is outside 0..1");
    }
}

std::size_t TSpanValues::Read(double* values, std::size_t capacity)
{
    const std::size_t n = std::min(capacity, values_.size() - next_);
    std::memcpy(values, values_.data() + next_, n * sizeof(double));
    next_ += n;
    return n;
}

std::vector<double> OrderStatistics(TValueSource& source, std::int64_t n, double minimum,
                                    double maximum, std::span<const std::int64_t> ranks,
                                    std::size_t budget)
{
    budget = std::max(budget, MinimumBudget);
    std::vector<std::int64_t> wanted(ranks.begin(), ranks.end());
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (!wanted.empty() && (wanted.front() < 0 || wanted.back() >= n))
        throw std::out_of_range("rank " + std::to_string(wanted.front() < 0 ? wanted.front()
                                                                            : wanted.back())
                                + " is outside 0.." + std::to_string(n - 1));

    std::vector<double> found(wanted.size());
    auto settle = [&](std::int64_t rank, double value) {
        found[std::lower_bound(wanted.begin(), wanted.end(), rank) - wanted.begin()] = value;
    };

    // The smallest and the largest value are known without a pass.
    std::vector<Task> pending(1);
    pending[0].lo = Key(minimum);
    pending[0].hi = Key(maximum);
    pending[0].count = n;
    for (const std::int64_t rank : wanted) {
        if (rank == 0)
            settle(rank, minimum);
        else if (rank == n - 1)
            settle(rank, maximum);
        else
            pending[0].ranks.push_back(rank);
    }
    if (pending[0].ranks.empty() || pending[0].lo > pending[0].hi)
        pending.clear();
    const std::uint64_t lowest = Key(minimum), highest = Key(maximum);

    while (!pending.empty()) {
        // Decide what this pass does with each task; collections share the budget and wait
        // for a later pass when it is spent.
        std::vector<Task> active, later;
        std::size_t held = 0;
        const std::size_t bins = std::min(budget, MaximumBins);
        for (Task& task : pending) {
            if (task.lo == task.hi) { // one key: all its values are equal
                for (const std::int64_t rank : task.ranks)
                    settle(rank, FromKey(task.lo));
                continue;
            }
            if (static_cast<std::uint64_t>(task.count) <= budget) {
                if (held + static_cast<std::size_t>(task.count) > budget) {
                    later.push_back(std::move(task));
                    continue;
                }
                held += static_cast<std::size_t>(task.count);
                task.collect = true;
                task.values.reserve(static_cast<std::size_t>(task.count));
            } else {
                const std::uint64_t range = task.hi - task.lo;
                while ((range >> task.shift) >= bins)
                    ++task.shift;
                task.bins.assign((range >> task.shift) + 1, 0);
            }
            active.push_back(std::move(task));
        }
        if (active.empty()) {
            pending = std::move(later);
            continue;
        }

        source.Start();
        std::int64_t read = 0;
        std::array<double, 1024> buffer;
        while (const std::size_t got = source.Read(buffer.data(), buffer.size())) {
            read += static_cast<std::int64_t>(got);
            for (std::size_t i = 0; i < got; ++i) {
                const double x = buffer[i];
                const std::uint64_t key = Key(x);
                if (key < lowest || key > highest || std::isnan(x))
                    ThrowChanged();
                for (Task& task : active) {
                    if (key >= task.lo && key <= task.hi) {
                        task.Take(x, key);
                        break; // the tasks' key ranges never overlap
                    }
                }
            }
        }
        source.Finish();
        if (read != n)
            ThrowChanged();

        // Settle what the pass found; refine the bins that are still too full.
        for (Task& task : active) {
            if (task.seen != task.count)
                ThrowChanged();
            if (task.collect) {
                auto first = task.values.begin();
                for (const std::int64_t rank : task.ranks) {
                    const auto nth = task.values.begin() + (rank - task.below);
                    std::nth_element(first, nth, task.values.end());
                    settle(rank, *nth);
                    first = nth;
                }
                continue;
            }
            if (task.minKey == task.maxKey) {
                for (const std::int64_t rank : task.ranks)
                    settle(rank, FromKey(task.minKey));
                continue;
            }
            std::int64_t before = task.below;
            std::size_t next = 0;
            for (std::size_t b = 0; b < task.bins.size() && next < task.ranks.size(); ++b) {
                const std::int64_t after = before + task.bins[b];
                if (task.ranks[next] < after) {
                    Task part;
                    const std::uint64_t width = (std::uint64_t(1) << task.shift) - 1;
                    const std::uint64_t start = task.lo + (std::uint64_t(b) << task.shift);
                    const std::uint64_t end = task.hi - start > width ? start + width : task.hi;
                    part.lo = std::max(start, task.minKey);
                    part.hi = std::min(end, task.maxKey);
                    part.below = before;
                    part.count = task.bins[b];
                    while (next < task.ranks.size() && task.ranks[next] < after)
                        part.ranks.push_back(task.ranks[next++]);
                    later.push_back(std::move(part));
                }
                before = after;
            }
        }
        pending = std::move(later);
    }

    std::vector<double> out;
    out.reserve(ranks.size());
    for (const std::int64_t rank : ranks)
        out.push_back(found[std::lower_bound(wanted.begin(), wanted.end(), rank) - wanted.begin()]);
    return out;
}

std::vector<double> Quantiles(TValueSource& source, std::int64_t n, double minimum,
                              double maximum, std::span<const double> ps, std::size_t budget)
{
    for (const double p : ps)
        CheckProbability(p);
    std::vector<double> out(ps.size(), std::numeric_limits<double>::quiet_NaN());
    if (n <= 0 || ps.empty())
        return out;
    std::vector<std::int64_t> ranks;
    for (const double p : ps) {
        const double h = static_cast<double>(n - 1) * p;
        const auto k = static_cast<std::int64_t>(std::floor(h));
        ranks.push_back(k);
        if (h > static_cast<double>(k))
            ranks.push_back(k + 1);
    }
    const std::vector<double> order = OrderStatistics(source, n, minimum, maximum, ranks, budget);
    std::size_t at = 0;
    for (std::size_t i = 0; i < ps.size(); ++i) {
        const double h = static_cast<double>(n - 1) * ps[i];
        const double f = h - std::floor(h);
        const double a = order[at++];
        if (f == 0.0) {
            out[i] = a;
            continue;
        }
        const double b = order[at++];
        const double d = b - a;
        // Values of opposite signs near the largest double have a difference that overflows;
        // there the same line is taken from both ends.
        out[i] = std::isfinite(d) ? a + f * d : a * (1.0 - f) + b * f;
    }
    return out;
}

} // namespace zel
