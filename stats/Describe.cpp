#include "zelstats/stats/Describe.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/data/Driver.h"
#include "zelstats/data/Guards.h"
#include "zelstats/data/WorkerConnection.h"
#include "zelstats/stats/AsyncRun.h"
#include "zelstats/stats/Spool.h"
#include "zelstats/stats/Aggregates.h"
#include "zelstats/stats/WalkObserver.h"
#include "zelstats/stats/WorkPool.h"
#include "zelstats/tools/ZelTools.h"

#include <QFutureInterface>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <span>
#include <unordered_map>

namespace zel {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// What the walk keeps of one field in one group: what the component's load keeps of them.
struct Accumulator : LoadSums {
    std::int64_t nulls = 0;
    // Sums of the powers of the deviations from the mean, from the pass after the walk.
    MomentSums moments;
};

[[noreturn]] void ThrowChanged()
{
    throw EDatabaseError(DataChangedMessage("description", ""));
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

// Sums the powers of the deviations from each group's mean, by multiplication (the component
// raises through exp and ln; the two agree to about 1e-15), a block of values at a time.
class GroupMoments {
public:
    GroupMoments(Accumulator* groups, std::size_t count)
        : groups_(groups), means_(count), shifts_(count), seen_(count)
    {
        for (std::size_t g = 0; g < count; ++g) {
            means_[g] = groups[g].Mean();
            shifts_[g] = DeviationShift(means_[g], groups[g].minimum, groups[g].maximum);
        }
    }

    void operator()(std::span<const double> values, std::span<const std::uint32_t> of)
    {
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (of[i] >= means_.size())
                ThrowChanged();
            groups_[of[i]].moments.Add(values.subspan(i, 1), means_[of[i]], PowerRule::Product,
                                       shifts_[of[i]]);
            seen_[of[i]].Add(values[i]);
        }
    }

    // Throws unless every group saw as many values as the walk and the walk's extremes.
    void Check(const std::string& gap) const
    {
        for (std::size_t g = 0; g < seen_.size(); ++g) {
            if (!seen_[g].Matches(groups_[g]))
                throw EDatabaseError(DataChangedMessage("description", gap));
        }
    }

private:
    Accumulator* groups_;
    std::vector<double> means_;
    std::vector<int> shifts_;
    std::vector<ValueExtent> seen_;
};

TDescribeRow MakeRow(const Accumulator& a)
{
    TDescribeRow row;
    row.count = a.count;
    row.nulls = a.nulls;
    row.minimum = a.minimum;
    row.maximum = a.maximum;
    row.mean = a.Mean();
    row.stdDev = row.skew = row.kurtosis = NaN;
    if (a.count >= 2) {
        const MomentResults r = FinishMoments(a.moments, PowerRule::Product,
                                              DeviationShift(row.mean, a.minimum, a.maximum));
        row.stdDev = r.stdDev;
        row.skew = r.skew;
        row.kurtosis = r.kurtosis;
        row.skewSign = SkewSign(r.scaledMu3);
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

// Tells the observer of the walk when the whole percentage changes, checked every few
// thousand records.
class WalkReport {
public:
    WalkReport(TDataSet& dataset, TWalkObserver* observer)
        : observer_(observer),
          records_(observer != nullptr ? static_cast<double>(dataset.RecordCount()) : 0.0)
    {
    }
    void RecordDone()
    {
        ++done_;
        if (observer_ == nullptr || (done_ & 4095) != 0 || records_ <= 0)
            return;
        const double fraction = std::min(1.0, static_cast<double>(done_) / records_);
        const int percent = static_cast<int>(fraction * 100.0);
        if (percent != shownPercent_) {
            shownPercent_ = percent;
            static const std::string message = "Loading dataset, describing fields";
            observer_->WalkProgress(TWalkKind::Load, message, fraction);
        }
    }

private:
    TWalkObserver* observer_;
    double records_;
    std::int64_t done_ = 0;
    int shownPercent_ = -1;
};

// One description, from the walk over the records to its rows. The walk keeps every field's
// values in a spool of its own, the passes after it read them back.
class Description {
public:
    Description(TDataSet& dataset, const TDescribeRequest& request)
        : dataset_(dataset), request_(request), fields_(ChooseFields(dataset, request)),
          by_(request.by.empty() ? nullptr : &dataset.FieldByName(request.by)),
          width_(fields_.size()), groups_(by_, request.maxGroups, dataset), accumulators_(width_)
    {
        // One spool per field, and one of the groups, sharing one memory budget.
        const std::size_t spoolCount = width_ + (by_ != nullptr ? 1 : 0);
        const std::size_t memory = spoolCount > 0 ? request.spoolMemory / spoolCount : 0;
        for (std::size_t f = 0; f < width_; ++f)
            spools_.push_back(std::make_unique<TSpool>(memory));
        if (by_ != nullptr)
            groupSpool_ = std::make_unique<TSpool>(memory);
    }

    // The fields read, the grouping field among them.
    std::vector<const TField*> ReadFields() const
    {
        std::vector<const TField*> read = fields_;
        if (by_ != nullptr)
            read.push_back(by_);
        return read;
    }

    void Walk();
    void Passes();
    std::vector<TDescribeRow> Rows() const;

private:
    // One value of one field of a record; NaN is a null, as the walk reads only finite numbers.
    static void Take(Accumulator& a, TSpool& spool, double x)
    {
        if (std::isnan(x))
            ++a.nulls;
        else
            a.Add(x);
        spool.Add(x);
    }
    void WalkBatches(WalkReport& report);
    void WalkRecords(WalkReport& report);
    void SplitAccumulators(std::vector<std::size_t>& spooled, std::vector<std::size_t>& reread);
    void SpooledPasses(const std::vector<std::size_t>& spooled, const std::string& gap,
                       std::size_t& budget);
    void RereadPasses(const std::vector<std::size_t>& reread, const std::string& gap,
                      std::size_t budget);

    // The quartiles first, then the percentiles asked for, all selected in the same passes.
    std::vector<double> Probabilities() const;

    TDataSet& dataset_;
    const TDescribeRequest& request_;
    const std::vector<const TField*> fields_;
    const TField* by_;
    const std::size_t width_;
    Groups groups_;
    std::vector<std::unique_ptr<TSpool>> spools_;
    std::unique_ptr<TSpool> groupSpool_;
    std::vector<Accumulator> accumulators_; // group-major: [group * width + field]
    // After the walk, by field and group.
    std::vector<std::vector<Accumulator>> sums_;
    std::vector<std::vector<TGroupExtent>> extents_;
    std::vector<std::vector<std::vector<double>>> quartilesOf_;
};

void Description::Walk()
{
    const TWalkFrame frame(request_.observer, "Describe " + dataset_.SourceDescription(),
                          request_.showProgress);
    WalkReport report(dataset_, request_.observer);
    dataset_.First();
    if (by_ == nullptr)
        WalkBatches(report);
    WalkRecords(report);
}

// Without groups the records are read a batch at a time.
void Description::WalkBatches(WalkReport& report)
{
    constexpr std::size_t Batch = 256;
    std::vector<double> batch(Batch * std::max<std::size_t>(width_, 1));
    while (const std::size_t n = dataset_.ReadRecords(fields_, batch.data(), Batch)) {
        for (std::size_t r = 0; r < n; ++r) {
            for (std::size_t f = 0; f < width_; ++f)
                Take(accumulators_[f], *spools_[f], batch[r * width_ + f]);
            report.RecordDone();
        }
    }
}

// Record by record, each in its group; what is left at the end of the batches is nothing.
void Description::WalkRecords(WalkReport& report)
{
    for (; !dataset_.Eof(); dataset_.Next()) {
        const std::uint32_t group = groups_.Current(true);
        if (groupSpool_) {
            groupSpool_->Add(group);
            if (accumulators_.size() < groups_.Count() * width_)
                accumulators_.resize(groups_.Count() * width_);
        }
        Accumulator* row = accumulators_.data() + group * width_;
        for (std::size_t f = 0; f < width_; ++f) {
            double x;
            Take(row[f], *spools_[f], fields_[f]->ReadFloat(x) ? x : NaN);
        }
        report.RecordDone();
    }
}

// Each field is described from its own values alone, and its quartiles and its moments apart,
// so the pieces of fields whose spools kept them are worked out by the pool (stats/WorkPool.h),
// every field's quartiles first (the dearer pieces), then the moments; the numbers do not
// depend on which thread does what, as each piece reads its field's values in their own order.
// A spool that could not keep every value (no temporary folder, a full disk) leaves its field
// to be read again from the records, of the same snapshot, one field after another on this
// thread, as the dataset has one cursor.
void Description::Passes()
{
    if (groupSpool_ != nullptr && !groupSpool_->Seal())
        groupSpool_.reset();
    std::vector<std::size_t> spooled, reread;
    SplitAccumulators(spooled, reread);
    // Why the source may not hold still between passes, for the message should it not have.
    const std::string gap = dataset_.DriverCursor().SnapshotGap();
    std::size_t budget = request_.quantileBudget;
    SpooledPasses(spooled, gap, budget);
    RereadPasses(reread, gap, budget);
}

void Description::SplitAccumulators(std::vector<std::size_t>& spooled,
                                    std::vector<std::size_t>& reread)
{
    const bool groupsKept = by_ == nullptr || groupSpool_ != nullptr;
    const std::size_t count = groups_.Count();
    sums_.resize(width_);
    extents_.resize(width_);
    quartilesOf_.resize(width_);
    for (std::size_t f = 0; f < width_; ++f) {
        (spools_[f]->Seal() && groupsKept ? spooled : reread).push_back(f);
        sums_[f].resize(count);
        extents_[f].resize(count);
        for (std::size_t g = 0; g < count; ++g) {
            const Accumulator& a = sums_[f][g] = accumulators_[g * width_ + f];
            extents_[f][g] = {a.count, a.minimum, a.maximum};
        }
    }
}

// `budget` comes back as the share of it each field's quartiles had.
void Description::SpooledPasses(const std::vector<std::size_t>& spooled, const std::string& gap,
                                std::size_t& budget)
{
    const std::size_t pieces = 2 * spooled.size();
    TWorkPool pool(pieces);
    // The budget is shared by the quartiles worked out at once.
    budget /= std::max<std::size_t>(std::min(spooled.size(), pool.Threads()), 1);
    const std::size_t count = groups_.Count();
    const std::vector<double> probabilities = Probabilities();
    pool.Run(pieces, [&](std::size_t i) {
        const std::size_t f = spooled[i % spooled.size()];
        SpooledValues source(*spools_[f], groupSpool_.get());
        if (i < spooled.size()) {
            quartilesOf_[f] = Quantiles(source, extents_[f], probabilities, budget);
            return;
        }
        GroupMoments moments(sums_[f].data(), count);
        std::vector<double> values(1024);
        std::vector<std::uint32_t> of(values.size());
        source.Start();
        while (const std::size_t n = source.Read(values.data(), of.data(), values.size()))
            moments(std::span(values.data(), n), std::span(of.data(), n));
        source.Finish();
        moments.Check(gap);
    });
}

void Description::RereadPasses(const std::vector<std::size_t>& reread, const std::string& gap,
                               std::size_t budget)
{
    const std::vector<double> probabilities = Probabilities();
    for (const std::size_t f : reread) {
        // The moments are summed during the first pass that selects the quartiles.
        DataSetValues source(dataset_, *fields_[f], groups_);
        GroupMoments moments(sums_[f].data(), groups_.Count());
        try {
            quartilesOf_[f] =
                Quantiles(source, extents_[f], probabilities, budget, std::ref(moments));
        } catch (const EValuesChanged&) {
            throw EDatabaseError(DataChangedMessage("description", gap));
        }
        moments.Check(gap);
    }
}

std::vector<double> Description::Probabilities() const
{
    std::vector<double> probabilities{0.25, 0.5, 0.75};
    probabilities.insert(probabilities.end(), request_.percentiles.begin(),
                         request_.percentiles.end());
    return probabilities;
}

std::vector<TDescribeRow> Description::Rows() const
{
    const std::vector<std::string> written = WriteGroupKeys(groups_.Keys());
    std::vector<TDescribeRow> rows;
    rows.reserve(accumulators_.size());
    for (std::size_t f = 0; f < width_; ++f) {
        for (std::size_t g = 0; g < groups_.Count(); ++g) {
            TDescribeRow row = MakeRow(sums_[f][g]);
            row.field = fields_[f]->FieldName();
            row.key = groups_.Key(g);
            if (row.key.Kind() != TGroupKey::TKind::Null)
                row.group = written[g];
            row.q1 = quartilesOf_[f][g][0];
            row.median = quartilesOf_[f][g][1];
            row.q3 = quartilesOf_[f][g][2];
            row.percentiles.assign(quartilesOf_[f][g].begin() + 3, quartilesOf_[f][g].end());
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

} // namespace

std::vector<TDescribeRow> Describe(TDataSet& dataset, const TDescribeRequest& request)
{
    const DataSetHold hold(dataset);
    const TDataSet::TSnapshot snapshot(dataset);
    if (!dataset.Active())
        dataset.Open();
    if (!dataset.Active())
        throw EDatabaseError("Nothing to describe: the table name or SQL text is empty.");
    Description description(dataset, request);
    // The database is asked for the fields that are read, and no other.
    const TDataSet::TFieldWalk narrowed(dataset, description.ReadFields());
    description.Walk();
    description.Passes();
    return description.Rows();
}

namespace {

std::vector<TDescribeRow> DescribeOnWorker(TDataSet& copy, TDescribeRequest request,
                                           TWalkObserver& observer)
{
    const TWorkerConnection connection(copy);
    const TAtScopeExit close([&] { copy.Close(); });
    request.observer = &observer;
    request.showProgress = true;
    return Describe(copy, request);
}

} // namespace

QFuture<std::vector<TDescribeRow>> DescribeAsync(const TDataSet& dataset,
                                                 const TDescribeRequest& request)
{
    using Rows = std::vector<TDescribeRow>;
    QFutureInterface<Rows> future;
    future.reportStarted();
    std::shared_ptr<TDataSet> copy;
    try {
        const std::string gap = WorkerReadGap(dataset);
        if (!gap.empty())
            throw EDatabaseError("Cannot describe " + dataset.SourceDescription()
                                 + " off this thread: " + gap + "; describe it with Describe()");
        copy = dataset.NewSourceCopy();
    } catch (...) {
        FailAtOnce(future, std::current_exception());
        return future.future();
    }
    TAsyncRun::Start(future, [future, copy, request](TWalkObserver& observer) {
        auto rows = std::make_shared<Rows>(DescribeOnWorker(*copy, request, observer));
        return TAsyncRun::Finish([future, rows]() mutable {
            future.reportAndMoveResult(std::move(*rows));
        });
    });
    return future.future();
}

} // namespace zel
