// Counting into many class tables at once must give exactly what a scan over every class of
// every table gives, on every bound and on the awkward layouts a component can hold.
#include "zelstats/stats/ClassTally.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <vector>

using namespace zel;

namespace {

constexpr double Inf = std::numeric_limits<double>::infinity();

// k classes of equal width laid out as a running sum from low, as a load lays them out.
TFreqData RunningSum(int k, double low, double width)
{
    TFreqData table;
    table.NumClasses = static_cast<std::uint16_t>(k);
    double* start = table.ClassStart.data();
    double* end = table.ClassEnd.data();
    start[0] = low;
    end[0] = low + width;
    for (int i = 1; i < k; ++i) {
        start[i] = end[i - 1];
        end[i] = start[i] + width;
    }
    return table;
}

// Every table's own bounds, their neighbours on either side, and values spread past both ends.
std::vector<double> ProbeValues(const std::vector<TFreqData>& tables, std::mt19937_64& random)
{
    std::vector<double> values;
    double low = Inf, high = -Inf;
    for (const TFreqData& table : tables) {
        for (int i = 0; i < table.NumClasses; ++i) {
            for (double bound : {table.ClassStart.data()[i], table.ClassEnd.data()[i]}) {
                values.push_back(bound);
                values.push_back(std::nextafter(bound, -Inf));
                values.push_back(std::nextafter(bound, Inf));
                if (std::isfinite(bound)) {
                    low = std::min(low, bound);
                    high = std::max(high, bound);
                }
            }
        }
    }
    if (low < high) {
        const double reach = high - low;
        std::uniform_real_distribution<double> spread(low - reach / 4, high + reach / 4);
        for (int i = 0; i < 2000; ++i)
            values.push_back(spread(random));
    }
    return values;
}

// Counts by ClassTally and by the scan, and expects them equal class by class.
void ExpectSameAsTheScan(std::vector<TFreqData> tables, const std::vector<double>& values)
{
    std::vector<TFreqData> scanned = tables;
    for (double x : values) {
        for (TFreqData& table : scanned)
            Tally(table, x);
    }
    // Twice over, as each pass counts afresh into tables it cleared.
    for (int round = 0; round < 2; ++round) {
        for (TFreqData& table : tables)
            table.ClassCount.fill(0);
        ClassTally tally(tables);
        for (double x : values)
            tally.Count(x);
        tally.AddPiecesToTables();
        for (std::size_t t = 0; t < tables.size(); ++t) {
            for (int i = 1; i <= tables[t].NumClasses; ++i)
                EXPECT_EQ(tables[t].ClassCount[i], scanned[t].ClassCount[i])
                    << "table " << t << " (" << tables[t].NumClasses << " classes), class " << i;
        }
    }
}

struct Span {
    double minimum, range;
};

void PrintTo(const Span& span, std::ostream* out)
{
    *out << "minimum " << span.minimum << ", range " << span.range;
}

class ClassTallySpanTest : public testing::TestWithParam<Span> {};

// The tables of a pass, among them two alike and one of an odd count, over spans whose bounds
// round differently: small, offset far from zero, negative, and of binary fractions.
TEST_P(ClassTallySpanTest, AgreesWithTheScanOnEveryBoundOfEveryTable)
{
    const auto [minimum, range] = GetParam();
    std::vector<TFreqData> tables;
    for (int k : {10, 5, 10, 15, 20, 25, 35, 50, 13, 1}) {
        const double e = range / k + range;
        tables.push_back(RunningSum(k, minimum - e / (2 * k), e / k));
    }
    std::mt19937_64 random(static_cast<unsigned>(tables.size() * 7919));
    ExpectSameAsTheScan(tables, ProbeValues(tables, random));
}

INSTANTIATE_TEST_SUITE_P(Spans, ClassTallySpanTest,
                         testing::Values(Span{0.0, 1.0}, Span{1e9, 1e-3}, Span{-5.0, 10.0},
                                         Span{0.1, 0.3}, Span{0.25, 1024.0},
                                         Span{-1e300, 1e300}));

TEST(ClassTallyTest, UnorderedEmptyAndDegenerateTablesCountAsTheScanDoes)
{
    std::vector<TFreqData> tables;
    tables.push_back(RunningSum(10, 0.0, 1.0));
    // Bounds of 10 classes read as 13: the last three cells hold no layout of their own.
    TFreqData widened = RunningSum(10, 2.0, 0.5);
    widened.NumClasses = 13;
    tables.push_back(widened);
    TFreqData empty;
    tables.push_back(empty);
    // One value loaded: every bound equal, every class empty.
    tables.push_back(RunningSum(5, 3.0, 0.0));
    TFreqData undefined = RunningSum(4, 0.0, 1.0);
    undefined.ClassEnd.data()[1] = std::nan("");
    tables.push_back(undefined);
    // Bounds too far apart for their span to be finite.
    TFreqData vast = RunningSum(2, -1e308, 1e308);
    vast.ClassEnd.data()[1] = Inf;
    tables.push_back(vast);

    std::mt19937_64 random(11);
    std::vector<double> values = ProbeValues(tables, random);
    values.insert(values.end(), {-1e308, 1e308, std::numeric_limits<double>::max(), 0.0, -0.0});
    ExpectSameAsTheScan(tables, values);
}

TEST(ClassTallyTest, CountsPastTheLargest64BitCountFail)
{
    std::vector<TFreqData> tables{RunningSum(2, 0.0, 1.0)};
    tables[0].ClassCount[1] = std::numeric_limits<std::int64_t>::max();
    EXPECT_THROW(Tally(tables[0], 0.5), std::overflow_error);

    ClassTally tally(tables);
    tally.Count(0.5);
    EXPECT_THROW(tally.AddPiecesToTables(), std::overflow_error);
}

} // namespace
