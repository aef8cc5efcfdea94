// Summaries computed by the database server: the load and the passes of TStatistics as
// aggregate statements, so that no record leaves the server (TStatistics::ComputeOnServer).
//
// The statements give what the walks give: the load counts, sums, finds the extremes and
// takes the first MaxStoredValues values; a pass sums the powers of the distances from the
// mean with the walk's own formulas and counts the values per piece of the number line that
// all class tables' bounds cut it into, so that the client adds the pieces into every table.
// The SQL they rely on: count, sum, min and max; width_bucket over a float8 array; exp and
// ln; row_number() OVER (); LIMIT; and one REPEATABLE READ READ ONLY transaction for all of
// them (the dataset's read snapshot).
#pragma once

#include <string>
#include <vector>

namespace zel::server {

// What the statements read: the records as a FROM item named zel_rows, the field itself (for
// its nulls and its text), the field as the float8 a walk reads (value), and as a number whose
// sum is exact (decimal). DataCursor::ServerRelation and ServerColumnSql give them.
struct FieldSql {
    std::string relation;
    std::string field;
    std::string value;
    std::string decimal;
};

// $1 ScaleBy. One row: the number of values, their exact sum (unscaled), the least and the
// greatest value divided by ScaleBy, and the number of values that are not finite.
std::string LoadSql(const FieldSql& f);
// The first values as read (unscaled), at most the value store's size, in scan order.
std::string ValueStoreSql(const FieldSql& f);
// The record number (counting nulls) and the text of the first value that is not finite, or
// with `numbers` false (a field that holds no numbers) of the first that is not null.
std::string FirstUnreadableSql(const FieldSql& f, bool numbers);

// Which sums a pass takes: the moments pass all three powers, the others one each.
enum class PassPowers { Moments, Variance, Skewness, Kurtosis };
// $1 ScaleBy, $2 the mean, and with `pieces` $3 the sorted bounds (a float8 array). Rows by
// piece ascending: the piece (width_bucket: 0 below the first bound, i for
// bounds[i-1] <= x < bounds[i], the bound count above the last), its number of values, the
// sums of d^2, d^3 and d^4 (d = value / ScaleBy - mean; 0 where the pass takes no such sum),
// and the number of values that are not finite. Without pieces every row is piece 0.
std::string PassSql(const FieldSql& f, PassPowers powers, bool pieces);

// A double as float8 text that reads back as exactly that double (17 significant digits,
// '.', whatever the locale; "Infinity", "-Infinity", "NaN").
std::string Float8Text(double value);
// A float8 array literal of the values, each exact.
std::string Float8Array(const std::vector<double>& values);

} // namespace zel::server
