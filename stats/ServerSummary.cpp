#include "stats/ServerSummary.h"

#include "data/DataSet.h"
#include "data/Messages.h"
#include "data/Driver.h"
#include "stats/ResultRules.h"
#include "stats/ZelStats.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace zel {

namespace server {

namespace {

std::string Values(const FieldSql& f)
{
    return "SELECT " + f.value + " AS x FROM " + f.relation + " WHERE " + f.field + " IS NOT NULL";
}

// d^k by products. The walk's powers go through exp(k ln |d|); the two agree to a few units
// in the last place of each term, far inside the sums' agreement, and the server's pass took
// half as long again with a logarithm and an exponential per term (measured on 2,000,000
// records).
std::string Power(int k)
{
    switch (k) {
    case 2: return "d * d";
    case 3: return "d * d * d";
    default: return "(d * d) * (d * d)";
    }
}

} // namespace

std::string LoadSql(const FieldSql& f)
{
    // A float's sum has no exact cast to numeric, and its text (exact) costs several times
    // the scan. Its parts above 2^-32 (below 2^31) or above 1 (below 2^62) are integers that
    // bigint sums exactly, and the float8 sum of what remains of each value is off by far
    // less than the walk's compensated total: its partial sums stay below n, or n 2^-32.
    // Every part is exact: trunc, and the product and quotient by a power of two, drop only
    // bits, and a value less its upper bits is its lower bits.
    const std::string parts =
        f.decimal.empty()
            ? "coalesce(sum(CASE WHEN abs(x) < 2147483648::float8 THEN "
              "trunc(x * 4294967296::float8)::int8 END), 0), "
              "coalesce(sum(CASE WHEN abs(x) >= 2147483648::float8 AND "
              "abs(x) < 4611686018427387904::float8 THEN trunc(x)::int8 END), 0), "
              "coalesce(sum(CASE WHEN abs(x) < 2147483648::float8 THEN "
              "x - trunc(x * 4294967296::float8) / 4294967296::float8 "
              "WHEN abs(x) < 4611686018427387904::float8 THEN x - trunc(x) ELSE x END), 0)"
            : "0, coalesce(sum(exact), 0), 0";
    const std::string exact = f.decimal.empty() ? "" : ", " + f.decimal + " AS exact";
    return "SELECT count(x), " + parts + ", min(x), max(x) FROM (SELECT " + f.value + " AS x"
           + exact + " FROM " + f.relation + " WHERE " + f.field + " IS NOT NULL) AS zel_values";
}

bool SumOfParts(const std::string& fractions, const std::string& whole, const std::string& rest,
                double scaleBy, double& total, double& remainder)
{
    long double parts[3] = {};
    const std::string* texts[3] = {&fractions, &whole, &rest};
    for (int i = 0; i < 3; ++i) {
        const char* end = texts[i]->data() + texts[i]->size();
        const auto [stop, error] = std::from_chars(texts[i]->data(), end, parts[i]);
        if (error != std::errc() || stop != end)
            return false;
    }
    // Extended precision carries the sum and the division far below a double's rounding.
    const long double exact = (std::ldexp(parts[0], -32) + parts[1] + parts[2]) / scaleBy;
    total = static_cast<double>(exact);
    remainder = static_cast<double>(exact - total);
    return true;
}

std::string ValueStoreSql(const FieldSql& f)
{
    return Values(f) + " LIMIT " + std::to_string(MaxStoredValues);
}

std::string FirstUnreadableSql(const FieldSql& f, bool numbers)
{
    const std::string unreadable =
        numbers ? "abs(" + f.value + ") >= 'Infinity'::float8" : f.field + " IS NOT NULL";
    return "SELECT n, t FROM (SELECT row_number() OVER () AS n, " + f.field + "::text AS t, "
           + unreadable + " AS unreadable FROM " + f.relation
           + ") AS zel_numbered WHERE unreadable ORDER BY n LIMIT 1";
}

std::string PassSql(const FieldSql& f, PassPowers powers, std::size_t bounds, bool scaled)
{
    const bool all = powers == PassPowers::Moments;
    const std::string s2 = all || powers == PassPowers::Variance ? Power(2) : "0::float8";
    const std::string s3 = all || powers == PassPowers::Skewness ? Power(3) : "0::float8";
    const std::string s4 = all || powers == PassPowers::Kurtosis ? Power(4) : "0::float8";
    // A division by 1 changes no value, and one per row cost a tenth of the statement
    // (measured on 10,000,000 records): without a ScaleBy the values are taken as read.
    const std::string scale = "$" + std::to_string(bounds > 0 ? 3 : 2) + "::float8";
    const std::string value = scaled ? "zel_values.x / " + scale : "zel_values.x";
    const std::string piece = bounds > 0 ? "width_bucket(" + value + ", $2::float8[])" : "0";
    // The piece and d of each value, as a UNION ALL whose second branch reads no row (its
    // condition is false: the planner drops it or never runs it). Of a UNION ALL's column
    // the planner has no statistics and takes the default number of groups, a few hundred,
    // so that each worker hashes its part of the rows by piece; of the piece's own
    // expression it would take the field's distinct values (every value, for a float) and
    // sort every row, or hash without workers. And the scan works out d once for the three
    // powers, where a subquery's column would be written out, and worked out, in each of
    // them. Both together took the statement from 2.0 s to 1.1 s on 10,000,000 records
    // against joining the pieces to a generate_series for the estimate.
    const std::string distances =
        "(SELECT " + piece + " AS piece, " + value + " - $1::float8 AS d FROM (" + Values(f)
        + ") AS zel_values UNION ALL SELECT NULL::integer, NULL::float8 FROM " + f.relation
        + " WHERE false) AS zel_distances";
    const std::string sums = "count(*), coalesce(sum(" + s2 + "), 0), coalesce(sum(" + s3
                             + "), 0), coalesce(sum(" + s4 + "), 0) FROM " + distances;
    if (bounds == 0)
        return "SELECT 0, " + sums;
    return "SELECT piece, " + sums + " GROUP BY piece";
}

std::string Float8Text(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    char text[32];
    const auto [end, error] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, 17);
    return std::string(text, end);
}

