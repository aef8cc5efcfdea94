#include "zelstats/stats/ServerSummary.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/stats/ResultRules.h"

#include <algorithm>
#include <functional>

namespace zel {

namespace server {

LoadTotals CombineLoad(std::vector<ServerLoadPart> parts)
{
    const auto byPart = [](const ServerLoadPart& a, const ServerLoadPart& b) {
        return a.part < b.part;
    };
    std::stable_sort(parts.begin(), parts.end(), byPart);
    LoadTotals totals;
    for (const ServerLoadPart& part : parts) {
        if (part.count == 0)
            continue;
        totals.finite = totals.finite && std::isfinite(part.minimum) && std::isfinite(part.maximum);
        totals.sums.Combine(LoadSums::FromParts(part.count, part.total, part.remainder,
                                                part.minimum, part.maximum));
    }
    return totals;
}

void ScaledSum(const CompensatedSum& sum, double scaleBy, double& total, double& remainder)
{
    // Extended precision carries the division far below a double's rounding.
    const long double exact =
        (static_cast<long double>(sum.Total()) + sum.Remainder()) / scaleBy;
    total = static_cast<double>(exact);
    remainder = static_cast<double>(exact - total);
}

std::vector<double> PieceBounds(std::span<const TFreqData> tables)
{
    std::vector<double> bounds;
    for (const TFreqData& table : tables) {
        for (int i = 0; i < table.NumClasses; ++i) {
            bounds.push_back(table.ClassStart.data()[i]);
            bounds.push_back(table.ClassEnd.data()[i]);
        }
    }
    std::erase_if(bounds, [](double b) { return std::isnan(b); });
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    return bounds;
}

PassTotals CombinePieces(std::vector<ServerPiece> rows, std::size_t bounds)
{
    PassTotals totals;
    totals.pieces.assign(bounds == 0 ? 0 : bounds - 1, 0);
    std::stable_sort(rows.begin(), rows.end(), [](const ServerPiece& a, const ServerPiece& b) {
        return a.part != b.part ? a.part < b.part : a.piece < b.piece;
    });
    for (const ServerPiece& row : rows) {
        totals.sums.Combine(MomentSums{row.count, row.sum2, row.sum3, row.sum4});
        // Pieces 0 and bounds hold the values outside every class.
        if (row.piece >= 1 && row.piece <= static_cast<std::int64_t>(totals.pieces.size()))
            totals.pieces[row.piece - 1] += row.count;
    }
    return totals;
}

void CountClasses(std::span<TFreqData> tables, const std::vector<double>& bounds,
                  const std::vector<std::int64_t>& pieces)
{
    const auto position = [&](double bound) {
        return static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), bound)
                                        - bounds.begin());
    };
    for (TFreqData& table : tables) {
        for (int i = 0; i < table.NumClasses; ++i) {
            const double start = table.ClassStart.data()[i];
            const double end = table.ClassEnd.data()[i];
            if (!(start < end))
                continue; // empty, or a NaN bound: no value lies in it
            std::int64_t& count = table.ClassCount.data()[i];
            for (std::size_t j = position(start); j < position(end); ++j)
                count += pieces[j];
        }
    }
}

} // namespace server

namespace {

// The field as the server's statements read it, on the open dataset's own connection.
struct ServerField {
    ServerSummaries& server;
    const TField& field;
    int column = 0;
    bool numbers = false;
};

ServerField OpenServerField(TDataSet& dataset, const std::string& fieldName)
{
    ServerSummaries& server = SummariesOf(dataset.DriverCursor(), dataset.SourceDescription());
    const TField& field = dataset.FieldByName(fieldName);
    return ServerField{server, field, field.Index(), server.HoldsNumbers(field.Index())};
}

// Fails as the walk would have at its first unreadable value.
[[noreturn]] void ThrowUnreadable(const ServerField& f,
                                  const std::optional<ServerUnreadable>& found,
                                  const std::string& source)
{
    if (!found)
        throw EDatabaseError("Cannot read " + source
                             + ": the server counted a value that is not finite but did not "
                               "find it again");
    f.field.ThrowNotANumberAt(found->text, found->record,
                              f.numbers ? "a finite number" : "a number");
}

[[noreturn]] void ThrowFirstUnreadable(const ServerField& f, const std::string& source)
{
    ThrowUnreadable(f, f.server.FirstUnreadable(f.column, f.numbers), source);
}

// A field that holds no numbers can be summarised only when it holds no value at all.
void CheckHoldsNoValue(const ServerField& f, const std::string& source)
{
    if (auto found = f.server.FirstUnreadable(f.column, false))
        ThrowUnreadable(f, found, source);
}

// What the load keeps, after ScaleBy, as the walk's load gives it.
struct LoadValues {
    std::int64_t count = 0;
    double minimum = Undefined, maximum = Undefined;
    double total = 0.0, remainder = 0.0;
    std::vector<double> store;
};

LoadValues LoadNumbers(const ServerField& f, double scaleBy, const std::string& source,
                       const std::function<void(double)>& tell)
{
    LoadValues load;
    // The first values are read first: by them the server chooses how to sum the column.
    const std::vector<double> first = f.server.FirstValues(f.column, MaxStoredValues);
    tell(0.5);
    const server::LoadTotals totals = server::CombineLoad(f.server.Load(f.column, first));
    const LoadSums& sums = totals.sums;
    load.count = sums.count;
    if (load.count > 0) {
        if (!totals.finite)
            ThrowFirstUnreadable(f, source);
        // Division keeps the order of the values, or reverses it for a negative ScaleBy.
        load.minimum = (scaleBy > 0 ? sums.minimum : sums.maximum) / scaleBy;
        load.maximum = (scaleBy > 0 ? sums.maximum : sums.minimum) / scaleBy;
        server::ScaledSum(sums.total, scaleBy, load.total, load.remainder);
    }
    for (const double value : first)
        load.store.push_back(value / scaleBy);
    tell(1.0);
    return load;
}

server::PassTotals PassNumbers(const ServerField& f, const ServerPassRequest& request,
                               const std::string& source)
{
    server::PassTotals totals =
        server::CombinePieces(f.server.Pass(f.column, request), request.bounds.size());
    // A value that is not finite makes its powers and their sums so, and no finite value
    // does: the server fails on a power out of float8's range.
    const MomentSums& sums = totals.sums;
    if (!std::isfinite(sums.s2) || !std::isfinite(sums.s3) || !std::isfinite(sums.s4))
        ThrowFirstUnreadable(f, source);
    return totals;
}

} // namespace

