#include "zelstats/stats/Quantiles.h"

#include "zelstats/stats/Aggregates.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
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
    throw EValuesChanged("the values changed while their quantiles were found; "
                             "the data source must read the same values on every walk");
}

// Values of one group with keys lo..hi, and the ranks among them still wanted. A pass either
// collects the values or counts them into bins of 2^shift keys each.
struct Task {
    std::uint32_t group = 0;
    std::uint64_t lo = 0, hi = 0;
    std::int64_t below = 0; // values of the group whose key is below lo
    std::int64_t count = 0; // values of the group whose key is in lo..hi
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

// A value source read as one group.
class OneGroup : public TGroupedValues {
public:
    explicit OneGroup(TValueSource& source) : source_(source) {}
    void Start() override { source_.Start(); }
    std::size_t Read(double* values, std::uint32_t* groups, std::size_t capacity) override
    {
        const std::size_t n = source_.Read(values, capacity);
        std::fill_n(groups, n, 0u);
        return n;
    }
    void Finish() override { source_.Finish(); }

private:
    TValueSource& source_;
};

} // namespace

void CheckProbability(double p)
{
    if (!(p >= 0.0 && p <= 1.0)) {
        // Written with to_chars: a message never follows the process locale.
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, p).ptr;
        throw std::out_of_range("probability " + std::string(text, end) + " is outside 0..1");
    }
}

std::size_t TSpanValues::Read(double* values, std::size_t capacity)
{
    const std::size_t n = std::min(capacity, values_.size() - next_);
    std::memcpy(values, values_.data() + next_, n * sizeof(double));
    next_ += n;
    return n;
}

namespace {

// One selection of order statistics: what is wanted of each group, what is found, and the
// tasks that are left for the next pass.
class Selection {
public:
    Selection(TGroupedValues& source, std::span<const TGroupExtent> groups,
              std::span<const std::vector<std::int64_t>> ranks, std::size_t budget)
        : source_(source), groups_(groups), budget_(std::max(budget, MinimumBudget)),
          wanted_(groups.size()), found_(groups.size()), firstTask_(groups.size() + 1)
    {
        for (std::uint32_t g = 0; g < groups.size(); ++g)
            Plan(g, ranks[g]);
    }

    // Passes over the source until every rank is found; `visit` is shown the first pass, or a
    // pass of its own when none is needed.
    void Run(const TBlockVisitor& visit);
    std::vector<std::vector<double>> Results(std::span<const std::vector<std::int64_t>> ranks) const;

private:
    void Plan(std::uint32_t g, const std::vector<std::int64_t>& ranks);
    void Settle(std::uint32_t g, std::int64_t rank, double value)
    {
        const auto& w = wanted_[g];
        found_[g][std::lower_bound(w.begin(), w.end(), rank) - w.begin()] = value;
    }
    std::vector<Task> Admit(std::vector<Task>& later);
    void ReadPass(std::vector<Task>& active, const TBlockVisitor* visit);
    void Refine(std::vector<Task>& active, std::vector<Task>& later);
    void Split(const Task& task, std::vector<Task>& later);