std::string Float8Array(const std::vector<double>& values)
{
    std::string array = "{";
    for (std::size_t i = 0; i < values.size(); ++i)
        array += (i > 0 ? "," : "") + Float8Text(values[i]);
    return array + "}";
}

} // namespace server

namespace {

// A cell the server wrote: a null or a text that does not read whole is a fault of the
// statement, never a value.
const std::string& Cell(const std::vector<std::optional<std::string>>& row, std::size_t column,
                        const std::string& source)
{
    if (column >= row.size() || !row[column])
        throw EDatabaseError("Cannot read " + source + ": the server gave no result");
    return *row[column];
}

const std::string& Cell(const ServerRows& rows, std::size_t row, std::size_t column,
                        const std::string& source)
{
    if (row >= rows.size())
        throw EDatabaseError("Cannot read " + source + ": the server gave no result");
    return Cell(rows[row], column, source);
}

template <class T>
T Parse(const std::string& text, const std::string& source)
{
    T value{};
    // from_chars reads "NaN", "Infinity" and "-Infinity" too, and never by the locale.
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        throw EDatabaseError("Cannot read " + source + ": the server gave '" + text
                             + "' where a number belongs");
    return value;
}

// The field as the statements read it, on the open dataset's own connection.
struct ServerField {
    DataCursor& cursor;
    const TField& field;
    server::FieldSql sql;
    bool numbers = false;
};

ServerField OpenServerField(TDataSet& dataset, const std::string& fieldName)
{
    DataCursor& cursor = dataset.DriverCursor();
    if (!cursor.ComputesOnServer())
        throw EDatabaseError("Cannot compute the statistics of " + dataset.SourceDescription()
                             + " on its server: only a PostgreSQL data source can");
    const TField& field = dataset.FieldByName(fieldName);
    ServerField f{cursor, field, {}, false};
    f.sql.relation = cursor.ServerRelation();
    f.sql.field = "zel_rows." + QuoteIdentifier(field.FieldName());
    f.numbers = cursor.ServerColumnSql(field.Index(), f.sql.value, f.sql.decimal);
    return f;
}

// Fails as the walk would have at its first unreadable value.
[[noreturn]] void ThrowFirstUnreadable(const ServerField& f, const std::string& source)
{
    const ServerRows rows =
        f.cursor.ServerSelect(server::FirstUnreadableSql(f.sql, f.numbers), {},
                                                      DataCursor::ServerPlan::InScanOrder);
    if (rows.empty())
        throw EDatabaseError("Cannot read " + source
                             + ": the server counted a value that is not finite but did not "
                               "find it again");
    f.field.ThrowNotANumberAt(Cell(rows, 0, 1, source),
                              Parse<std::int64_t>(Cell(rows, 0, 0, source), source),
                              f.numbers ? "a finite number" : "a number");
}

// A field that holds no numbers can be summarised only when it holds no value at all.
void CheckHoldsNoValue(const ServerField& f, const std::string& source)
{
    if (!f.cursor.ServerSelect(server::FirstUnreadableSql(f.sql, false), {},
                                 DataCursor::ServerPlan::InScanOrder).empty())
        ThrowFirstUnreadable(f, source);
}

} // namespace