bool TStatistics::LoadOnServer()
{
    static const std::string message = "Loading dataset, calculating totals, mean";

    const ServerField f = OpenServerField(dataset_, statFieldName_);
    const std::string source = dataset_.SourceDescription();
    // All the load's statements read one snapshot, as a walk reads one.
    const TDataSet::TSnapshot snapshot(dataset_);
    const bool accepted = zel::ProgressAccepted(showCalcProgress_, dataset_);
    const TWalkFrame frame(observer_, SourceHeading(),
                          showCalcProgress_ == TBoolPlus::Always || accepted);
    const auto tell = [&](double fraction) {
        if (observer_ != nullptr)
            observer_->WalkProgress(TWalkKind::Load, message, fraction);
    };

    LoadValues load;
    if (f.numbers) {
        load = LoadNumbers(f, scaleBy_, source, tell);
    } else {
        CheckHoldsNoValue(f, source);
        tell(1.0);
    }

    std::copy(load.store.begin(), load.store.end(), valueStore_.begin());
    progressAccepted_ = accepted;
    minimum_ = load.minimum;
    maximum_ = load.maximum;
    total_ = load.total;
    totalRemainder_ = load.remainder;
    anyValueRead_ = load.count > 0;
    GetdsClasses();
    WarnIfNoClasses();
    dataCount_ = load.count;
    dataLoaded_ = load.count > 1;
    return dataLoaded_;
}

void TStatistics::RunPassOnServer(Pass pass)
{
    const ServerField f = OpenServerField(dataset_, statFieldName_);
    const std::string source = dataset_.SourceDescription();
    const TDataSet::TSnapshot snapshot(dataset_);
    const TWalkFrame frame(observer_, SourceHeading(), ShowsProgress());

    // The tables are counted in a working copy, as by the walk.
    const bool tally = pass == Pass::Moments || pass == Pass::Variance;
    PassTables tables;
    ServerPassRequest request;
    if (tally) {
        tables[0] = current_;
        std::copy_n(cache_.begin(), MaintainedSlots, tables.begin() + 1);
        for (auto& table : tables)
            std::fill_n(table.ClassCount.data(), table.NumClasses, 0);
        request.bounds = server::PieceBounds(tables);
    }

    server::PassTotals totals;
    if (f.numbers) {
        request.mean = mean_;
        request.scaleBy = scaleBy_;
        request.shift = DeviationShift(mean_, minimum_, maximum_);
        request.power2 = pass == Pass::Moments || pass == Pass::Variance;
        request.power3 = pass == Pass::Moments || pass == Pass::Skewness;
        request.power4 = pass == Pass::Moments || pass == Pass::Kurtosis;
        totals = PassNumbers(f, request, source);
    } else {
        CheckHoldsNoValue(f, source);
        totals.pieces.assign(request.bounds.empty() ? 0 : request.bounds.size() - 1, 0);
    }
    if (observer_ != nullptr)
        observer_->WalkProgress(TWalkKind::Pass, PassMessage(pass), 1.0);

    if (tally)
        server::CountClasses(tables, request.bounds, totals.pieces);
    // The walk's own formulas, on the server's sums.
    CommitPass(pass, PassSums{totals.sums.n, totals.sums.s2, totals.sums.s3, totals.sums.s4},
               tally ? &tables : nullptr, request.shift);
}

} // namespace zel
