// Summaries computed by the database server: the load and the passes of TStatistics as
// statements of the data source's driver (DataCursor::Summaries), so that no record leaves the
// server (TStatistics::ComputeOnServer).
//
// The driver gives what the walks give, as plain values: the load counts, sums exactly, finds
// the extremes and takes the first MaxStoredValues values; a pass sums the powers of the
// distances from the mean and counts the values per piece of the number line that all class
// tables' bounds cut it into, so that the client adds the pieces into every table. A driver may
// answer with several partial rows (the parts of a table); the functions here combine them into
// the values of a walk.
#pragma once

#include "zelstats/data/Driver.h"
#include "zelstats/stats/Aggregates.h"
#include "zelstats/stats/ZelStats.h"

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace zel::server {

// The load's partial rows as one, in the order of their parts, with the arithmetic of one
// walk's states (LoadSums::Combine). All as read, before ScaleBy. `finite`: no part's extremes
// are other than finite numbers (the server orders NaN above every number, so a value that is
// not finite shows as a part's least or greatest).
struct LoadTotals {
    LoadSums sums;
    bool finite = true;
};
LoadTotals CombineLoad(std::vector<ServerLoadPart> parts);

// The sum divided by ScaleBy, as the walk's compensated sum gives it: the rounded total and
// what the rounding leaves out.
void ScaledSum(const CompensatedSum& sum, double scaleBy, double& total, double& remainder);

// The bounds the class tables cut the number line at: sorted, distinct, without NaN (a NaN
// bound holds no value, as no comparison with it is true).
std::vector<double> PieceBounds(std::span<const TFreqData> tables);

// A pass's partial rows as one: the number of values, the sums of the powers combined as
// MomentSums in the order of the parts and within a part in piece order (so that they add up
// alike whatever order the rows came in), and the values of each piece
// between two bounds: pieces[j] counts those in [bounds[j], bounds[j + 1]).
struct PassTotals {
    MomentSums sums;
    std::vector<std::int64_t> pieces;
};
PassTotals CombinePieces(std::vector<ServerPiece> rows, std::size_t bounds);

// Adds the pieces into the tables' class counts: a class [start, end) is the pieces from its
// start to its end, as both are bounds.
void CountClasses(std::span<TFreqData> tables, const std::vector<double>& bounds,
                  const std::vector<std::int64_t>& pieces);

} // namespace zel::server
