#include "stats/Describe.h"

#include "data/DataSet.h"
#include "stats/Spool.h"
#include "stats/CompensatedSum.h"
#include "stats/WalkObserver.h"
#include "tools/ZelTools.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <exception>
#include <thread>
#include <cmath>
#include <functional>
#include <limits>
#include <span>
#include <unordered_map>

namespace zel {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// What the walk keeps of one field in one group: what the component's load keeps of them.
struct Accumulator : LoadSums {
    std::int64_t nulls = 0;
    // Sums of the powers of the deviations from the mean, from the pass after the walk.
    double s2 = 0, s3 = 0, s4 = 0;

    double Mean() const
    {
        return count >= 2 ? MeanOfTotal(total.Total(), total.Remainder(), count)
               : count == 1 ? total.Total()
                            : NaN;
    }
};

[[noreturn]] void ThrowChanged()
{
    throw EDatabaseError("The records changed while they were described; describe reads the "
                         "same values on every pass.");
}

// The values of one field as the walk kept them: a spool of every record's value (NaN for
// NULL), beside a spool of every record's group when there are groups.
class SpooledValues : public TGroupedValues {
public:
    SpooledValues(const TSpool& values, const TSpool* groups) : values_(values), groups_(groups) {}
    void Start() override
    {
        valueReader_.emplace(values_);
        if (groups_ != nullptr)
            groupReader_.emplace(*groups_);
        valueBlock_ = groupBlock_ = {};
    }
    // Straight from the spools' blocks, NULLs left out.
    std::size_t Read(double* values, std::uint32_t* groups, std::size_t capacity) override
    {
        std::size_t n = 0;
        while (n < capacity) {
            if (valueBlock_.empty()) {
                valueBlock_ = valueReader_->NextBlock();
                if (valueBlock_.empty())
                    break;
            }
            if (groupReader_ && groupBlock_.empty()) {
                groupBlock_ = groupReader_->NextBlock();
                if (groupBlock_.empty())
                    ThrowChanged();
            }
            const std::size_t k = std::min(valueBlock_.size(), groupReader_ ? groupBlock_.size()
                                                                             : valueBlock_.size());
            std::size_t i = 0;
            for (; i < k && n < capacity; ++i) {
                const double x = valueBlock_[i];
                values[n] = x;
                groups[n] = groupReader_ ? static_cast<std::uint32_t>(groupBlock_[i]) : 0;
                n += !std::isnan(x);
            }
            valueBlock_ = valueBlock_.subspan(i);
            if (groupReader_)
                groupBlock_ = groupBlock_.subspan(i);
        }
        return n;
    }
    void Finish() override
    {
        valueReader_.reset();
        groupReader_.reset();
    }

private:
    const TSpool& values_;
    const TSpool* groups_;
    std::optional<TSpool::TReader> valueReader_, groupReader_;
    std::span<const double> valueBlock_, groupBlock_;
};

// What each record belongs to: a group numbered in the order of first appearance, one per
// value as SQL's GROUP BY tells values apart, NULL keys in a group of their own.
class Groups {
public:
    Groups(const TField* by, std::size_t limit, const TDataSet& dataset)
        : by_(by), limit_(limit), dataset_(dataset)
    {
        if (by_ == nullptr)
            keys_.emplace_back(); // one group for everything
    }

    std::size_t Count() const { return keys_.size(); }
    const TGroupKey& Key(std::size_t group) const { return keys_[group]; }
    const std::vector<TGroupKey>& Keys() const { return keys_; }

    // The current record's group; a new one is made when `grow`, else an unknown key means
    // that the records changed.
    std::uint32_t Current(bool grow)
    {
        if (by_ == nullptr)
            return 0;
        TGroupKey key = by_->AsGroupKey();
        if (const auto it = index_.find(key); it != index_.end())
            return it->second;
        const std::uint32_t group = Make(key, grow);
        index_.emplace(std::move(key), group);
        return group;
    }

private:
    std::uint32_t Make(const TGroupKey& key, bool grow)
    {
        if (!grow)
            ThrowChanged();
        if (keys_.size() >= limit_)
            throw EDatabaseError("Field '" + by_->FieldName() + "' of "
                                 + dataset_.SourceDescription() + " has more than "
                                 + std::to_string(limit_)
                                 + " different values; describe groups by at most that many.");
        keys_.push_back(key);
        return static_cast<std::uint32_t>(keys_.size() - 1);
    }

