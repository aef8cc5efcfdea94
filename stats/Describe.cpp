#include "stats/Describe.h"

#include "platform/DataSet.h"
#include "stats/Sums.h"
#include "stats/WalkObserver.h"
#include "tools/ZelTools.h"

#include <cmath>
#include <limits>
#include <unordered_map>

namespace zel {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// What the walk keeps of one field in one group: its values, for the passes after the walk,
// and what the component's load keeps of them.
struct Accumulator {
    std::vector<double> values;
    std::int64_t nulls = 0;
    CompensatedSum total;
    double minimum = NaN, maximum = NaN;

    // The load's own extremes: the first value, then every value that passes them.
    void Add(double x)
    {
        if (values.empty()) {
            minimum = x;
            maximum = x;
        } else {
            if (x > maximum)
                maximum = x;
            if (x < minimum)
                minimum = x;
        }
        values.push_back(x);
        total.Add(x);
    }
};

double Quotient(double a, double b)
{
    if (b == 0.0)
        return NaN;
    const double q = a / b;
    return std::isfinite(q) ? q : NaN;
}

TDescribeRow Summarize(const Accumulator& a, std::size_t budget)
{
    TDescribeRow row;
    const auto n = static_cast<std::int64_t>(a.values.size());
    row.count = n;
    row.nulls = a.nulls;
    row.minimum = a.minimum;
    row.maximum = a.maximum;
    row.mean = n >= 2 ? MeanOfTotal(a.total.Total(), a.total.Remainder(), n)
               : n == 1 ? a.total.Total()
                        : NaN;
    row.stdDev = row.skew = row.kurtosis = NaN;
    if (n >= 2) {
        // The moments about the mean, by multiplication (the component raises through exp and
        // ln; the two agree to about 1e-15).
        double s2 = 0, s3 = 0, s4 = 0;
        for (const double x : a.values) {
            const double d = x - row.mean;
            const double d2 = d * d;
            s2 += d2;
            s3 += d2 * d;
            s4 += d2 * d2;
        }
        const double divisor = static_cast<double>(n - 1);
        const double variance = s2 / divisor, mu3 = s3 / divisor, mu4 = s4 / divisor;
        row.stdDev = std::sqrt(variance);
        // Skewness here is the squared moment coefficient; its sign is reported separately.
        row.skew = Quotient(mu3 * mu3, variance * variance * variance);
        // Kurtosis is the plain ratio; no 3 is subtracted.
        row.kurtosis = Quotient(mu4, variance * variance);
        row.skewSign = mu3 < 0 ? "(-)" : mu3 > 0 ? "(+)" : mu3 == 0 ? "(0)" : "";
    }
    TSpanValues store(a.values);
    static constexpr double quartiles[] = {0.25, 0.5, 0.75};
    const std::vector<double> q =
        Quantiles(store, n, a.minimum, a.maximum, quartiles, budget);
    row.q1 = q[0];
    row.median = q[1];
    row.q3 = q[2];
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

class WalkFrame {
public:
    WalkFrame(TWalkObserver* observer, const std::string& heading, bool shown)
        : observer_(observer)
    {
        if (observer_ != nullptr)
            observer_->WalkBegins(heading, shown);
    }
    ~WalkFrame()
    {
        if (observer_ != nullptr)
            observer_->WalkEnds();
    }
    WalkFrame(const WalkFrame&) = delete;
    WalkFrame& operator=(const WalkFrame&) = delete;

private:
    TWalkObserver* observer_;
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

    // Groups in the order they first appear; the ungrouped walk has one group.
    std::vector<std::optional<std::string>> keys;
    std::unordered_map<std::string, std::size_t> groupOf;
    std::optional<std::size_t> nullGroup;
    std::vector<Accumulator> accumulators; // group-major: [group * fields + field]
    if (by == nullptr) {
        keys.emplace_back();
        accumulators.resize(fields.size());
    }
    auto groupIndex = [&]() -> std::size_t {
        const bool null = by->IsNull();
        std::string key = null ? std::string() : by->AsString();
        if (null && nullGroup)
            return *nullGroup;
        if (!null) {
            if (const auto it = groupOf.find(key); it != groupOf.end())
                return it->second;
        }
        if (keys.size() >= request.maxGroups)
            throw EDatabaseError("Field '" + by->FieldName() + "' of "
                                 + dataset.SourceDescription() + " has more than "
                                 + std::to_string(request.maxGroups)
                                 + " different values; describe groups by at most that many.");
        const std::size_t index = keys.size();
        if (null) {
            nullGroup = index;
            keys.emplace_back();
        } else {
            keys.emplace_back(key);
            groupOf.emplace(std::move(key), index);
        }
        accumulators.resize(accumulators.size() + fields.size());
        return index;
    };

    {
        const WalkFrame frame(request.observer, "Describe " + dataset.SourceDescription(),
                              request.showProgress);
        const double records = static_cast<double>(dataset.RecordCount());
        std::int64_t done = 0;
        int shownPercent = -1;
        for (dataset.First(); !dataset.Eof(); dataset.Next()) {
            // The group is found (and its accumulators made) before the row is addressed.
            const std::size_t group = by != nullptr ? groupIndex() : 0;
            Accumulator* row = accumulators.data() + group * fields.size();
            for (std::size_t f = 0; f < fields.size(); ++f) {
                double x;
                if (fields[f]->ReadFloat(x))
                    row[f].Add(x);
                else
                    ++row[f].nulls;
            }
            ++done;
            // Told when the whole percentage changes, checked every few thousand records.
            if (request.observer != nullptr && (done & 4095) == 0 && records > 0) {
                const double fraction = std::min(1.0, static_cast<double>(done) / records);
                const int percent = static_cast<int>(fraction * 100.0);
                if (percent != shownPercent) {
                    shownPercent = percent;
                    request.observer->WalkProgress(TWalkKind::Load, message, fraction);
                }
            }
        }
    }

    std::vector<TDescribeRow> rows;
    rows.reserve(accumulators.size());
    for (std::size_t f = 0; f < fields.size(); ++f) {
        for (std::size_t g = 0; g < keys.size(); ++g) {
            Accumulator& a = accumulators[g * fields.size() + f];
            TDescribeRow row = Summarize(a, request.quantileBudget);
            row.field = fields[f]->FieldName();
            row.group = keys[g];
            rows.push_back(std::move(row));
            a.values = {}; // described: its store is no longer needed
        }
    }
    return rows;
}

} // namespace zel