bool TStatistics::LoadOnServer()
{
    static const std::string message = "Loading dataset, calculating totals, mean";

    const ServerField f = OpenServerField(dataset_, statFieldName_);
    const std::string source = dataset_.SourceDescription();
    // All the load's statements read one snapshot, as a walk reads one.
    const TDataSet::TSnapshot snapshot(dataset_);
    bool accepted = false;
    if (showCalcProgress_ == TBoolPlus::Prompt && dataset_.MoreRecordsThan(1000)) {
        accepted = MessageDlg("Large dataset. Show progress\n\r during loading or calculating.",
                              TMsgDlgType::mtConfirmation, mbYes | mbNo)
                   == TModalResult::mrYes;
    }
    const TWalkFrame frame(observer_, SourceHeading(),
                          showCalcProgress_ == TBoolPlus::Always || accepted);
    const auto tell = [&](double fraction) {
        if (observer_ != nullptr)
            observer_->WalkProgress(TWalkKind::Load, message, fraction);
    };

    std::int64_t n = 0;
    double minimum = Undefined, maximum = Undefined;
    double total = 0.0, remainder = 0.0;
    std::vector<double> store;
    if (!f.numbers) {
        CheckHoldsNoValue(f, source);
        tell(1.0);
    } else {
        const ServerRows load = f.cursor.ServerSelect(server::LoadSql(f.sql), {},
                                                        DataCursor::ServerPlan::Any);
        n = Parse<std::int64_t>(Cell(load, 0, 0, source), source);
        if (n > 0) {
            // The server orders NaN above every number: a value that is not finite is the
            // least or the greatest.
            const double least = Parse<double>(Cell(load, 0, 4, source), source);
            const double greatest = Parse<double>(Cell(load, 0, 5, source), source);
            if (!std::isfinite(least) || !std::isfinite(greatest))
                ThrowFirstUnreadable(f, source);
            // Division keeps the order of the values, or reverses it for a negative ScaleBy.
            minimum = (scaleBy_ > 0 ? least : greatest) / scaleBy_;
            maximum = (scaleBy_ > 0 ? greatest : least) / scaleBy_;
            // The rounded total and what it leaves out, as the walk's compensated sum.
            if (!server::SumOfParts(Cell(load, 0, 1, source), Cell(load, 0, 2, source),
                                    Cell(load, 0, 3, source), scaleBy_, total, remainder))
                throw EDatabaseError("Cannot read " + source
                                     + ": the server gave a sum that is not a number");
        }
        tell(0.5);
        for (const auto& row : f.cursor.ServerSelect(server::ValueStoreSql(f.sql), {},
                                                          DataCursor::ServerPlan::InScanOrder))
            store.push_back(Parse<double>(Cell(row, 0, source), source) / scaleBy_);
        tell(1.0);
    }

    std::copy(store.begin(), store.end(), valueStore_.begin());
    progressAccepted_ = accepted;
    minimum_ = minimum;
    maximum_ = maximum;
    total_ = total;
    totalRemainder_ = remainder;
    anyValueRead_ = n > 0;
    GetdsClasses();
    dataCount_ = n;
    dataLoaded_ = n > 1;
    return dataLoaded_;
}