    const TField* by_;
    std::size_t limit_;
    const TDataSet& dataset_;
    std::vector<TGroupKey> keys_;
    std::unordered_map<TGroupKey, std::uint32_t, TGroupKey::Hash> index_;
};

// The values of one field read from the records again, where a spool could not keep them.
class DataSetValues : public TGroupedValues {
public:
    DataSetValues(TDataSet& dataset, const TField& field, Groups& groups)
        : dataset_(dataset), field_(field), groups_(groups)
    {
    }
    void Start() override { dataset_.First(); }
    std::size_t Read(double* values, std::uint32_t* groups, std::size_t capacity) override
    {
        std::size_t n = 0;
        for (; n < capacity && !dataset_.Eof(); dataset_.Next()) {
            if (field_.ReadFloat(values[n]))
                groups[n++] = groups_.Current(false);
        }
        return n;
    }
    void Finish() override { dataset_.First(); }

private:
    TDataSet& dataset_;
    const TField& field_;
    Groups& groups_;
};

double Quotient(double a, double b)
{
    if (b == 0.0)
        return NaN;
    const double q = a / b;
    return std::isfinite(q) ? q : NaN;
}

// Sums the powers of the deviations from each group's mean, by multiplication (the component
// raises through exp and ln; the two agree to about 1e-15), a block of values at a time.
class MomentSums {
public:
    MomentSums(Accumulator* groups, std::size_t count) : groups_(groups), means_(count)
    {
        for (std::size_t g = 0; g < count; ++g)
            means_[g] = groups[g].Mean();
    }

    void operator()(std::span<const double> values, std::span<const std::uint32_t> of)
    {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (of[i] >= means_.size())
                ThrowChanged();
            Accumulator& a = groups_[of[i]];
            const double d = values[i] - means_[of[i]];
            const double d2 = d * d;
            a.s2 += d2;
            a.s3 += d2 * d;
            a.s4 += d2 * d2;
        }
    }

private:
    Accumulator* groups_;
    std::vector<double> means_;
};

TDescribeRow MakeRow(const Accumulator& a)
{
    TDescribeRow row;
    const std::int64_t n = a.count;
    row.count = n;
    row.nulls = a.nulls;
    row.minimum = a.minimum;
    row.maximum = a.maximum;
    row.mean = a.Mean();
    row.stdDev = row.skew = row.kurtosis = NaN;
    if (n >= 2) {
        const double divisor = static_cast<double>(n - 1);
        const double variance = a.s2 / divisor, mu3 = a.s3 / divisor, mu4 = a.s4 / divisor;
        row.stdDev = std::sqrt(variance);
        // Skewness here is the squared moment coefficient; its sign is reported separately.
        row.skew = Quotient(mu3 * mu3, variance * variance * variance);
        // Kurtosis is the plain ratio; no 3 is subtracted.
        row.kurtosis = Quotient(mu4, variance * variance);
        row.skewSign = mu3 < 0 ? "(-)" : mu3 > 0 ? "(+)" : mu3 == 0 ? "(0)" : "";
    }
    return row;
}

// Puts a dataset back as the walk found it, open or closed, with its controls enabled.
class DataSetHold {
public:
    explicit DataSetHold(TDataSet& dataset) : dataset_(dataset), wasActive_(dataset.Active())
    {
        dataset_.DisableControls();
    }
    ~DataSetHold()
    {
        dataset_.EnableControls();
        try {
            dataset_.SetActive(wasActive_);
        } catch (...) {
            // Closing cannot be reported from here; the walk's own outcome stands.
        }
    }
    DataSetHold(const DataSetHold&) = delete;
    DataSetHold& operator=(const DataSetHold&) = delete;

private:
    TDataSet& dataset_;
    bool wasActive_;
};