    TGroupedValues& source_;
    std::span<const TGroupExtent> groups_;
    const std::size_t budget_;
    std::vector<std::vector<std::int64_t>> wanted_;
    std::vector<std::vector<double>> found_;
    std::vector<Task> pending_;
    std::int64_t total_ = 0;
    std::vector<std::size_t> firstTask_;
    std::vector<double> values_ = std::vector<double>(1024);
    std::vector<std::uint32_t> valueGroups_ = std::vector<std::uint32_t>(1024);
};

void Selection::Plan(std::uint32_t g, const std::vector<std::int64_t>& ranks)
{
    const TGroupExtent& extent = groups_[g];
    total_ += extent.count;
    std::vector<std::int64_t>& w = wanted_[g];
    w = ranks;
    std::sort(w.begin(), w.end());
    w.erase(std::unique(w.begin(), w.end()), w.end());
    if (!w.empty() && (w.front() < 0 || w.back() >= extent.count))
        throw std::out_of_range("rank " + std::to_string(w.front() < 0 ? w.front() : w.back())
                                + " is outside 0.." + std::to_string(extent.count - 1));
    found_[g].resize(w.size());
    // The smallest and the largest value are known without a pass.
    Task task;
    task.group = g;
    task.lo = Key(extent.minimum);
    task.hi = Key(extent.maximum);
    task.count = extent.count;
    for (std::size_t i = 0; i < w.size(); ++i) {
        if (w[i] == 0)
            found_[g][i] = extent.minimum;
        else if (w[i] == extent.count - 1)
            found_[g][i] = extent.maximum;
        else
            task.ranks.push_back(w[i]);
    }
    if (!task.ranks.empty())
        pending_.push_back(std::move(task));
}

void Selection::Run(const TBlockVisitor& visit)
{
    bool visited = false;
    while (!pending_.empty()) {
        std::vector<Task> later;
        std::vector<Task> active = Admit(later);
        if (active.empty())
            break;
        ReadPass(active, visit && !visited ? &visit : nullptr);
        visited = true;
        Refine(active, later);
        std::sort(later.begin(), later.end(), [](const Task& a, const Task& b) {
            return a.group != b.group ? a.group < b.group : a.lo < b.lo;
        });
        pending_ = std::move(later);
    }
    if (visit && !visited) {
        source_.Start();
        while (const std::size_t got =
                   source_.Read(values_.data(), valueGroups_.data(), values_.size()))
            visit(std::span(values_.data(), got), std::span(valueGroups_.data(), got));
        source_.Finish();
    }
}

// Admits work to this pass up to the budget, the first task always; the rest waits. Tasks stay
// ordered by group and key, so that a group's tasks are found together.
std::vector<Task> Selection::Admit(std::vector<Task>& later)
{
    std::vector<Task> active;
    std::size_t held = 0;
    // Histograms share the budget: many groups too large to collect get coarser bins (at least
    // 1,024, or the whole budget when it is smaller), so that a pass serves many.
    const auto large = std::count_if(pending_.begin(), pending_.end(), [&](const Task& task) {
        return static_cast<std::uint64_t>(task.count) > budget_;
    });
    const std::size_t bins = std::max(
        std::min(budget_, std::size_t(1024)),
        std::min(MaximumBins, budget_ / static_cast<std::size_t>(std::max<long>(large, 1))));
    for (Task& task : pending_) {
        if (task.lo >= task.hi) { // one key: all its values are equal
            for (const std::int64_t rank : task.ranks)
                Settle(task.group, rank, FromKey(task.lo));
            continue;
        }
        const bool collect = static_cast<std::uint64_t>(task.count) <= budget_;
        const std::size_t cost = collect ? static_cast<std::size_t>(task.count) : bins;
        if (!active.empty() && held + cost > budget_) {
            later.push_back(std::move(task));
            continue;
        }
        held += cost;
        task.collect = collect;
        if (collect) {
            task.values.reserve(static_cast<std::size_t>(task.count));
        } else {
            const std::uint64_t range = task.hi - task.lo;
            while ((range >> task.shift) >= bins)
                ++task.shift;
            task.bins.assign((range >> task.shift) + 1, 0);
        }
        active.push_back(std::move(task));
    }
    return active;
}

void Selection::ReadPass(std::vector<Task>& active, const TBlockVisitor* visit)
{
    std::fill(firstTask_.begin(), firstTask_.end(), 0);
    for (const Task& task : active)
        ++firstTask_[task.group + 1];
    for (std::size_t g = 1; g < firstTask_.size(); ++g)
        firstTask_[g] += firstTask_[g - 1];
    // The key ranges apart, in order, for the search of every value.
    std::vector<std::uint64_t> los, his;
    for (const Task& task : active) {
        los.push_back(task.lo);
        his.push_back(task.hi);
    }
    source_.Start();
    std::int64_t read = 0;
    while (const std::size_t got = source_.Read(values_.data(), valueGroups_.data(), values_.size())) {
        read += static_cast<std::int64_t>(got);
        if (visit != nullptr)
            (*visit)(std::span(values_.data(), got), std::span(valueGroups_.data(), got));
        for (std::size_t i = 0; i < got; ++i) {
            const double x = values_[i];
            const std::uint32_t g = valueGroups_[i];
            if (g >= groups_.size() || std::isnan(x))
                ThrowChanged();
            const std::uint64_t key = Key(x);
            // A group's tasks are ordered by key and never overlap.
            for (std::size_t t = firstTask_[g]; t < firstTask_[g + 1] && key >= los[t]; ++t) {
                if (key <= his[t]) {
                    active[t].Take(x, key);
                    break;
                }
            }
        }
    }
    source_.Finish();
    if (read != total_)
        ThrowChanged();
}

// Settles what the pass found; the bins that are still too full go on to the next.
void Selection::Refine(std::vector<Task>& active, std::vector<Task>& later)
{
    for (Task& task : active) {
        if (task.seen != task.count)
            ThrowChanged();
        if (task.collect) {
            auto first = task.values.begin();
            for (const std::int64_t rank : task.ranks) {
                const auto nth = task.values.begin() + (rank - task.below);
                std::nth_element(first, nth, task.values.end());
                Settle(task.group, rank, *nth);
                first = nth;
            }
        } else if (task.minKey == task.maxKey) {
            for (const std::int64_t rank : task.ranks)
                Settle(task.group, rank, FromKey(task.minKey));
        } else {
            Split(task, later);
        }
    }
}

// The bins of a histogram that hold a wanted rank, each a task of its own.
void Selection::Split(const Task& task, std::vector<Task>& later)
{
    std::int64_t before = task.below;
    std::size_t next = 0;
    for (std::size_t b = 0; b < task.bins.size() && next < task.ranks.size(); ++b) {
        const std::int64_t after = before + task.bins[b];
        if (task.ranks[next] < after) {
            Task part;
            part.group = task.group;
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

std::vector<std::vector<double>> Selection::Results(
    std::span<const std::vector<std::int64_t>> ranks) const
{
    std::vector<std::vector<double>> out(groups_.size());
    for (std::uint32_t g = 0; g < groups_.size(); ++g) {
        for (const std::int64_t rank : ranks[g])
            out[g].push_back(found_[g][std::lower_bound(wanted_[g].begin(), wanted_[g].end(), rank)
                                       - wanted_[g].begin()]);
    }
    return out;
}

} // namespace

std::vector<std::vector<double>> OrderStatistics(TGroupedValues& source,
                                                 std::span<const TGroupExtent> groups,
                                                 std::span<const std::vector<std::int64_t>> ranks,
                                                 std::size_t budget, const TBlockVisitor& visit)
{
    Selection selection(source, groups, ranks, budget);
    selection.Run(visit);
    return selection.Results(ranks);
}

std::vector<std::vector<double>> Quantiles(TGroupedValues& source,
                                           std::span<const TGroupExtent> groups,
                                           std::span<const double> ps, std::size_t budget,
                                           const TBlockVisitor& visit)
{
    for (const double p : ps)
        CheckProbability(p);
    std::vector<std::vector<std::int64_t>> ranks(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
        const std::int64_t n = groups[g].count;
        for (const double p : ps) {
            if (n <= 0)
                break;
            const double h = static_cast<double>(n - 1) * p;
            const auto k = static_cast<std::int64_t>(std::floor(h));
            ranks[g].push_back(k);
            if (h > static_cast<double>(k))
                ranks[g].push_back(k + 1);
        }
    }
    const auto order = OrderStatistics(source, groups, ranks, budget, visit);
    std::vector<std::vector<double>> out(groups.size());
    for (std::size_t g = 0; g < groups.size(); ++g) {
        out[g].assign(ps.size(), std::numeric_limits<double>::quiet_NaN());
        if (groups[g].count <= 0)
            continue;
        std::size_t at = 0;
        for (std::size_t i = 0; i < ps.size(); ++i) {
            const double h = static_cast<double>(groups[g].count - 1) * ps[i];
            const double f = h - std::floor(h);
            const double a = order[g][at++];
            if (f == 0.0) {
                out[g][i] = a;
                continue;
            }
            const double b = order[g][at++];
            const double d = b - a;
            // Values of opposite signs near the largest double have a difference that
            // overflows; there the same line is taken from both ends.
            out[g][i] = std::isfinite(d) ? a + f * d : a * (1.0 - f) + b * f;
        }
    }
    return out;
}

std::vector<double> Quantiles(TValueSource& source, std::int64_t n, double minimum,
                              double maximum, std::span<const double> ps, std::size_t budget)
{
    OneGroup grouped(source);
    const TGroupExtent extent{n, minimum, maximum};
    return Quantiles(grouped, std::span(&extent, 1), ps, budget)[0];
}

std::vector<double> Quantiles(std::span<const double> values, std::span<const double> ps)
{
    const LoadSums sums = SumValues(values);
    TSpanValues source(values);
    return Quantiles(source, sums.count, sums.minimum, sums.maximum, ps);
}

} // namespace zel