void TStatistics::RunPassOnServer(Pass pass)
{
    const std::string& message = PassMessage(pass);

    const ServerField f = OpenServerField(dataset_, statFieldName_);
    const std::string source = dataset_.SourceDescription();
    const TDataSet::TSnapshot snapshot(dataset_);
    const TWalkFrame frame(observer_, SourceHeading(), ShowsProgress());

    // The tables are counted in a working copy, as by the walk.
    const bool tally = pass == Pass::Moments || pass == Pass::Variance;
    PassTables tables;
    std::vector<double> bounds;
    if (tally) {
        tables[0] = current_;
        std::copy_n(cache_.begin(), MaintainedSlots, tables.begin() + 1);
        for (auto& table : tables) {
            std::fill_n(table.ClassCount.data(), table.NumClasses, 0);
            for (int i = 0; i < table.NumClasses; ++i) {
                bounds.push_back(table.ClassStart.data()[i]);
                bounds.push_back(table.ClassEnd.data()[i]);
            }
        }
        // A NaN bound holds no value (no comparison with it is true): it cuts no piece.
        std::erase_if(bounds, [](double b) { return std::isnan(b); });
        std::sort(bounds.begin(), bounds.end());
        bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
    }

    std::int64_t n = 0;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;
    // Values in [bounds[j], bounds[j + 1]): the rows of piece j + 1.
    std::vector<std::int64_t> pieces(bounds.empty() ? 0 : bounds.size() - 1, 0);
    if (!f.numbers) {
        CheckHoldsNoValue(f, source);
    } else {
        static constexpr server::PassPowers powers[] = {
            server::PassPowers::Moments, server::PassPowers::Variance,
            server::PassPowers::Skewness, server::PassPowers::Kurtosis};
        // A division by 1 changes no value: the statement leaves it out, as the walk does.
        const bool scaled = scaleBy_ != 1.0;
        std::vector<std::string> params{server::Float8Text(mean_)};
        if (!bounds.empty())
            params.push_back(server::Float8Array(bounds));
        if (scaled)
            params.push_back(server::Float8Text(scaleBy_));
        const ServerRows rows = f.cursor.ServerSelect(
            server::PassSql(f.sql, powers[static_cast<int>(pass)], bounds.size(), scaled),
            params, DataCursor::ServerPlan::Any);
        // In piece order, so that the sums add up alike whatever order the groups came in.
        std::vector<std::pair<std::int64_t, std::size_t>> order;
        for (std::size_t r = 0; r < rows.size(); ++r)
            order.emplace_back(Parse<std::int64_t>(Cell(rows, r, 0, source), source), r);
        std::sort(order.begin(), order.end());
        for (const auto& [piece, r] : order) {
            const auto count = Parse<std::int64_t>(Cell(rows, r, 1, source), source);
            n += count;
            s2 += Parse<double>(Cell(rows, r, 2, source), source);
            s3 += Parse<double>(Cell(rows, r, 3, source), source);
            s4 += Parse<double>(Cell(rows, r, 4, source), source);
            if (piece >= 1 && piece <= static_cast<std::int64_t>(pieces.size()))
                pieces[piece - 1] = count;
        }
        // A value that is not finite makes its powers and their sums so, and no finite value
        // does: the server fails on a power out of float8's range.
        if (!std::isfinite(s2) || !std::isfinite(s3) || !std::isfinite(s4))
            ThrowFirstUnreadable(f, source);
    }
    if (observer_ != nullptr)
        observer_->WalkProgress(TWalkKind::Pass, message, 1.0);

    // A class [start, end) is the pieces from its start to its end, as both are bounds.
    if (tally) {
        const auto position = [&](double bound) {
            return static_cast<std::size_t>(std::lower_bound(bounds.begin(), bounds.end(), bound)
                                            - bounds.begin());
        };
        for (auto& table : tables) {
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

    // The walk's own formulas, on the server's sums.
    CommitPass(pass, PassSums{n, s2, s3, s4}, tally ? &tables : nullptr);
}

} // namespace zel
