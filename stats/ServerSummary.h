// Summaries computed by the database server: the load and the passes of TStatistics as
// aggregate statements, so that no record leaves the server (TStatistics::ComputeOnServer).
//
// The statements give what the walks give: the load counts, sums, finds the extremes and
// takes the first MaxStoredValues values; a pass sums the powers of the distances from the
// mean in float8 and counts the values per piece of the number line that all class tables'
// bounds cut it into, so that the client adds the pieces into every table.
// The SQL they rely on: count, sum, min and max; CASE, abs and trunc on float8 and casts to
// bigint; width_bucket over a float8 array; UNION ALL and GROUP BY; row_number() OVER ();
// LIMIT; and one REPEATABLE READ READ ONLY transaction for all of them
// (the dataset's read snapshot). Distances from the mean whose fourth power leaves float8's
// range (beyond about 1e77, or below about 1e-81 but not 0) fail with the server's range
// error.
#pragma once

#include <string>
#include <vector>

namespace zel::server {

// What the statements read: the records as a FROM item named zel_rows, the field itself (for
// its nulls and its text), the field as the float8 a walk reads (value), and as a number whose
// sum the server takes exactly (decimal; empty for floats, which are summed by parts).
// DataCursor::ServerRelation and ServerColumnSql give them.
struct FieldSql {
    std::string relation;
    std::string field;
    std::string value;
    std::string decimal;
};

// One row: the number of values; their sum in three parts whose total is exact to far below a
// float8's rounding: a count of 2^-32 and a number, both summed exactly (integers' and
// decimals' own sum, or the parts of floats below 2^31 in 32 binary places and those of
// larger floats in whole numbers), and a float8 sum of what remains of each float (less than
// 2^-32, or than 1); and the least and the greatest value (NaN above every number). All as
// read, before ScaleBy.
std::string LoadSql(const FieldSql& f);
// The load's sum from its three parts, divided by ScaleBy: the rounded sum and what the
// rounding leaves out. False when a part does not read as a number.
bool SumOfParts(const std::string& fractions, const std::string& whole,
                const std::string& rest, double scaleBy, double& total, double& remainder);
// The first values as read (unscaled), at most the value store's size, in scan order.
std::string ValueStoreSql(const FieldSql& f);
// The record number (counting nulls) and the text of the first value that is not finite, or
// with `numbers` false (a field that holds no numbers) of the first that is not null.
std::string FirstUnreadableSql(const FieldSql& f, bool numbers);

// Which sums a pass takes: the moments pass all three powers, the others one each.
enum class PassPowers { Moments, Variance, Skewness, Kurtosis };
// $1 the mean; with `bounds` above 0, $2 the sorted bounds (a float8 array of that many);
// and with `scaled`, ScaleBy as the last parameter ($3, or $2 without bounds). Without
// `scaled` the values are taken as read (ScaleBy 1, by which a division changes nothing). A
// row per piece that holds a value, in no order: the piece (width_bucket: 0 below the first
// bound, i for bounds[i-1] <= x < bounds[i], `bounds` above the last), its number of values,
// and the sums of d^2, d^3 and d^4 (d = value / ScaleBy - mean; 0 where the pass takes no
// such sum). Without bounds one row, piece 0.
std::string PassSql(const FieldSql& f, PassPowers powers, std::size_t bounds, bool scaled);

// A double as float8 text that reads back as exactly that double (17 significant digits,
// '.', whatever the locale; "Infinity", "-Infinity", "NaN").
std::string Float8Text(double value);
// A float8 array literal of the values, each exact.
std::string Float8Array(const std::vector<double>& values);

} // namespace zel::server