std::vector<const TField*> ChooseFields(const TDataSet& dataset, const TDescribeRequest& request)
{
    std::vector<const TField*> fields;
    if (request.fields.empty()) {
        for (const auto& field : dataset.Fields()) {
            if (NumericField(field.get()))
                fields.push_back(field.get());
        }
        return fields;
    }
    for (const std::string& name : request.fields) {
        const TField& field = dataset.FieldByName(name);
        if (!NumericField(&field))
            throw EDatabaseError("Field '" + field.FieldName() + "' of "
                                 + dataset.SourceDescription() + " is not a numeric field");
        for (const TField* earlier : fields) {
            if (earlier == &field)
                throw EDatabaseError("Field '" + field.FieldName() + "' is named twice");
        }
        fields.push_back(&field);
    }
    return fields;
}

} // namespace

std::vector<TDescribeRow> Describe(TDataSet& dataset, const TDescribeRequest& request)
{
    static const std::string message = "Loading dataset, describing fields";

    const DataSetHold hold(dataset);
    const TDataSet::TSnapshot snapshot(dataset);
    if (!dataset.Active())
        dataset.Open();
    if (!dataset.Active())
        throw EDatabaseError("Nothing to describe: the table name or SQL text is empty.");
    const std::vector<const TField*> fields = ChooseFields(dataset, request);
    const TField* by = request.by.empty() ? nullptr : &dataset.FieldByName(request.by);
    const std::size_t width = fields.size();
    // The database is asked for the fields that are read, and no other.
    std::vector<const TField*> read = fields;
    if (by != nullptr)
        read.push_back(by);
    const TDataSet::TFieldWalk narrowed(dataset, read);

    // One spool per field, and one of the groups, sharing one memory budget.
    Groups groups(by, request.maxGroups, dataset);
    const std::size_t spoolCount = width + (by != nullptr ? 1 : 0);
    const std::size_t spoolMemory = spoolCount > 0 ? request.spoolMemory / spoolCount : 0;
    std::vector<std::unique_ptr<TSpool>> spools;
    for (std::size_t f = 0; f < width; ++f)
        spools.push_back(std::make_unique<TSpool>(spoolMemory));
    std::unique_ptr<TSpool> groupSpool = by != nullptr ? std::make_unique<TSpool>(spoolMemory) : nullptr;

    std::vector<Accumulator> accumulators(width); // group-major: [group * width + field]
    {
        const TWalkFrame frame(request.observer, "Describe " + dataset.SourceDescription(),
                              request.showProgress);
        const double records =
            request.observer != nullptr ? static_cast<double>(dataset.RecordCount()) : 0.0;
        std::int64_t done = 0;
        int shownPercent = -1;
        // Told when the whole percentage changes, checked every few thousand records.
        auto report = [&] {
            if (request.observer != nullptr && (done & 4095) == 0 && records > 0) {
                const double fraction = std::min(1.0, static_cast<double>(done) / records);
                const int percent = static_cast<int>(fraction * 100.0);
                if (percent != shownPercent) {
                    shownPercent = percent;
                    request.observer->WalkProgress(TWalkKind::Load, message, fraction);
                }
            }
        };
        // One value of one field of a record; NaN is a null, as the walk reads only finite
        // numbers.
        auto take = [&](Accumulator& a, TSpool& spool, double x) {
            if (std::isnan(x))
                ++a.nulls;
            else
                a.Add(x);
            spool.Add(x);
        };
        dataset.First();
        if (by == nullptr) {
            // Without groups the records are read a batch at a time.
            constexpr std::size_t Batch = 256;
            std::vector<double> batch(Batch * std::max<std::size_t>(width, 1));
            while (const std::size_t n = dataset.ReadRecords(fields, batch.data(), Batch)) {
                for (std::size_t r = 0; r < n; ++r) {
                    for (std::size_t f = 0; f < width; ++f)
                        take(accumulators[f], *spools[f], batch[r * width + f]);
                    ++done;
                    report();
                }
            }
        }
        for (; !dataset.Eof(); dataset.Next()) {
            const std::uint32_t group = groups.Current(true);
            if (groupSpool) {
                groupSpool->Add(group);
                if (accumulators.size() < groups.Count() * width)
                    accumulators.resize(groups.Count() * width);
            }
            Accumulator* row = accumulators.data() + group * width;
            for (std::size_t f = 0; f < width; ++f) {
                double x;
                take(row[f], *spools[f], fields[f]->ReadFloat(x) ? x : NaN);
            }
            ++done;
            report();
        }
    }
    const bool groupsKept = groupSpool == nullptr || groupSpool->Seal();
    if (!groupsKept)
        groupSpool.reset();

    // Each field is described from its own values alone, and its quartiles and its moments
    // apart, so the pieces of fields whose spools kept them are worked out two at a time on
    // two processors, every field's quartiles first (the dearer pieces), then the moments;
    // the numbers do not depend on which thread does what, as each piece reads its field's
    // values in their own order. A spool that could not keep every value (no temporary
    // folder, a full disk) leaves its field to be read again from the records, of the same
    // snapshot, one field after another on this thread, as the dataset has one cursor.
    // The quartiles first, then the percentiles asked for, all selected in the same passes.
    std::vector<double> quartiles{0.25, 0.5, 0.75};
    quartiles.insert(quartiles.end(), request.percentiles.begin(), request.percentiles.end());
    const std::size_t count = groups.Count();
    std::vector<std::vector<Accumulator>> sums(width);
    std::vector<std::vector<std::vector<double>>> quartilesOf(width);
    std::vector<std::vector<TGroupExtent>> extents(width);
    std::vector<std::size_t> spooled, reread;
    for (std::size_t f = 0; f < width; ++f) {
        (spools[f]->Seal() && groupsKept ? spooled : reread).push_back(f);
        sums[f].resize(count);
        extents[f].resize(count);
        for (std::size_t g = 0; g < count; ++g) {
            const Accumulator& a = sums[f][g] = accumulators[g * width + f];
            extents[f][g] = {a.count, a.minimum, a.maximum};
        }
    }
    const std::size_t pieces = 2 * spooled.size();
    const std::size_t workers =
        std::min<std::size_t>({2, std::max(1u, std::thread::hardware_concurrency()), pieces});
    // The budget is shared by the quartiles worked out at once.
    const std::size_t budget =
        request.quantileBudget / std::max<std::size_t>(std::min(spooled.size(), workers), 1);

    std::vector<std::exception_ptr> errors(pieces);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i; (i = next++) < pieces;) {
            const std::size_t f = spooled[i % spooled.size()];
            try {
                SpooledValues source(*spools[f], groupSpool.get());
                if (i < spooled.size()) {
                    quartilesOf[f] = Quantiles(source, extents[f], quartiles, budget);
                    continue;
                }
                MomentSums moments(sums[f].data(), count);
                std::vector<double> values(1024);
                std::vector<std::uint32_t> of(values.size());
                source.Start();
                while (const std::size_t n = source.Read(values.data(), of.data(), values.size()))
                    moments(std::span(values.data(), n), std::span(of.data(), n));
                source.Finish();
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (std::size_t w = 1; w < workers; ++w)
            helpers.emplace_back(work);
        work();
    }
    for (const std::size_t f : reread) {
        // The moments are summed during the first pass that selects the quartiles.
        DataSetValues source(dataset, *fields[f], groups);
        MomentSums moments(sums[f].data(), count);
        quartilesOf[f] = Quantiles(source, extents[f], quartiles, budget, std::ref(moments));
    }
    for (const std::exception_ptr& error : errors) {
        if (error)
            std::rethrow_exception(error);
    }

    const std::vector<std::string> written = WriteGroupKeys(groups.Keys());
    std::vector<TDescribeRow> rows;
    rows.reserve(accumulators.size());
    for (std::size_t f = 0; f < width; ++f) {
        for (std::size_t g = 0; g < count; ++g) {
            TDescribeRow row = MakeRow(sums[f][g]);
            row.field = fields[f]->FieldName();
            row.key = groups.Key(g);
            if (row.key.Kind() != TGroupKey::TKind::Null)
                row.group = written[g];
            row.q1 = quartilesOf[f][g][0];
            row.median = quartilesOf[f][g][1];
            row.q3 = quartilesOf[f][g][2];
            row.percentiles.assign(quartilesOf[f][g].begin() + 3, quartilesOf[f][g].end());
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

} // namespace zel
