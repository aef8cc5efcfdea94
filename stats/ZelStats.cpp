#include "zelstats/stats/ZelStats.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/data/Driver.h"
#include "zelstats/data/Guards.h"
#include "zelstats/data/Messages.h"
#include "zelstats/data/WorkerConnection.h"
#include "zelstats/tools/Format.h"
#include "zelstats/tools/VectorState.h"
#include "zelstats/stats/ClassTally.h"
#include "zelstats/stats/ResultRules.h"
#include "zelstats/stats/Aggregates.h"
#include "zelstats/stats/Quantiles.h"
#include "zelstats/stats/WorkPool.h"
#include "zelstats/stats/AsyncRun.h"

#include <QFutureInterface>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

namespace zel {

namespace {

constexpr double Infinity = std::numeric_limits<double>::infinity();

// Counts of the class cache slots 0..7; slot 0 follows FreqClasses.
constexpr std::uint16_t SlotClassCounts[MaintainedSlots] = {10, 5, 10, 15, 20, 25, 35, 50};

void CheckSlot(int slot)
{
    if (slot < 0 || slot >= CacheSlots)
        throw std::out_of_range("class cache slot " + std::to_string(slot)
                                + " is outside 0.." + std::to_string(CacheSlots - 1));
}

// Bounds of a table of k classes: equal widths E / k laid out as a running sum from half a
// class width below the minimum, so that each class starts exactly where the one below ends.
void LayOutBounds(TFreqData& table, int k, double minimum, double range)
{
    if (k == 0)
        return; // an empty table has no bounds
    const double e = range / k + range;
    double* start = table.ClassStart.data();
    double* end = table.ClassEnd.data();
    start[0] = minimum - e / (2 * k);
    end[0] = start[0] + e / k;
    for (int i = 1; i < k; ++i) {
        start[i] = end[i - 1];
        end[i] = start[i] + e / k;
    }
}

// Widens the outer bounds where the values spread but the layout's classes have no width
// (subnormal data, or 64-bit integers near 2^63, whose doubles lie thousands apart): the first
// class then starts at the minimum and the last ends just above the maximum, so that every
// value still lies in exactly one class. Layouts whose classes all have a width are left as
// they are, and so are those of equal values, which hold none, and those of a range that
// overflows, whose bounds are undefined: no class can be made of it.
void CoverExtremes(TFreqData& table, int k, double minimum, double maximum)
{
    double* start = table.ClassStart.data();
    double* end = table.ClassEnd.data();
    bool degenerate = false;
    for (int i = 0; i < k; ++i) {
        if (std::isnan(start[i]) || std::isnan(end[i]))
            return;
        degenerate = degenerate || !(start[i] < end[i]);
    }
    if (!degenerate || !(maximum > minimum))
        return;
    if (!(start[0] <= minimum))
        start[0] = minimum;
    if (!(maximum < end[k - 1]))
        end[k - 1] = std::nextafter(maximum, Infinity);
}

void ClearCounts(TFreqData& table)
{
    std::fill_n(table.ClassCount.data(), table.NumClasses, 0);
}

// The modal class: the lowest-numbered class with the highest count.
void FindMode(TFreqData& table)
{
    const int k = table.NumClasses;
    if (k == 0) {
        table.Mode = Undefined;
        table.ModeClassCount = 0;
        return;
    }
    const std::int64_t* count = table.ClassCount.data();
    int best = 0;
    for (int i = 1; i < k; ++i) {
        if (count[i] > count[best])
            best = i;
    }
    table.Mode = (table.ClassEnd.data()[best] + table.ClassStart.data()[best]) * 0.5;
    table.ModeClassCount = count[best];
}

// The moments pass: the sums of the second, third and fourth powers of the deviations from the
// mean, in value order, and the class counts of the values. The powers (a logarithm and three
// exponentials a value, the dearest part of a summary) and the class counts are worked out a
// batch at a time, the batch cut into one piece per thread of the pool; each piece counts into
// tables of its own, and the pieces' counts are added in piece order at the end. The sums add
// the powers one value after the other, so every sum is the same to the bit as when each
// value's powers are added as they are worked out, and every count the same integer, whatever
// the number of threads.
class MomentPass {
public:
    // Counts into `tables` too, unless it is empty; they must outlive the pass.
    MomentPass(double mean, int shift, std::span<TFreqData> tables)
        : mean_(mean), shift_(shift), tables_(tables), pool_(MaxThreads()),
          pieces_(pool_.Threads())
    {
        if (tables.empty())
            return;
        pieceTables_.resize(pieces_ - 1);
        tallies_.emplace_back(tables);
        for (auto& own : pieceTables_) {
            own.assign(tables.begin(), tables.end());
            for (TFreqData& table : own)
                std::fill_n(table.ClassCount.data(), table.NumClasses, 0);
            tallies_.emplace_back(own);
        }
    }

