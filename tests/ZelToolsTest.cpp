// The numeric tools: clamping, sign and parity, the power function, the sort behind the
// median, the string and field helpers, and the random deviates.
#include "zelstats/tools/ZelTools.h"

#include "zelstats/data/DataSet.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <memory>
#include <stdexcept>

namespace zel {
namespace {

// ---------------------------------------------------------------------------------------------
// Clamping, sign, parity, percentage

struct PairCase {
    const char* name;
    double a, b;
    double min, max;
};

// Test listings show the case by its name.
void PrintTo(const PairCase& c, std::ostream* os) { *os << c.name; }

class MinMaxTest : public testing::TestWithParam<PairCase> {};

TEST_P(MinMaxTest, GivesTheSmallerAndTheLarger)
{
    const PairCase& c = GetParam();
    EXPECT_EQ(zel::min(c.a, c.b), c.min);
    EXPECT_EQ(zel::max(c.a, c.b), c.max);
}

INSTANTIATE_TEST_SUITE_P(Values, MinMaxTest,
    testing::Values(PairCase{"Ordered", 1, 2, 1, 2}, PairCase{"Reversed", 2, 1, 1, 2},
                    PairCase{"Negative", -3, -7, -7, -3}, PairCase{"Equal", 4, 4, 4, 4},
                    PairCase{"Huge", -1e300, 1e300, -1e300, 1e300}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZelToolsTest, MinAndMaxGiveSecondArgumentWhenEqual)
{
    // 0 and -0 compare equal, so the sign shows which argument came back.
    EXPECT_TRUE(std::signbit(zel::min(0.0, -0.0)));
    EXPECT_FALSE(std::signbit(zel::min(-0.0, 0.0)));
    EXPECT_TRUE(std::signbit(zel::max(0.0, -0.0)));
    EXPECT_FALSE(std::signbit(zel::max(-0.0, 0.0)));
}

TEST(ZelToolsTest, IntegerMinAndMaxCoverTheWholeRange)
{
    EXPECT_EQ(imin(3, -7), -7);
    EXPECT_EQ(imax(3, -7), 3);
    EXPECT_EQ(imin(INT32_MIN, INT32_MAX), INT32_MIN);
    EXPECT_EQ(imax(INT32_MIN, INT32_MAX), INT32_MAX);
}

struct PercentCase {
    const char* name;
    double fraction;
    std::int32_t percent;
};

void PrintTo(const PercentCase& c, std::ostream* os) { *os << c.name; }

class PercentageTest : public testing::TestWithParam<PercentCase> {};

TEST_P(PercentageTest, TruncatesTowardZero)
{
    EXPECT_EQ(percentage(GetParam().fraction), GetParam().percent);
}

INSTANTIATE_TEST_SUITE_P(Values, PercentageTest,
    testing::Values(PercentCase{"AlmostOne", 0.999, 99}, PercentCase{"Half", 0.5, 50},
                    PercentCase{"Negative", -0.255, -25}, PercentCase{"One", 1.0, 100},
                    PercentCase{"P289", 0.289, 28},
                    // 0.29 × 100 is 28.999999999999996 in binary.
                    PercentCase{"P29", 0.29, 28}, PercentCase{"Zero", 0.0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZelToolsTest, PercentageOutsideIntegerRangeIsRejected)
{
    EXPECT_THROW(percentage(std::nan("")), std::out_of_range);
    EXPECT_THROW(percentage(1e10), std::out_of_range);
    EXPECT_THROW(percentage(-1e10), std::out_of_range);
    EXPECT_EQ(percentage(21474836.47), 2147483647);
}

TEST(ZelToolsTest, SignOfZeroIsNegative)
{
    EXPECT_EQ(sgn(0.0), -1);
    EXPECT_EQ(sgn(-0.5), -1);
    EXPECT_EQ(sgn(1e-300), 1);
    EXPECT_EQ(sgn(std::nan("")), -1);
}

TEST(ZelToolsTest, EvenHoldsForNegativeNumbers)
{
    EXPECT_TRUE(even(0));
    EXPECT_TRUE(even(-4));
    EXPECT_FALSE(even(-3));
    EXPECT_FALSE(even(INT32_MAX));
    EXPECT_TRUE(even(INT32_MIN));
}

// ---------------------------------------------------------------------------------------------
// Powers

struct PowerCase {
    const char* name;
    double base;
    std::int32_t exponent;
    double expected;
};

void PrintTo(const PowerCase& c, std::ostream* os) { *os << c.name; }

class RaiseToTest : public testing::TestWithParam<PowerCase> {};

TEST_P(RaiseToTest, MatchesThePowerWithinRounding)
{
    const PowerCase& c = GetParam();
    EXPECT_NEAR(raiseTo(c.base, c.exponent), c.expected, 1e-12 * std::fabs(c.expected));
}

INSTANTIATE_TEST_SUITE_P(Values, RaiseToTest,
    testing::Values(PowerCase{"ZeroToZero", 0, 0, 0}, PowerCase{"ZeroToMinusOne", 0, -1, 0},
                    PowerCase{"NegativeCube", -2, 3, -8}, PowerCase{"NegativeSquare", -2, 2, 4},
                    PowerCase{"ToZero", 2, 0, 1}, PowerCase{"NegativeToZero", -2, 0, 1},
                    PowerCase{"Reciprocal", 2, -1, 0.5},
                    PowerCase{"NegativeReciprocal", -4, -1, -0.25},
                    PowerCase{"Fourth", 1.5, 4, 5.0625}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZelToolsTest, RaiseToWithLogIsBitIdenticalToRaiseTo)
{
    const double bases[] = {0.0, -0.0, 1.0, -1.0, 3.0, -3.0, 0.1, -0.1, 12.3456, -98765.4321,
                            1e-200, -1e200, 2.5e-7, 7.0 / 3.0};
    for (double base : bases) {
        const double ln = base == 0 ? 0.0 : std::log(std::fabs(base));
        for (std::int32_t exponent = -4; exponent <= 4; ++exponent) {
            const double expected = raiseTo(base, exponent);
            const double got = raiseToWithLog(base, ln, exponent);
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(expected))
                << "base " << base << " exponent " << exponent;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Sorting

// The plain recursive sort, as the median first used it; it serves to show that the
// bounded-depth sort makes the same partitions.
void ReferenceQuickSort(double* a, int low, int high)
{
    if (high <= low)
        return;
    const double v = a[high];
    int i = low - 1, j = high;
    double t;
    do {
        do { ++i; } while (i != high && a[i] < v);
        do { --j; } while (j != low && a[j] > v);
        t = a[i]; a[i] = a[j]; a[j] = t;
    } while (i < j);
    a[j] = a[i]; a[i] = a[high]; a[high] = t;
    ReferenceQuickSort(a, low, i - 1);
    ReferenceQuickSort(a, i + 1, high);
}

struct SortCase {
    const char* name;
    std::vector<double> input;
    std::int32_t low, high;
    std::vector<double> expected;
};

void PrintTo(const SortCase& c, std::ostream* os) { *os << c.name; }

class QuickSortTest : public testing::TestWithParam<SortCase> {};

TEST_P(QuickSortTest, SortsTheRangeInPlace)
{
    std::vector<double> a = GetParam().input;
    quickSort(a, GetParam().low, GetParam().high);
    EXPECT_EQ(a, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, QuickSortTest,
    testing::Values(SortCase{"Three", {3, 1, 2}, 1, 3, {1, 2, 3}},
                    SortCase{"AllEqual", {2, 2, 2}, 1, 3, {2, 2, 2}},
                    SortCase{"Duplicates", {5, -1, 5, 0}, 1, 4, {-1, 0, 5, 5}},
                    SortCase{"Single", {7}, 1, 1, {7}},
                    SortCase{"HighBelowLow", {3, 2, 1}, 3, 1, {3, 2, 1}},
                    SortCase{"InnerRangeOnly", {9, 3, 2, 1, 0}, 2, 4, {9, 1, 2, 3, 0}},
                    SortCase{"Reversed", {5, 4, 3, 2, 1}, 1, 5, {1, 2, 3, 4, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZelToolsTest, QuickSortMakesTheSamePartitionsAsThePlainRecursion)
{
    // Zeros of both signs compare equal, so where each ends up shows the partitions.
    std::int32_t seed = -17;
    for (int round = 0; round < 20; ++round) {
        std::vector<double> values(257);
        for (double& v : values) {
            const double u = ran1(seed);
            v = u < 3 ? 0.0 : u < 6 ? -0.0 : std::floor(u * 3) - 15;
        }
        std::vector<double> expected = values;
        ReferenceQuickSort(expected.data() - 1, 1, static_cast<int>(expected.size()));
        quickSort(values, 1, static_cast<std::int32_t>(values.size()));
        for (std::size_t k = 0; k < values.size(); ++k)
            ASSERT_EQ(std::bit_cast<std::uint64_t>(values[k]),
                      std::bit_cast<std::uint64_t>(expected[k]))
                << "round " << round << " position " << k + 1;
    }
}

TEST(ZelToolsTest, QuickSortOfSortedInputStaysWithinASmallStack)
{
    // The plain recursion would go 10000 calls deep here; a 64 KiB stack holds only the
    // logarithmic depth.
    struct Job {
        std::vector<double> values;
    } job;
    for (int k = 0; k < SortCapacity; ++k)
        job.values.push_back(k); // already ascending
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    auto run = [](void* p) -> void* {
        auto* j = static_cast<Job*>(p);
        quickSort(j->values, 1, static_cast<std::int32_t>(j->values.size()));
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    for (int k = 0; k < SortCapacity; ++k)
        ASSERT_EQ(job.values[static_cast<std::size_t>(k)], k);
}

TEST(ZelToolsTest, QuickSortOutsideTheArrayIsRejected)
{
    std::vector<double> a = {3, 2, 1};
    EXPECT_THROW(quickSort(a, 0, 3), std::out_of_range);
    EXPECT_THROW(quickSort(a, 1, 4), std::out_of_range);
    EXPECT_EQ(a, (std::vector<double>{3, 2, 1}));
}

class SortDatasetTest : public testing::Test {
protected:
    void SetUp() override
    {
        source = std::make_unique<ValueArray>();
        destination = std::make_unique<ValueArray>();
        source->fill(-1);
        const double head[] = {4, 3, 2, 1, 9};
        std::copy(std::begin(head), std::end(head), source->begin());
        destination->fill(42);
    }
    std::unique_ptr<ValueArray> source, destination;
};

TEST_F(SortDatasetTest, SortsTheFirstNAndCopiesTheRest)
{
    const ValueArray before = *source;
    sortDataset(*source, *destination, 4);
    const double expected[] = {1, 2, 3, 4, 9, -1};
    for (std::size_t k = 0; k < std::size(expected); ++k)
        EXPECT_EQ((*destination)[k], expected[k]) << "position " << k + 1;
    EXPECT_EQ((*destination)[SortCapacity - 1], -1);
    EXPECT_EQ(*source, before);
}

TEST_F(SortDatasetTest, ZeroOrOneValueIsCopiedUnsorted)
{
    for (std::int32_t n : {0, 1}) {
        destination->fill(42);
        sortDataset(*source, *destination, n);
        EXPECT_EQ(*destination, *source) << "n = " << n;
    }
}

TEST_F(SortDatasetTest, WholeStoreIsSorted)
{
    sortDataset(*source, *destination, SortCapacity);
    EXPECT_TRUE(std::is_sorted(destination->begin(), destination->end()));
    EXPECT_EQ((*destination)[SortCapacity - 1], 9);
}

TEST_F(SortDatasetTest, CountOutsideTheStoreIsRejected)
{
    EXPECT_THROW(sortDataset(*source, *destination, SortCapacity + 1), std::out_of_range);
    EXPECT_THROW(sortDataset(*source, *destination, -1), std::out_of_range);
    EXPECT_EQ((*destination)[0], 42);
}

// ---------------------------------------------------------------------------------------------
// Strings and fields

struct DeleteCase {
    const char* name;
    const char* text;
    std::int32_t index, count;
    const char* expected;
};

void PrintTo(const DeleteCase& c, std::ostream* os) { *os << c.name; }

class DeleteStrTest : public testing::TestWithParam<DeleteCase> {};

TEST_P(DeleteStrTest, RemovesLikeTheHostStringDeletion)
{
    const DeleteCase& c = GetParam();
    const std::string s = c.text;
    EXPECT_EQ(deleteStr(s, c.index, c.count), c.expected);
    EXPECT_EQ(s, c.text);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeleteStrTest,
    testing::Values(DeleteCase{"QueryPrefix", "SELECT * FROM EMPLOYEE", 1, 13, " EMPLOYEE"},
                    DeleteCase{"ShortText", "ABCDE", 1, 13, ""},
                    DeleteCase{"Middle", "ABCDE", 2, 2, "ADE"},
                    DeleteCase{"PastTheEnd", "ABCDE", 6, 1, "ABCDE"},
                    DeleteCase{"IndexZero", "ABCDE", 0, 2, "ABCDE"},
                    DeleteCase{"CountZero", "ABCDE", 2, 0, "ABCDE"},
                    DeleteCase{"NegativeCount", "ABCDE", 2, -3, "ABCDE"},
                    DeleteCase{"HugeCount", "ABCDE", 3, INT32_MAX, "AB"},
                    DeleteCase{"Empty", "", 1, 13, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ZelToolsTest, ParseMessageEndsEveryLineWithLineFeedAndCarriageReturn)
{
    std::string text = "old";
    ParseMessage({"A", "B"}, text);
    EXPECT_EQ(text, "A\n\rB\n\r");
    ParseMessage({}, text);
    EXPECT_EQ(text, "");
}

TEST(ZelToolsTest, NumericFieldAcceptsNumericKindsAndTheirDescendants)
{
    auto db = test::MakeSqliteDatabase();
    db->Execute("CREATE TABLE T (F DOUBLE PRECISION, I INTEGER, S SMALLINT, W WORD, M MONEY, "
                "B BIGINT, N NUMERIC(10,2), TX VARCHAR(10), D DATE, L BOOLEAN)");
    db->Execute("INSERT INTO T VALUES (1.5, 1, 2, 3, 4.25, 5, 6.5, 'x', '2020-01-01', 1)");
    TTable table;
    table.SetDatabaseName(db->Name());
    table.SetTableName("T");
    table.Open();
    const std::pair<const char*, bool> expected[] = {
        {"F", true}, {"I", true}, {"S", true}, {"W", true}, {"M", true},
        // Large integers and decimals derive from the integer and float fields.
        {"B", true}, {"N", true},
        {"TX", false}, {"D", false}, {"L", false}};
    for (const auto& [name, numeric] : expected)
        EXPECT_EQ(NumericField(&table.FieldByName(name)), numeric) << name;
    EXPECT_FALSE(NumericField(nullptr));
}

// ---------------------------------------------------------------------------------------------
// Random deviates

TEST(ZelToolsDeathTest, FreshGeneratorReturnsZeroUntilItsSlotsRefill)
{
    // A fresh process is the only way to see the generator before any initialisation.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::int32_t seed = 0;
            const bool zeros = ran1(seed) == 0 && ran1(seed) == 0 && ran1(seed) == 0;
            std::exit(zeros && seed == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ZelToolsTest, Ran1SequenceFromSeedMinusOne)
{
    test::MessageLog log;
    std::int32_t seed = -1;
    const double expected[] = {3.90042510994, 1.71148414016, 6.42383905529, 8.68852241925,
                               1.70567043041};
    for (double e : expected) {
        EXPECT_NEAR(ran1(seed), e, 5e-12 * e);
        EXPECT_EQ(seed, 1);
    }
    // A negative seed starts the same sequence again.
    seed = -1;
    EXPECT_NEAR(ran1(seed), expected[0], 5e-12 * expected[0]);
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ZelToolsTest, Ran1StaysInRangeForExtremeSeeds)
{
    test::MessageLog log;
    for (std::int32_t start : {INT32_MIN, INT32_MIN + 1, -54773, -259200, -1000000007, -2}) {
        std::int32_t seed = start;
        for (int k = 0; k < 2000; ++k) {
            const double u = ran1(seed);
            ASSERT_GE(u, 0.0) << "seed " << start;
            ASSERT_LT(u, 10.0000001) << "seed " << start;
        }
        EXPECT_EQ(seed, 1);
    }
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ZelToolsTest, ExpdevReinitialisesOnEveryNegativeSeed)
{
    EXPECT_NEAR(expdev(-1), 0.00373898958553, 5e-12 * 0.00373898958553);
    EXPECT_NEAR(expdev(-1), 0.00373898958553, 5e-12 * 0.00373898958553);
    EXPECT_NEAR(expdev(1), 0.588850501102, 5e-12 * 0.588850501102);
    EXPECT_NEAR(expdev(1), 1.83878666163, 5e-12 * 1.83878666163);
}

TEST(ZelToolsTest, GasdevReturnsPairsWithTheSpareSecond)
{
    initgliset(0);
    const double expected[] = {1.13580454985, 0.847721452327, 1.61833337713, -0.921333792266};
    EXPECT_NEAR(gasdev(-1), expected[0], 5e-12 * std::fabs(expected[0]));
    for (int k = 1; k < 4; ++k)
        EXPECT_NEAR(gasdev(1), expected[k], 5e-12 * std::fabs(expected[k])) << "call " << k + 1;
}

TEST(ZelToolsTest, InitglisetZeroDiscardsTheSpare)
{
    initgliset(0);
    const double first = gasdev(-1);
    initgliset(0);
    const double second = gasdev(1);
    EXPECT_NEAR(first, 1.13580454985, 1e-11);
    // Without the reset the second call would return the held 0.847721452327.
    EXPECT_NEAR(second, 1.61833337713, 1e-11);
}

} // namespace
} // namespace zel
