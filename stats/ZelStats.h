// The statistics engine shared by the two component kinds, TRivuReviQuery and TRivuReviTable.
//
// A component names one numeric field (StatFieldName) of its own records and answers
// descriptive statistics of it. Statistics load lazily: the first request walks the records
// once (loading); Summarize starts over and computes everything. Every value is the field's
// value divided by ScaleBy.
//
// Undefined results are a quiet NaN, never an infinity or a made-up number: the variance and
// everything derived from it with fewer than two values, skewness and kurtosis of a zero
// variance, the coefficient of variation of a zero mean, and minimum, maximum, range, median
// and mode of a component that read no value at all.
#pragma once

#include "zelstats/stats/Aggregates.h"
#include "zelstats/stats/ValueSource.h"
#include "zelstats/stats/WalkObserver.h"
#include "zelstats/tools/ZelTools.h"

#include <QFuture>

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zel {

class TAsyncRun;
class TDataSet;

enum class TBoolPlus : std::uint8_t { Prompt = 0, Always = 1, Never = 2 };

// The question a walk over more than 1000 records asks when ShowCalcProgress is Prompt, on the
// summary, on the server and in describe alike: "Large dataset. Show progress during loading or
// calculating." True when the answer is Yes.
bool AskToShowProgress();

// Whether the user accepts to see a walk's progress: asked (AskToShowProgress) only when the
// mode is Prompt and `source` (a dataset or a value source) holds more than 1000 records.
template <class Source>
bool ProgressAccepted(TBoolPlus mode, Source& source)
{
    return mode == TBoolPlus::Prompt && source.MoreRecordsThan(1000) && AskToShowProgress();
}

inline constexpr int MaxStoredValues = 10000;
// A class table has at most 50 classes; cell k + 1 holds the totals of a table of k classes.
inline constexpr int MaxClasses = 50;
inline constexpr int ClassCells = MaxClasses + 1;
// Cache slots 0..10; slots 0..7 are maintained (slot 0 follows FreqClasses).
inline constexpr int CacheSlots = 11;
inline constexpr int MaintainedSlots = 8;

inline constexpr double Undefined = std::numeric_limits<double>::quiet_NaN();

// An array addressed from 1 to N. Indexing outside 1..N throws std::out_of_range with the
// index and the range, and never touches memory.
template <class T, int N>
class OneBased {
public:
    T& operator[](int i) { check(i); return cells_[i - 1]; }
    const T& operator[](int i) const { check(i); return cells_[i - 1]; }
    // Unchecked access for loops whose bounds are already known to lie in 1..N.
    T* data() { return cells_.data(); }
    const T* data() const { return cells_.data(); }
    void fill(const T& v) { cells_.fill(v); }
    friend bool operator==(const OneBased&, const OneBased&) = default;

private:
    static void check(int i)
    {
        if (i < 1 || i > N)
            throw std::out_of_range("index " + std::to_string(i) + " is outside 1.."
                                    + std::to_string(N));
    }
    std::array<T, N> cells_{};
};

// One class table: k classes in cells 1..k, their totals in cell k + 1.
struct TFreqData {
    std::uint16_t NumClasses = 0;
    std::int64_t ModeClassCount = 0;
    double Mode = 0.0;
    OneBased<double, ClassCells> ClassStart;
    OneBased<double, ClassCells> ClassEnd;
    OneBased<double, ClassCells> ClassPercent;
    OneBased<double, ClassCells> ClassCumPercent;
    OneBased<std::int64_t, ClassCells> ClassCount;
};

class TStatistics {
public:
    virtual ~TStatistics();
    TStatistics(const TStatistics&) = delete;
    TStatistics& operator=(const TStatistics&) = delete;

    // --- Published properties
    const std::string& StatFieldName() const { return statFieldName_; }
    void SetStatFieldName(std::string name) { statFieldName_ = std::move(name); }
    double ScaleBy() const { return scaleBy_; }
    // Rejects an absolute value below 0.0001 with "Cannot Scale by 0." and sets 1.0.
    void SetdsScaleFactor(double value);
    std::uint16_t FreqClasses() const { return current_.NumClasses; }
    // Values above 50 become 50; slot 0 follows.
    void SetdsFreqClasses(std::uint16_t value);
    std::uint16_t RecordPlotCount() const { return recordPlotCount_; }
    // Values above 10000 become 10000.
    void SetdsMaxPlotCount(std::uint16_t value);
    TBoolPlus ShowCalcProgress() const { return showCalcProgress_; }
    void SetShowCalcProgress(TBoolPlus value) { showCalcProgress_ = value; }
    // Whether a load keeps the values it reads (after ScaleBy, in order) for the passes after
    // it, so that they do not read the data source again. Default true; false drops what the
    // last load kept. Results are the same either way, to the bit.
    bool UseSpool() const { return useSpool_; }
    void SetUseSpool(bool use);
    // Bytes of kept values held in memory; beyond them the values go to an unnamed temporary
    // file in TMPDIR (else /tmp), 8 bytes a value. Default 64 MiB. Where the file cannot be
    // written, the passes read the data source again. Applies from the next load.
    std::size_t SpoolMemory() const { return spoolMemory_; }
    void SetSpoolMemory(std::size_t bytes) { spoolMemory_ = bytes; }

    // Computes the load and the passes as aggregate statements on the database server, so
    // that no record leaves it: the same statistics, to within 1e-12 relative, and the same
    // class counts (stats/ServerSummary.h). Needs a PostgreSQL data source; on any other the
    // first load or pass throws EDatabaseError. Off by default.
    bool ComputeOnServer() const { return computeOnServer_; }
    void SetComputeOnServer(bool value) { computeOnServer_ = value; }

    // Who is told of each walk over the records (progress and busy cursor); null for nobody.
    // The observer must outlive its use here.
    TWalkObserver* WalkObserver() const { return observer_; }
    void SetWalkObserver(TWalkObserver* observer) { observer_ = observer; }

    // --- Lifecycle
    // Refreshes the numeric field names and clears the cached results.
    void Initialize();
    // Refills NumericFieldNames with the numeric fields of the data, opening the dataset for
    // the purpose when it is closed and closing it again.
    const std::vector<std::string>& GetNumericFields();
    const std::vector<std::string>& NumericFieldNames() const { return numericFieldNames_; }

    // --- Loading and basic summaries
    // Starts over and computes every statistic. All its walks read one snapshot of the data.
    void Summarize();
    // Summarize() on a worker thread, so that the calling thread (the window thread) goes on
    // processing events; follow the future with a QFutureWatcher. The worker opens a copy of
    // the data source (this dataset need not be open) through a connection of its own (a copy
    // of the application's Qt connection, removed afterwards) and reads it in one snapshot,
    // into statistics of its own, and asks no question (its progress goes to the future
    // instead). The future reports progress 0 to 100 per walk, each walk's message as progress
    // text. It finishes in the calling thread's
    // event loop once every result is in this object, which then answers every Getds... and
    // shows its windows as after Summarize(); waiting on it from the calling thread without
    // processing events therefore never ends. A failure reaches the future (waiting rethrows
    // it); cancelling the future stops the summary within 200 ms, whatever walk or statement
    // runs. A failed or cancelled summary leaves every earlier result as it was. Until the
    // future finishes, this object is not to be used (but through the future), nor its
    // dataset. Fails at once where a connection of another thread cannot see what this one
    // reads (an in-memory SQLite database, a transaction the application holds open), or when
    // the calling thread has no event loop.
    QFuture<void> SummarizeAsync();
    bool LoadDataSet();
    bool GetdsLoaded();
    // Number of values read, or -1 when fewer than two were read.
    std::int64_t GetdsDataCount();
    double GetdsTotal();
    double GetdsMean();
    double GetdsRange();
    // Position 1..10000 of the value store; 10001 warns "Records above # 10000 not stored."
    // and gives 0; above that 0. Position 0 or below throws std::out_of_range.
    double GetdsValue(std::int64_t position);

    // --- Moments, dispersion and shape
    void CalculateMoments();
    double GetdsVariance();
    double GetdsStdDev();
    double GetdsCoeffVariation();
    double GetdsSkew();
    // "(-)", "(+)" or "(0)": the sign of the third moment.
    std::string GetdsSkewSign() const;
    double GetdsKurtosis();
    double GetdsMu3() const { return mu3_; }
    double GetdsMu4() const { return mu4_; }

    // --- Frequency classes
    void GetdsClasses();
    // After a load: a warning when its values spread so wide (from -1e308 to 1e308, say) that
    // the class bounds leave the doubles, so that no value can be counted in a class.
    void WarnIfNoClasses();
    void ClearClassCounts();
    void PlaceClass(double x);
    void CacheClass(int slot, double x);
    void SetClassDataFromCache(int slot);
    TFreqData GetdsCachedFreqData(int slot) const;
    std::int64_t GetdsClassCount(int cls) const { return current_.ClassCount[cls]; }
    double GetdsClassPercent(int cls) const { return current_.ClassPercent[cls]; }
    double GetdsClassCumPercent(int cls) const { return current_.ClassCumPercent[cls]; }
    double GetdsClassStart(int cls) const { return current_.ClassStart[cls]; }
    double GetdsClassEnd(int cls) const { return current_.ClassEnd[cls]; }

    // --- Median and mode
    double GetdsMedian();
    double GetdsMode();
    // The p-quantile of all values of the current load (loading first when none is), exact:
    // linear interpolation between order statistics, as stats/Quantiles.h defines it. Walks
    // the values again, in bounded memory. NaN when no value was read; p outside 0..1 (or
    // NaN) throws std::out_of_range.
    double GetdsQuantile(double p);
    // The frequency of the modal class (a count, not a class number).
    std::int64_t GetdsModeClass() const { return current_.ModeClassCount; }

    // --- Read-only state
    // The number of values the last load read, and their total: also for one value or none,
    // where GetdsDataCount and GetdsTotal answer -1 and 0.
    std::int64_t ValuesRead() const { return dataCount_; }
    double ValuesTotal() const { return total_; }
    double Minimum() const { return minimum_; }
    double Maximum() const { return maximum_; }
    bool DataLoaded() const { return dataLoaded_; }
    bool ProgressAccepted() const { return progressAccepted_; }
    bool MedianValid() const { return medianValid_; }
    bool VarianceValid() const { return varianceValid_; }
    bool SkewValid() const { return skewValid_; }
    bool KurtosisValid() const { return kurtosisValid_; }

    // --- What each kind says of itself
    TDataSet& DataSet() { return dataset_; }
    const TDataSet& DataSet() const { return dataset_; }
    // The data source name of progress headings, plot titles and the class window: a table's
    // name without its directory, or the first SQL line without its first 13 characters.
    virtual std::string DataSourceName() const = 0;
    // The first line of the summary: "Table: " and the table name, or "Dataset Query: " and
    // the first SQL line.
    virtual std::string SourceLine() const = 0;
    // The data source in the frequency polygon's title: a table's name as set, directory
    // included, or DataSourceName().
    virtual std::string SourceTitle() const = 0;
    // The data source whole, as it was given: the table name or the SQL text.
    virtual std::string SourceText() const = 0;
    // "Summary of " + DataSourceName() + " " + StatFieldName().
    std::string SourceHeading() const;

protected:
    explicit TStatistics(TDataSet& dataset);
    // The values a walk reads: by default those of StatFieldName in the component's dataset.
    virtual std::unique_ptr<TValueSource> OpenValues();
    // Statistics of the same kind over a closed copy of the data source, with these settings
    // (CopySettingsTo): what SummarizeAsync computes in. A kind that cannot be copied throws
    // EDatabaseError.
    virtual std::unique_ptr<TStatistics> NewWorkerCopy() const;
    // Gives `worker` the settings a summary depends on; it asks no question.
    void CopySettingsTo(TStatistics& worker) const;

private:
    // Takes every result of `from`, a worker's summary of the same data source, with the values
    // its load kept.
    void AdoptResults(TStatistics& from);
    enum class Pass { Moments, Variance, Skewness, Kurtosis };
    // The progress message of a pass, on the walk and on the server alike.
    static const std::string& PassMessage(Pass pass);
    // A pass's sums: the moment sums of stats/Aggregates.h.
    using PassSums = MomentSums;
    using PassTables = std::array<TFreqData, MaintainedSlots + 1>;
    void RunPass(Pass pass);
    // The pass's results from its sums, the same for a walk and for the server; the tables,
    // where the pass tallied them, replace the component's own.
    // `shift`: the sums are of deviations scaled by 2^shift (stats/Aggregates.h); 0 for plain.
    void CommitPass(Pass pass, const PassSums& sums, PassTables* tables, int shift = 0);
    void WalkPass(Pass pass, TValueSource& source, double scaleBy);
    // Throws EDatabaseError unless a pass saw as many values as the load and its extremes.
    void CheckSameValues(const ValueExtent& seen);
    // The spool of the last load while it still describes what a walk of the data source
    // would read; null after a change of field, ScaleBy, data source or dataset opening.
    TSpool* CurrentSpool();
    void DropSpool();
    // Runs the pass unless its result is valid, and returns the result.
    double CachedPass(Pass pass, bool& valid, const double& result);
    bool ShowsProgress() const;
    // The load and the passes computed on the server (stats/ServerSummary.cpp).
    bool LoadOnServer();
    void RunPassOnServer(Pass pass);

    TDataSet& dataset_;
    TWalkObserver* observer_ = nullptr;

    std::string statFieldName_;
    double scaleBy_ = 1.0;
    std::uint16_t recordPlotCount_ = 500;
    TBoolPlus showCalcProgress_ = TBoolPlus::Prompt;
    bool useSpool_ = true;
    std::size_t spoolMemory_ = TSpool::DefaultMemory;

    // The values of the last load, and what they were read from.
    struct SpoolOrigin {
        std::string field;
        std::string source;
        double scaleBy = 0.0;
        std::uint64_t openings = 0;
        bool active = false;
        // The record count the load saw, nulls included: a pass's progress is a share of it.
        std::int64_t records = 0;
    };
    // Whether a walk now reads what the load described by `origin` read.
    bool ReadsAsLoaded(const SpoolOrigin& origin) const;
    std::unique_ptr<TSpool> spool_;
    SpoolOrigin spoolOrigin_;
    // What the last load walked; none after a load on the server.
    std::optional<SpoolOrigin> loadOrigin_;
    bool computeOnServer_ = false;

    double mean_ = 0, stdDev_ = 0, variance_ = 0, minimum_ = 0, maximum_ = 0;
    double mu3_ = 0, mu4_ = 0, median_ = 0, range_ = 0, skew_ = 0, kurtosis_ = 0;
    double total_ = 0, coeffVariation_ = 0;
    // What the rounded total leaves out of the exact sum of the values.
    double totalRemainder_ = 0;
    // The mean the load worked out, also where its total overflowed.
    double loadMean_ = 0;
    // The variance and third moment of the deviations scaled by 2^momentShift_ (the last
    // pass's), for the results that are worked out from them.
    double scaledVariance_ = 0, scaledMu3_ = 0;
    int momentShift_ = 0;
    std::int64_t dataCount_ = 0;
    bool dataLoaded_ = false, medianValid_ = false, varianceValid_ = false;
    bool skewValid_ = false, kurtosisValid_ = false, progressAccepted_ = false;
    // True once a load has read at least one value; minimum, maximum, range, median and mode
    // are undefined before.
    bool anyValueRead_ = false;

    TFreqData current_;
    std::array<TFreqData, CacheSlots> cache_;

    ValueArray valueStore_{};
    ValueArray sortedValues_{};
    // Where a load puts the values it reads until it completes.
    ValueArray loadBuffer_{};
    std::vector<std::string> numericFieldNames_;
    // The last SummarizeAsync, abandoned when this object goes first.
    std::shared_ptr<TAsyncRun> asyncRun_;
};

} // namespace zel