    void Add(double x)
    {
        values_[size_++] = x;
        if (size_ == Batch)
            Flush();
    }

    // Works out what is left and adds the counts into the tables, piece by piece in order.
    // Returns the complete sums.
    const MomentSums& Finish()
    {
        Flush();
        if (tables_.empty())
            return sums_;
        for (ClassTally& tally : tallies_)
            tally.AddPiecesToTables();
        for (const auto& own : pieceTables_)
            ClassTally::AddCounts(tables_, own);
        return sums_;
    }

private:
    // 1 MiB of batch in all: large enough that handing pieces of it over costs little
    // (bench/spool.sh), small enough to stay in the cache.
    static constexpr std::size_t Batch = std::size_t{1} << 15;
    static constexpr std::size_t MinSplit = 4096;

    void Flush()
    {
        const std::size_t pieces = size_ >= MinSplit ? pieces_ : 1;
        pool_.Run(pieces, [&](std::size_t piece) {
            Work(piece, size_ * piece / pieces, size_ * (piece + 1) / pieces);
        });
        sums_.AddPowers(p2_.get(), p3_.get(), p4_.get(), size_);
        size_ = 0;
    }

    void Work(std::size_t piece, std::size_t from, std::size_t to)
    {
        DeviationPowers(std::span(values_.get() + from, to - from), mean_, shift_,
                        p2_.get() + from, p3_.get() + from, p4_.get() + from);
        if (tallies_.empty())
            return;
        ClassTally& classes = tallies_[piece];
        for (std::size_t i = from; i < to; ++i)
            classes.Count(values_[i]);
    }

    const double mean_;
    const int shift_;
    std::span<TFreqData> tables_;
    TWorkPool pool_;
    const std::size_t pieces_;
    std::vector<std::vector<TFreqData>> pieceTables_; // pieces 1.. count apart; piece 0 in tables_
    std::vector<ClassTally> tallies_;                 // one a piece
    MomentSums sums_;
    std::size_t size_ = 0;
    std::unique_ptr<double[]> values_ = std::make_unique_for_overwrite<double[]>(Batch);
    std::unique_ptr<double[]> p2_ = std::make_unique_for_overwrite<double[]>(Batch);
    std::unique_ptr<double[]> p3_ = std::make_unique_for_overwrite<double[]>(Batch);
    std::unique_ptr<double[]> p4_ = std::make_unique_for_overwrite<double[]>(Batch);
};

// Tells the observer how far a walk has come. A dialog shows Trunc(fraction × 100), so it is
// told only when that whole percentage changes; what it shows is the same as after a call per
// value. The percentage never falls as the count grows, so the count at which it next changes
// is found once per change, and a value costs one comparison.
class Progress {
public:
    Progress(TWalkObserver* observer, TWalkKind kind, const std::string& message,
             std::int64_t records)
        : observer_(observer), kind_(kind), message_(message),
          records_(static_cast<double>(records)),
          nextChange_(observer != nullptr ? 0 : std::numeric_limits<std::int64_t>::max())
    {
    }

    void Report(std::int64_t done)
    {
        if (done >= nextChange_)
            Change(done);
    }

private:
    double Percent(std::int64_t done) const { return std::trunc(Fraction(done) * 100.0); }
    double Fraction(std::int64_t done) const
    {
        return records_ > 0 ? static_cast<double>(done) / records_ : 0.0;
    }

