// Describing many numeric fields at once: for every field, and for every group of records
// that share a value of one grouping field, the count, the nulls, the mean, the standard
// deviation, the five-number summary with exact quartiles, the skewness and the kurtosis.
//
// One walk over the dataset reads every described field of every record. Each field keeps its
// values in a spool of its own (and the groups of the records in one more), totalled by group
// as it goes with the component's compensated sum; a pass over each spool sums the moments
// about the mean, and the quartiles of all groups are selected from it together in bounded
// memory (stats/Quantiles.h) by passes of their own. These pieces of the fields whose values
// were spooled are worked out by the core's thread pool (stats/WorkPool.h); each field's
// numbers come from its own values in their own order, so they are the same whatever the
// number of threads.
//
// The definitions are the component's: divisors n - 1, the skewness the squared moment
// coefficient with the sign of the third moment reported apart, the kurtosis the plain ratio
// with no 3 subtracted. Count, mean, minimum and maximum agree with the component's load to
// the bit. Quartiles interpolate between order statistics (stats/Quantiles.h). What a field
// does not define (everything but count and nulls with no value; the deviation and the shape
// with one value; the shape with no spread) is NaN.
#pragma once

#include "zelstats/data/DataSet.h"
#include "zelstats/stats/Quantiles.h"

#include <QFuture>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zel {

class TWalkObserver;

// At most this many groups are described; more is an error, not a partial answer.
inline constexpr std::size_t MaxDescribeGroups = 10000;

struct TDescribeRow {
    std::string field;
    // The group's key, the grouping field's value as SQL's GROUP BY tells values apart; the
    // NULL key for the group of NULL keys, and for every row of an ungrouped run.
    TGroupKey key;
    // The key as written for people and files (WriteGroupKeys over the run's keys): no two
    // groups are written alike. No value for the group of NULL keys, and for every row of an
    // ungrouped run.
    std::optional<std::string> group;
    std::int64_t count = 0; // values
    std::int64_t nulls = 0; // records where the field is NULL
    double mean = 0, stdDev = 0, minimum = 0, q1 = 0, median = 0, q3 = 0, maximum = 0;
    double skew = 0, kurtosis = 0;
    // The quantiles at the request's `percentiles`, in their order.
    std::vector<double> percentiles;
    // "(-)", "(+)" or "(0)": the sign of the third moment; empty when it is undefined.
    std::string skewSign;
};

struct TDescribeRequest {
    // The fields to describe, in this order; empty for every numeric field in field order.
    std::vector<std::string> fields;
    // Probabilities in 0..1 whose quantiles each row gives besides its quartiles, by the same
    // rule; none by default.
    std::vector<double> percentiles;
    // The grouping field (any kind); empty for no groups.
    std::string by;
    std::size_t maxGroups = MaxDescribeGroups;
    // Bytes of memory the values kept for the passes after the walk may take, shared by all
    // fields; beyond it they go to a temporary file (stats/Spool.h).
    std::size_t spoolMemory = std::size_t{64} << 20;
    // Values held at once to select the quartiles, shared by the fields described at once.
    std::size_t quantileBudget = DefaultQuantileBudget;
    // Told of the walk over the records; null for nobody. `showProgress`: the user asked to
    // watch it.
    TWalkObserver* observer = nullptr;
    bool showProgress = false;
};

// Describes the dataset's fields, opening it when it is closed. Rows come field by field in
// the requested order, and within a field group by group in the order the groups first appear
// in the records. Everything is read from one snapshot. Throws EDatabaseError for a field that
// is not there or not numeric, for a field named twice, and for more groups than allowed;
// nothing is returned then.
std::vector<TDescribeRow> Describe(TDataSet& dataset, const TDescribeRequest& request);

// Describe on a worker thread, over a copy of the dataset's data source read through a
// connection of the worker's own, as TStatistics::SummarizeAsync does for a summary: progress,
// cancel and failures go through the future (the request's observer is not told), which
// finishes in the calling thread's event loop with the rows Describe would return. Fails at
// once as SummarizeAsync does (an in-memory SQLite database, an open transaction of the
// application, no event loop), or for a dataset whose kind cannot be copied.
QFuture<std::vector<TDescribeRow>> DescribeAsync(const TDataSet& dataset,
                                                 const TDescribeRequest& request);

} // namespace zel