    void Change(std::int64_t done)
    {
        const double percent = Percent(done);
        if (percent != lastPercent_) {
            lastPercent_ = percent;
            observer_->WalkProgress(kind_, message_, Fraction(done));
        }
        if (records_ <= 0) {
            nextChange_ = std::numeric_limits<std::int64_t>::max(); // always 0 %
            return;
        }
        // Estimated from the next percentage's share of the records, then settled on the
        // exact first count that shows it.
        std::int64_t next = std::max<std::int64_t>(
            done + 1, static_cast<std::int64_t>((percent + 1.0) * records_ / 100.0) - 2);
        while (next > done + 1 && Percent(next - 1) != percent)
            --next;
        while (Percent(next) == percent)
            ++next;
        nextChange_ = next;
    }

    TWalkObserver* observer_;
    TWalkKind kind_;
    const std::string& message_;
    double records_;
    double lastPercent_ = -1.0;
    std::int64_t nextChange_;
};

// When a walk reports progress: after counting each value (the load, which tells how many it
// has read), or before it (a pass, which tells how many it has already summed).
enum class ReportWhen { AfterValue, BeforeValue };

// Walks the source from the first record to the last, telling `progress` how far it has come,
// and hands `take` each value divided by scaleBy. Ends on the first record again.
template <class Take>
void WalkValues(TValueSource& source, double scaleBy, Progress& progress, ReportWhen when,
                Take take)
{
    source.Start();
    // Whatever painted last (a dialog, the application) may have left the vector unit in the
    // state that slows the walk's arithmetic.
    ClearUpperVectorState();
    const std::int64_t ahead = when == ReportWhen::AfterValue ? 1 : 0;
    std::int64_t taken = 0;
    std::array<double, 256> values;
    while (const std::size_t n = source.Read(values.data(), values.size())) {
        // A division by 1 changes no value, and spooled values are divided already: the
        // division is left out rather than paid for every value.
        if (scaleBy == 1.0) {
            for (std::size_t i = 0; i < n; ++i) {
                progress.Report(taken + ahead);
                take(values[i]);
                ++taken;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                progress.Report(taken + ahead);
                take(values[i] / scaleBy);
                ++taken;
            }
        }
    }
    source.Finish();
}

// A source's values divided by the scale, as the load reads them.
class ScaledValues : public TValueSource {
public:
    ScaledValues(TValueSource& source, double scaleBy) : source_(source), scaleBy_(scaleBy) {}
    std::int64_t RecordCount() override { return source_.RecordCount(); }
    void Start() override { source_.Start(); }
    std::size_t Read(double* values, std::size_t capacity) override
    {
        const std::size_t n = source_.Read(values, capacity);
        for (std::size_t i = 0; i < n; ++i)
            values[i] /= scaleBy_;
        return n;
    }
    void Finish() override { source_.Finish(); }

private:
    TValueSource& source_;
    double scaleBy_;
};

} // namespace

bool AskToShowProgress()
{
    return MessageDlg("Large dataset. Show progress\n\r during loading or calculating.",
                      TMsgDlgType::mtConfirmation, mbYes | mbNo)
           == TModalResult::mrYes;
}

TStatistics::TStatistics(TDataSet& dataset) : dataset_(dataset)
{
    current_.NumClasses = 10;
    for (int slot = 0; slot < MaintainedSlots; ++slot)
        cache_[slot].NumClasses = SlotClassCounts[slot];
}

TStatistics::~TStatistics()
{
    if (asyncRun_ != nullptr)
        asyncRun_->Abandon();
}

// --- Properties

void TStatistics::SetdsScaleFactor(double value)
{
    if (!std::isfinite(value))
        throw std::invalid_argument("ScaleBy must be a finite number");
    if (std::fabs(value) < 0.0001) {
        MessageDlg("Cannot Scale by 0.", TMsgDlgType::mtError, mbOK);
        scaleBy_ = 1.0;
    } else {
        scaleBy_ = value;
    }
}

void TStatistics::SetUseSpool(bool use)
{
    useSpool_ = use;
    if (!use)
        DropSpool();
}

void TStatistics::SetdsFreqClasses(std::uint16_t value)
{
    const std::uint16_t classes = value > MaxClasses ? MaxClasses : value;
    current_.NumClasses = classes;
    cache_[0].NumClasses = classes;
}

void TStatistics::SetdsMaxPlotCount(std::uint16_t value)
{
    recordPlotCount_ = value > MaxStoredValues ? MaxStoredValues : value;
}

// --- Lifecycle and windows

void TStatistics::Initialize()
{
    DropSpool();
    GetNumericFields();
    dataLoaded_ = false;
    medianValid_ = false;
    varianceValid_ = false;
    skewValid_ = false;
    kurtosisValid_ = false;
}

const std::vector<std::string>& TStatistics::GetNumericFields()
{
    std::vector<std::string> names;
    numericFieldNames_.clear();
    const bool wasActive = dataset_.Active();
    if (!wasActive)
        dataset_.Open();
    if (dataset_.Active()) {
        dataset_.GetFieldNames(names);
        for (const auto& name : names) {
            if (NumericField(&dataset_.FieldByName(name)))
                numericFieldNames_.push_back(name);
        }
    } else {
        MessageDlg("Please check the table name.", TMsgDlgType::mtWarning, mbOK);
    }
    dataset_.SetActive(wasActive);
    return numericFieldNames_;
}

std::string TStatistics::SourceHeading() const
{
    return "Summary of " + DataSourceName() + " " + statFieldName_;
}

bool TStatistics::ShowsProgress() const
{
    return showCalcProgress_ == TBoolPlus::Always || progressAccepted_;
}

std::unique_ptr<TValueSource> TStatistics::OpenValues()
{
    return std::make_unique<TDataSetValues>(dataset_, statFieldName_);
}

TSpool* TStatistics::CurrentSpool()
{
    if (spool_ != nullptr && (!useSpool_ || !ReadsAsLoaded(spoolOrigin_)))
        DropSpool();
    return spool_.get();
}

bool TStatistics::ReadsAsLoaded(const SpoolOrigin& o) const
{
    return o.field == statFieldName_ && o.scaleBy == scaleBy_
           && o.openings == dataset_.Openings() && o.active == dataset_.Active()
           && o.source == SourceText();
}

void TStatistics::DropSpool() { spool_.reset(); }

// --- Loading and basic summaries

void TStatistics::Summarize()
{
    const TDataSet::TSnapshot snapshot(dataset_);
    Initialize();
    GetdsMean();
    GetdsMedian();
    CalculateMoments();
    GetdsVariance();
    GetdsSkew();
    GetdsKurtosis();
    GetdsRange();
    GetdsStdDev();
    GetdsTotal();
    GetdsMode();
}

namespace {

// The worker's summary: through the worker's own connection, on its own copy of the dataset,
// which it opens whether or not the caller's is open (an open can take as long as a walk), and
// closes again on the worker thread before that connection goes.
void SummarizeOnWorker(TStatistics& worker, TWalkObserver& observer)
{
    TDataSet& data = worker.DataSet();
    const TWorkerConnection connection(data);
    const TAtScopeExit close([&] { data.Close(); });
    worker.SetWalkObserver(&observer);
    data.Open();
    worker.Summarize();
}

} // namespace

QFuture<void> TStatistics::SummarizeAsync()
{
    QFutureInterface<void> future;
    future.reportStarted();
    std::shared_ptr<TStatistics> worker;
    try {
        if (asyncRun_ != nullptr && asyncRun_->Running())
            throw std::logic_error("Cannot summarise " + dataset_.SourceDescription()
                                   + ": its asynchronous summary has not finished");
        const std::string gap = WorkerReadGap(dataset_);
        if (!gap.empty())
            throw EDatabaseError("Cannot summarise " + dataset_.SourceDescription()
                                 + " off this thread: " + gap + "; summarise it with Summarize()");
        worker = NewWorkerCopy();
    } catch (...) {
        FailAtOnce(future, std::current_exception());
        return future.future();
    }
    asyncRun_ = TAsyncRun::Start(future, [this, worker](TWalkObserver& observer) {
        SummarizeOnWorker(*worker, observer);
        return TAsyncRun::Finish([this, worker] { AdoptResults(*worker); });
    });
    return future.future();
}

std::unique_ptr<TStatistics> TStatistics::NewWorkerCopy() const
{
    throw EDatabaseError("Cannot summarise " + dataset_.SourceDescription()
                         + " off this thread: this kind of statistics cannot be copied");
}

void TStatistics::CopySettingsTo(TStatistics& worker) const
{
    worker.statFieldName_ = statFieldName_;
    worker.scaleBy_ = scaleBy_;
    worker.recordPlotCount_ = recordPlotCount_;
    worker.current_.NumClasses = current_.NumClasses;
    for (int slot = 0; slot < CacheSlots; ++slot)
        worker.cache_[slot].NumClasses = cache_[slot].NumClasses;
    // Progress goes to the future: nobody is asked whether to show it.
    worker.showCalcProgress_ = TBoolPlus::Always;
    worker.useSpool_ = useSpool_;
    worker.spoolMemory_ = spoolMemory_;
    worker.computeOnServer_ = computeOnServer_;
}

void TStatistics::AdoptResults(TStatistics& from)
{
    mean_ = from.mean_, stdDev_ = from.stdDev_, variance_ = from.variance_;
    minimum_ = from.minimum_, maximum_ = from.maximum_, mu3_ = from.mu3_, mu4_ = from.mu4_;
    median_ = from.median_, range_ = from.range_, skew_ = from.skew_, kurtosis_ = from.kurtosis_;
    total_ = from.total_, coeffVariation_ = from.coeffVariation_;
    totalRemainder_ = from.totalRemainder_, loadMean_ = from.loadMean_;
    scaledVariance_ = from.scaledVariance_, scaledMu3_ = from.scaledMu3_;
    momentShift_ = from.momentShift_, dataCount_ = from.dataCount_;
    dataLoaded_ = from.dataLoaded_, medianValid_ = from.medianValid_;
    varianceValid_ = from.varianceValid_, skewValid_ = from.skewValid_;
    kurtosisValid_ = from.kurtosisValid_, progressAccepted_ = from.progressAccepted_;
    anyValueRead_ = from.anyValueRead_;
    current_ = from.current_;
    cache_ = from.cache_;
    valueStore_ = from.valueStore_;
    sortedValues_ = from.sortedValues_;
    numericFieldNames_ = from.numericFieldNames_;
    // What the worker's load read is what this dataset reads now: its values serve the passes
    // and quantiles after it until the field, scale or opening change.
    const auto here = [this](SpoolOrigin origin) {
        origin.openings = dataset_.Openings();
        origin.active = dataset_.Active();
        return origin;
    };
    spool_ = std::move(from.spool_);
    spoolOrigin_ = here(from.spoolOrigin_);
    loadOrigin_.reset();
    if (from.loadOrigin_)
        loadOrigin_ = here(*from.loadOrigin_);
}

bool TStatistics::LoadDataSet()
{
    if (computeOnServer_) {
        loadOrigin_.reset();
        loadMean_ = Undefined; // the server's total is finite, or so is no mean
        return LoadOnServer();
    }
    static const std::string message = "Loading dataset, calculating totals, mean";

    // The values of an earlier load go first, so that memory holds one load's at most.
    DropSpool();
    const std::unique_ptr<TValueSource> source = OpenValues();
    const bool accepted = zel::ProgressAccepted(showCalcProgress_, *source);
    const TWalkFrame frame(observer_, SourceHeading(),
                          showCalcProgress_ == TBoolPlus::Always || accepted);
    // Without an observer the records need not be counted before the walk, which counts them.
    Progress progress(observer_, TWalkKind::Load, message,
                      observer_ != nullptr ? source->RecordCount() : 0);

    // The walk works on locals and a scratch store, so that a failure leaves every earlier
    // result as it was.
    LoadSums sums;
    std::unique_ptr<TSpool> spool =
        useSpool_ ? std::make_unique<TSpool>(spoolMemory_) : nullptr;
    WalkValues(*source, scaleBy_, progress, ReportWhen::AfterValue, [&](double x) {
        if (spool)
            spool->Add(x);
        if (sums.count < MaxStoredValues)
            loadBuffer_[sums.count] = x;
        sums.Add(x);
    });
    const std::int64_t n = sums.count;

    const SpoolOrigin origin{statFieldName_,      SourceText(),       scaleBy_,
                             dataset_.Openings(), dataset_.Active(), source->RecordCount()};
    loadOrigin_ = origin;
    if (spool && spool->Seal()) {
        spoolOrigin_ = origin;
        spool_ = std::move(spool);
    }
    std::copy_n(loadBuffer_.begin(), std::min<std::int64_t>(n, MaxStoredValues),
                valueStore_.begin());
    progressAccepted_ = accepted;
    minimum_ = sums.minimum;
    maximum_ = sums.maximum;
    total_ = sums.total.Total();
    loadMean_ = sums.Mean();
    totalRemainder_ = sums.total.Remainder();
    anyValueRead_ = n > 0;
    GetdsClasses();
    WarnIfNoClasses();
    dataCount_ = n;
    dataLoaded_ = n > 1;
    return dataLoaded_;
}

bool TStatistics::GetdsLoaded()
{
    if (!dataLoaded_)
        dataLoaded_ = LoadDataSet();
    return dataLoaded_;
}

std::int64_t TStatistics::GetdsDataCount() { return GetdsLoaded() ? dataCount_ : -1; }

double TStatistics::GetdsTotal() { return GetdsLoaded() ? total_ : 0.0; }

double TStatistics::GetdsMean()
{
    mean_ = 0.0;
    if (GetdsLoaded())
        mean_ = std::isfinite(total_) ? MeanOfTotal(GetdsTotal(), totalRemainder_, GetdsDataCount())
                                      : loadMean_;
    return mean_;
}

double TStatistics::GetdsRange()
{
    range_ = maximum_ - minimum_;
    return range_;
}

double TStatistics::GetdsValue(std::int64_t position)
{
    if (position < 1)
        throw std::out_of_range("value store position " + std::to_string(position)
                                + " is outside 1.." + std::to_string(MaxStoredValues));
    if (position <= MaxStoredValues)
        return valueStore_[position - 1];
    if (position == MaxStoredValues + 1) {
        MessageDlg("Records above # " + std::to_string(MaxStoredValues) + " not stored.",
                   TMsgDlgType::mtWarning, mbOK);
    }
    return 0.0;
}

// --- Moments, dispersion and shape

void TStatistics::RunPass(Pass pass)
{
    if (computeOnServer_)
        return RunPassOnServer(pass);
    // The values the load kept describe the rows its results describe; only without them is
    // the data source read again.
    if (TSpool* spool = CurrentSpool()) {
        try {
            TSpoolValues values(*spool, spoolOrigin_.records);
            WalkPass(pass, values, 1.0);
            return;
        } catch (const ESpoolError&) {
            // The temporary file could not be read back: the pass, which changed nothing
            // yet, starts over on the data source.
            DropSpool();
        }
    }
    WalkPass(pass, *OpenValues(), scaleBy_);
}

const std::string& TStatistics::PassMessage(Pass pass)
{
    static const std::string messages[] = {
        "Calculating Variance, Skew, Kurtosis",
        "Calculating Variance",
        "Calculating Skewness",
        "Calculating Kurtosis",
    };
    return messages[static_cast<int>(pass)];
}

void TStatistics::WalkPass(Pass pass, TValueSource& source, double scaleBy)
{
    const std::string& message = PassMessage(pass);

    const TWalkFrame frame(observer_, SourceHeading(), ShowsProgress());
    Progress progress(observer_, TWalkKind::Pass, message, source.RecordCount());

    // The class tables are filled in a working copy and replace the component's own only when
    // the pass completes.
    const bool tally = pass == Pass::Moments || pass == Pass::Variance;
    PassTables tables;
    std::optional<ClassTally> classes;
    if (tally) {
        tables[0] = current_;
        std::copy_n(cache_.begin(), MaintainedSlots, tables.begin() + 1);
        for (auto& table : tables)
            ClearCounts(table);
        if (pass != Pass::Moments) // the moments pass counts them itself, on both cores
            classes.emplace(tables);
    }

    PassSums sums;
    // Deviations of extreme size are scaled by a power of two (stats/Aggregates.h).
    const int shift = DeviationShift(mean_, minimum_, maximum_);
    const double scale = std::ldexp(1.0, shift), scaledMean = mean_ * scale;
    std::optional<MomentPass> moments;
    if (pass == Pass::Moments)
        moments.emplace(mean_, shift, std::span<TFreqData>(tables));
    ValueExtent seen;
    WalkValues(source, scaleBy, progress, ReportWhen::BeforeValue, [&](double x) {
        seen.Add(x);
        const double d = x * scale - scaledMean;
        switch (pass) {
        case Pass::Moments: moments->Add(x); return;
        case Pass::Variance: sums.s2 += d * d; break;
        case Pass::Skewness: sums.s3 += raiseTo(d, 3); break;
        case Pass::Kurtosis: sums.s4 += raiseTo(d, 4); break;
        }
        if (classes)
            classes->Count(x);
        ++sums.n;
    });
    if (classes)
        classes->AddPiecesToTables();
    if (moments)
        sums = moments->Finish();
    // A pass after a change of field, scale or rows reads other values by design.
    if (loadOrigin_ && ReadsAsLoaded(*loadOrigin_))
        CheckSameValues(seen);

    CommitPass(pass, sums, tally ? &tables : nullptr, shift);
}

void TStatistics::CheckSameValues(const ValueExtent& seen)
{
    const LoadSums load = LoadSums::FromParts(dataCount_, total_, totalRemainder_, minimum_,
                                              maximum_);
    if (seen.Matches(load))
        return;
    // The cursor of the dataset the pass read, where it is open, says why no snapshot held.
    const std::string gap = dataset_.Active() ? dataset_.DriverCursor().SnapshotGap() : "";
    throw EDatabaseError(DataChangedMessage("summary", gap));
}

void TStatistics::CommitPass(Pass pass, const PassSums& sums, PassTables* tables, int shift)
{
    // All three moments divide by n - 1; with fewer than two values they are undefined.
    const double divisor = static_cast<double>(sums.n - 1);
    const bool enough = sums.n >= 2;
    switch (pass) {
    case Pass::Moments: {
        const MomentResults r = FinishMoments(sums, PowerRule::ExpLog, shift);
        variance_ = r.variance;
        mu3_ = r.mu3;
        mu4_ = r.mu4;
        skew_ = r.skew;
        kurtosis_ = r.kurtosis;
        scaledVariance_ = enough ? sums.s2 / divisor : Undefined;
        scaledMu3_ = r.scaledMu3;
        varianceValid_ = skewValid_ = kurtosisValid_ = true;
        break;
    }
    case Pass::Variance:
        scaledVariance_ = enough ? sums.s2 / divisor : Undefined;
        variance_ = std::ldexp(scaledVariance_, -2 * shift);
        break;
    case Pass::Skewness:
        scaledMu3_ = enough ? sums.s3 / divisor : Undefined;
        mu3_ = std::ldexp(scaledMu3_, -3 * shift);
        skew_ = Quotient(raiseTo(scaledMu3_, 2), raiseTo(scaledVariance_, 3));
        break;
    case Pass::Kurtosis: {
        const double mu4 = enough ? sums.s4 / divisor : Undefined;
        mu4_ = std::ldexp(mu4, -4 * shift);
        kurtosis_ = Quotient(mu4, scaledVariance_ * scaledVariance_);
        break;
    }
    }
    momentShift_ = shift;
    if (tables != nullptr) {
        for (auto& table : *tables)
            UpdatePercentages(table, dataCount_);
        current_ = (*tables)[0];
        std::copy_n(tables->begin() + 1, MaintainedSlots, cache_.begin());
    }
}

void TStatistics::CalculateMoments() { RunPass(Pass::Moments); }

double TStatistics::CachedPass(Pass pass, bool& valid, const double& result)
{
    if (!valid)
        RunPass(pass);
    valid = true;
    if (observer_ != nullptr)
        observer_->Idle();
    return result;
}

double TStatistics::GetdsVariance() { return CachedPass(Pass::Variance, varianceValid_, variance_); }

double TStatistics::GetdsStdDev()
{
    // From the scaled variance, so that it is given wherever it is a double.
    stdDev_ = std::ldexp(std::sqrt(scaledVariance_), -momentShift_);
    return stdDev_;
}

double TStatistics::GetdsCoeffVariation()
{
    const double sd = GetdsStdDev();
    const double mean = GetdsMean();
    // A quotient near the largest double overflows when made a percentage: undefined, too.
    const double percent = Quotient(sd, mean) * 100;
    coeffVariation_ = std::isfinite(percent) ? percent : Undefined;
    return coeffVariation_;
}

double TStatistics::GetdsSkew() { return CachedPass(Pass::Skewness, skewValid_, skew_); }

std::string TStatistics::GetdsSkewSign() const { return SkewSign(scaledMu3_); }

double TStatistics::GetdsKurtosis() { return CachedPass(Pass::Kurtosis, kurtosisValid_, kurtosis_); }

// --- Frequency classes

void TStatistics::GetdsClasses()
{
    const double range = GetdsRange();
    LayOutBounds(current_, current_.NumClasses, minimum_, range);
    CoverExtremes(current_, current_.NumClasses, minimum_, maximum_);
    for (int slot = 0; slot < MaintainedSlots; ++slot) {
        LayOutBounds(cache_[slot], cache_[slot].NumClasses, minimum_, range);
        CoverExtremes(cache_[slot], cache_[slot].NumClasses, minimum_, maximum_);
    }
}

void TStatistics::WarnIfNoClasses()
{
    const int k = current_.NumClasses;
    if (!(maximum_ > minimum_) || k == 0
        || (std::isfinite(current_.ClassStart[1]) && std::isfinite(current_.ClassEnd[k])))
        return;
    MessageDlg("The values range from " + FloatToStr(minimum_) + " to " + FloatToStr(maximum_)
                   + ", too wide for class bounds a double can hold: no frequency classes are"
                     " made of them.",
               TMsgDlgType::mtWarning, mbOK);
}

void TStatistics::ClearClassCounts()
{
    ClearCounts(current_);
    for (int slot = 0; slot < MaintainedSlots; ++slot)
        ClearCounts(cache_[slot]);
}

void TStatistics::PlaceClass(double x)
{
    Tally(current_, x);
    UpdatePercentages(current_, dataCount_);
    CacheClass(0, x);
}

void TStatistics::CacheClass(int slot, double x)
{
    CheckSlot(slot);
    Tally(cache_[slot], x);
    UpdatePercentages(cache_[slot], dataCount_);
}

void TStatistics::SetClassDataFromCache(int slot)
{
    CheckSlot(slot);
    const TFreqData& from = cache_[slot];
    current_.NumClasses = from.NumClasses;
    current_.ModeClassCount = from.ModeClassCount;
    current_.Mode = from.Mode;
    for (int i = 1; i <= from.NumClasses; ++i) {
        current_.ClassCumPercent[i] = from.ClassCumPercent[i];
        current_.ClassPercent[i] = from.ClassPercent[i];
        current_.ClassStart[i] = from.ClassStart[i];
        current_.ClassEnd[i] = from.ClassEnd[i];
        current_.ClassCount[i] = from.ClassCount[i];
    }
}

TFreqData TStatistics::GetdsCachedFreqData(int slot) const
{
    CheckSlot(slot);
    return cache_[slot];
}

// --- Median and mode

double TStatistics::GetdsMedian()
{
    if (medianValid_)
        return median_;
    const std::int64_t count = GetdsDataCount();
    if (count > MaxStoredValues) {
        MessageDlg("Median is calculated based on\n\ronly the first "
                       + std::to_string(MaxStoredValues) + " records.",
                   TMsgDlgType::mtWarning, mbOK);
    }
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, MaxStoredValues));
    // With fewer than two values (a count of -1) nothing is sorted: the median is position 1,
    // the one value read, or undefined when none was.
    sortDataset(valueStore_, sortedValues_, std::max(n, 0));
    const std::int32_t h = n / 2;
    if (!anyValueRead_)
        median_ = Undefined;
    else if (n % 2 == 0)
        median_ = (sortedValues_[h - 1] + sortedValues_[h]) * 0.5;
    else
        median_ = sortedValues_[h];
    medianValid_ = true;
    return median_;
}

double TStatistics::GetdsMode()
{
    FindMode(current_);
    for (int slot = 0; slot < MaintainedSlots; ++slot)
        FindMode(cache_[slot]);
    return current_.Mode;
}

double TStatistics::GetdsQuantile(double p)
{
    CheckProbability(p);
    GetdsLoaded();
    if (!anyValueRead_)
        return Undefined;
    const double ps[] = {p};
    // From the values the load kept, divided already; without them from the data source.
    if (TSpool* spool = CurrentSpool()) {
        try {
            TSpoolValues values(*spool, spoolOrigin_.records);
            return Quantiles(values, dataCount_, minimum_, maximum_, ps)[0];
        } catch (const ESpoolError&) {
            DropSpool();
        }
    }
    const std::unique_ptr<TValueSource> source = OpenValues();
    ScaledValues values(*source, scaleBy_);
    return Quantiles(values, dataCount_, minimum_, maximum_, ps)[0];
}

} // namespace zel
