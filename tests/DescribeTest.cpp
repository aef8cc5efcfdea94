// Exact quantiles against a full sort, and describe against the component's summary, on every
// backend: groups with NULL keys, too many groups, and passes that read the records again when
// no spool can be kept.
#include "zelstats/components/ZelTable.h"
#include "zelstats/data/DataSet.h"
#include "zelstats/data/Driver.h"
#include "zelstats/stats/Describe.h"
#include "zelstats/stats/WorkPool.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <random>

using namespace zel;
using namespace zel::test;

namespace {

const std::vector<double> Probabilities = {0, 0.1, 0.25, 1.0 / 3, 0.5, 0.75, 0.9, 0.999, 1};

// q(p) from a full sort of the values, by the formula.
double SortedQuantile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const double h = static_cast<double>(values.size() - 1) * p;
    const auto k = static_cast<std::size_t>(std::floor(h));
    const double f = h - static_cast<double>(k);
    return f == 0 ? values[k] : values[k] + f * (values[k + 1] - values[k]);
}

struct QuantileCase {
    const char* name;
    std::vector<double> values;
};

std::vector<double> Repeated(std::vector<double> pattern, std::size_t n)
{
    std::vector<double> out;
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(pattern[(i * 7919) % pattern.size()]);
    return out;
}

std::vector<double> Spread(std::size_t n, double scale)
{
    std::mt19937_64 random(42);
    std::normal_distribution<double> normal(0.0, scale);
    std::vector<double> out(n);
    for (double& x : out)
        x = normal(random);
    return out;
}

std::vector<QuantileCase> QuantileCases()
{
    return {
        {"NoValue", {}},
        {"OneValue", {-3.5}},
        {"TwoDistinctValues", Repeated({0.0, 1e300}, 5001)},
        {"MassiveTies", Repeated({7.25}, 3000)},
        {"TiesAmongFew", Repeated({1, 2, 2, 3, 3, 3, 1e-310}, 4099)},
        {"NegativeAndHuge", Repeated({-1e300, -1, 0, 5e-324, 1e300, 3.5, -2.25e-308}, 2000)},
        {"SpreadThatForcesRefinement", Spread(20000, 1e6)},
        {"TightClusterNearLargeOffset", [] {
             auto v = Spread(5000, 1e-3);
             for (double& x : v)
                 x += 1.7e12;
             return v;
         }()},
    };
}

class QuantileTest : public testing::TestWithParam<std::tuple<QuantileCase, std::size_t>> {};

TEST_P(QuantileTest, AgreeWithAFullSortToTheBit)
{
    const auto& [c, budget] = GetParam();
    double minimum = NAN, maximum = NAN;
    if (!c.values.empty()) {
        minimum = *std::min_element(c.values.begin(), c.values.end());
        maximum = *std::max_element(c.values.begin(), c.values.end());
    }
    TSpanValues source(c.values);
    const std::vector<double> q = Quantiles(source, static_cast<std::int64_t>(c.values.size()),
                                            minimum, maximum, Probabilities, budget);
    for (std::size_t i = 0; i < Probabilities.size(); ++i) {
        const double expected = SortedQuantile(c.values, Probabilities[i]);
        if (std::isnan(expected))
            EXPECT_TRUE(std::isnan(q[i])) << "p = " << Probabilities[i];
        else
            EXPECT_EQ(q[i], expected) << "p = " << Probabilities[i];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, QuantileTest,
    testing::Combine(testing::ValuesIn(QuantileCases()),
                     testing::Values(std::size_t(16), DefaultQuantileBudget)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_Budget"
               + std::to_string(std::get<1>(info.param));
    });

TEST(Quantiles, ProbabilityOutsideZeroToOneIsRejectedWithMessage)
{
    for (const double p : {-0.25, 1.5, double(NAN)}) {
        try {
            CheckProbability(p);
            ADD_FAILURE() << "accepted " << p;
        } catch (const std::out_of_range& e) {
            EXPECT_NE(std::string(e.what()).find("0..1"), std::string::npos) << e.what();
            if (!std::isnan(p)) {
                EXPECT_NE(std::string(e.what()).find(p < 0 ? "-0.25" : "1.5"), std::string::npos)
                    << e.what();
            }
        }
    }
}

TEST(Quantiles, ValuesThatChangeBetweenPassesAreAnErrorNotAWrongNumber)
{
    std::vector<double> values = Spread(100, 1);
    TSpanValues source(values);
    const double ps[] = {0.5};
    // Said to hold one value more than it reads.
    EXPECT_THROW(Quantiles(source, 101, -10, 10, ps, 16), std::runtime_error);
}

class DescribeTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped())
            return;
        // A group key with NULLs, two numeric fields near a large offset and with NULLs, and
        // a text field.
        db_->Execute("CREATE TABLE D (G VARCHAR(10), X DOUBLE PRECISION, N INTEGER, "
                     "NAME VARCHAR(10))");
        std::string sql = "INSERT INTO D VALUES ";
        std::mt19937 random(7);
        for (int i = 0; i < 600; ++i) {
            const int g = static_cast<int>(random() % 4);
            const std::string key = g == 3 ? "NULL" : "'g" + std::to_string(g) + "'";
            const std::string x = i % 17 == 0 ? "NULL"
                                              : std::to_string(1.7e12 + (random() % 100000) / 8.0);
            const std::string n = i % 23 == 0 ? "NULL" : std::to_string(int(random() % 50) - 20);
            sql += std::string(i ? ", " : "") + "(" + key + ", " + x + ", " + n + ", 'n')";
        }
        db_->Execute(sql);
    }

    std::unique_ptr<TTable> Table()
    {
        auto table = std::make_unique<TTable>();
        table->SetDatabaseName(db_->Name());
        table->SetTableName("D");
        return table;
    }

    // The field's values, each with its group key ("" for NULL), read back plainly; NaN for
    // NULL.
    std::vector<std::pair<std::string, double>> Values(const std::string& field)
    {
        auto table = Table();
        table->Open();
        std::vector<std::pair<std::string, double>> out;
        const TField& g = table->FieldByName("G");
        const TField& x = table->FieldByName(field);
        for (table->First(); !table->Eof(); table->Next()) {
            out.emplace_back(g.IsNull() ? "" : g.AsString(), x.IsNull() ? NAN : x.AsFloat());
        }
        return out;
    }
};

TEST_P(DescribeTest, AgreesWithTheSummaryOfEachNumericField)
{
    const std::vector<TDescribeRow> rows = Describe(*Table(), {});
    ASSERT_EQ(rows.size(), 2u); // X and N; G and NAME are text
    auto near = [](double actual, double expected) {
        return std::fabs(actual - expected) <= 1e-12 * std::fabs(expected);
    };
    for (const TDescribeRow& row : rows) {
        SCOPED_TRACE(row.field);
        TRivuReviTable component;
        component.SetDatabaseName(db_->Name());
        component.SetTableName("D");
        component.SetStatFieldName(row.field);
        component.SetShowCalcProgress(TBoolPlus::Never);
        component.Open();
        component.Summarize();
        EXPECT_FALSE(row.group.has_value());
        EXPECT_EQ(row.count, component.GetdsDataCount());
        EXPECT_EQ(row.mean, component.GetdsMean());
        EXPECT_EQ(row.minimum, component.Minimum());
        EXPECT_EQ(row.maximum, component.Maximum());
        EXPECT_PRED2(near, row.stdDev, component.GetdsStdDev());
        EXPECT_PRED2(near, row.skew, component.GetdsSkew());
        EXPECT_PRED2(near, row.kurtosis, component.GetdsKurtosis());
        EXPECT_EQ(row.skewSign, component.GetdsSkewSign());
        EXPECT_EQ(row.nulls, row.field == FieldName("X") ? 36 : 27);
        // The component's quantile reads the records again; both are exact.
        EXPECT_EQ(row.q1, component.GetdsQuantile(0.25));
        EXPECT_EQ(row.median, component.GetdsQuantile(0.5));
        EXPECT_EQ(row.q3, component.GetdsQuantile(0.75));
        EXPECT_THROW(component.GetdsQuantile(1.01), std::out_of_range);
    }
}

TEST_P(DescribeTest, SameToTheBitOnOneThreadOrTwo)
{
    TDescribeRequest request;
    request.by = FieldName("G");
    std::vector<std::vector<double>> runs;
    for (const std::size_t threads : {1u, 2u}) {
        SetMaxThreads(threads);
        const std::vector<TDescribeRow> rows = Describe(*Table(), request);
        SetMaxThreads(0);
        std::vector<double> numbers;
        for (const TDescribeRow& r : rows)
            numbers.insert(numbers.end(), {double(r.count), r.mean, r.stdDev, r.minimum, r.q1,
                                           r.median, r.q3, r.maximum, r.skew, r.kurtosis});
        runs.push_back(numbers);
    }
    ASSERT_EQ(runs[0].size(), runs[1].size());
    for (std::size_t i = 0; i < runs[0].size(); ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(runs[0][i]), std::bit_cast<std::uint64_t>(runs[1][i]))
            << i;
}

TEST_P(DescribeTest, GroupsInOrderOfFirstAppearanceWithNullAsAGroupOfItsOwn)
{
    for (const bool spooled : {true, false}) {
        SCOPED_TRACE(spooled ? "spooled" : "read again from the records");
        TDescribeRequest request;
        request.fields = {FieldName("X")};
        request.by = FieldName("G");
        request.quantileBudget = 16; // forces refinement within the groups
        std::string tmpdir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        if (!spooled) {
            // No memory for the spools and no folder for their files: every pass after the
            // walk reads the records again.
            request.spoolMemory = 0;
            setenv("TMPDIR", "/nonexistent/zelstats-describe", 1);
        }
        const std::vector<TDescribeRow> rows = Describe(*Table(), request);
        if (tmpdir.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", tmpdir.c_str(), 1);

        const auto values = Values(FieldName("X"));
        std::vector<std::string> order;
        for (const auto& [key, x] : values) {
            if (std::find(order.begin(), order.end(), key) == order.end())
                order.push_back(key);
        }
        ASSERT_EQ(rows.size(), 4u);
        for (std::size_t g = 0; g < rows.size(); ++g) {
            const TDescribeRow& row = rows[g];
            EXPECT_EQ(row.group.value_or(""), order[g]);
            EXPECT_EQ(row.group.has_value(), !order[g].empty());
            std::vector<double> group;
            for (const auto& [key, x] : values) {
                if (key == order[g] && !std::isnan(x))
                    group.push_back(x);
            }
            EXPECT_EQ(row.count, static_cast<std::int64_t>(group.size()));
            EXPECT_EQ(row.q1, SortedQuantile(group, 0.25));
            EXPECT_EQ(row.median, SortedQuantile(group, 0.5));
            EXPECT_EQ(row.q3, SortedQuantile(group, 0.75));
        }
    }
}

// Groups are values as GROUP BY compares them, in order of first appearance, and their keys
// are written apart: one case per backend and key type, each value with X = 1.
TEST_P(DescribeTest, GroupsAreValuesAsGroupByComparesThemAndAreWrittenApart)
{
    using Keys = std::vector<std::optional<std::string>>;
    struct Case {
        std::string backends, type;
        std::vector<std::string> values;
        Keys written;
    };
    const std::vector<Case> cases = {
        // SQLite's columns mix kinds: text keys are quoted beside numbers and blobs.
        {"sqlite qtsqlite", "",
         {"0.1 + 0.2", "0.3", "1", "1.0", "1.0000000000000002", "-0.0", "0", "9007199254740993",
          "9007199254740992.0", "x'FF41'", "x'FE41'", "'a' || char(0) || 'b'", "'a'", "NULL",
          "'null'", "'1'", "'b\\x''ff'''"},
         {"0.30000000000000004", "0.3", "1", "1.0000000000000002", "0", "9007199254740993",
          "9007199254740992", "x'ff41'", "x'fe41'", "'a\\x00b'", "'a'", std::nullopt, "'null'",
          "'1'", "'b\\\\x''ff'''"}},
        // Through Qt the row is read as UTF-16 first, which replaces bytes that are no UTF-8.
        {"sqlite", "TEXT", {"CAST(x'FF41' AS TEXT)", "CAST(x'FE41' AS TEXT)"},
         {"\\xffA", "\\xfeA"}},
        {"postgres", "NUMERIC", {"1.0", "1.00", "1", "-0.0", "2.50", "2.5"}, {"1", "0", "2.5"}},
        {"postgres", "DOUBLE PRECISION", {"-0.0", "0", "'NaN'", "'NaN'"}, {"0", "NaN"}},
        {"postgres", "BIGINT", {"9007199254740993", "9007199254740992"},
         {"9007199254740993", "9007199254740992"}},
        {"postgres", "BYTEA", {"'\\xff41'", "'\\xfe41'", "'\\xff41'"}, {"x'ff41'", "x'fe41'"}},
        {"postgres", "TEXT", {"'a\\b'", "'null'", "NULL", "''"},
         {"a\\\\b", "null", std::nullopt, ""}},
        {"mariadb", "BIT(8)", {"b'10101010'", "b'11111111'"}, {"x'aa'", "x'ff'"}},
        {"mariadb", "DOUBLE", {"-0.0", "0", "0.5"}, {"0", "0.5"}},
    };
    int n = 0;
    for (const Case& c : cases) {
        if (c.backends.find(GetParam()) == std::string::npos)
            continue;
        SCOPED_TRACE(c.type);
        const std::string table = "K" + std::to_string(++n);
        db_->Execute("CREATE TABLE " + table + " (G " + c.type + ", X INTEGER)");
        for (const std::string& value : c.values)
            db_->Execute("INSERT INTO " + table + " VALUES (" + value + ", 1)");
        TTable dataset;
        dataset.SetDatabaseName(db_->Name());
        dataset.SetTableName(table);
        TDescribeRequest request;
        request.fields = {FieldName("X")};
        request.by = FieldName("G");
        Keys written;
        for (const TDescribeRow& row : Describe(dataset, request))
            written.push_back(row.group);
        EXPECT_EQ(written, c.written);
    }
}

TEST_P(DescribeTest, MoreGroupsThanAllowedIsAnErrorNamingTheField)
{
    TDescribeRequest request;
    request.by = FieldName("N");
    request.maxGroups = 10;
    try {
        Describe(*Table(), request);
        ADD_FAILURE() << "described more than 10 groups";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("more than 10 different values"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find(FieldName("N")), std::string::npos) << e.what();
    }
}

TEST_P(DescribeTest, TextFieldOrFieldNamedTwiceIsRejected)
{
    for (const std::vector<std::string>& fields :
         {std::vector{FieldName("NAME")}, std::vector{FieldName("X"), FieldName("X")}}) {
        TDescribeRequest request;
        request.fields = fields;
        EXPECT_THROW(Describe(*Table(), request), EDatabaseError);
    }
}

TEST_P(DescribeTest, ComponentQuantileIsOfTheScaledValuesAndUndefinedWithoutValues)
{
    CreateValueTable(*db_, "S", "X", {1, NAN, 2, 6});
    CreateValueTable(*db_, "E", "X", {NAN});
    for (const char* name : {"S", "E", "S without spool"}) {
        SCOPED_TRACE(name);
        TRivuReviTable component;
        component.SetUseSpool(std::string(name) != "S without spool");
        component.SetDatabaseName(db_->Name());
        component.SetTableName(std::string(name, 1));
        component.SetStatFieldName(FieldName("X"));
        component.SetShowCalcProgress(TBoolPlus::Never);
        component.SetdsScaleFactor(2);
        component.Open();
        if (name[0] == 'S') {
            EXPECT_EQ(component.GetdsQuantile(0.25), 0.75); // of 0.5, 1 and 3
            EXPECT_EQ(component.GetdsQuantile(1), 3);
        } else {
            EXPECT_TRUE(std::isnan(component.GetdsQuantile(0.5)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, DescribeTest, testing::ValuesIn(Backends()),
                         [](const auto& info) { return info.param; });

// Rows that read otherwise once they have been read to the end, as from a table whose engine
// keeps no snapshots.
class ChangingCursor : public DataCursor {
public:
    explicit ChangingCursor(bool& readOnce) : readOnce_(readOnce) {}
    const std::vector<ColumnInfo>& Columns() const override { return columns_; }
    void Rewind() override { row_ = -1; }
    bool Fetch() override
    {
        if (++row_ < 100)
            return true;
        readOnce_ = true;
        return false;
    }
    std::int64_t CountRecords() override { return 100; }
    std::string SnapshotGap() const override { return "its engine keeps no snapshots"; }
    bool IsNull(int) const override { return false; }
    bool ReadDouble(int, double& value) const override
    {
        value = row_ == 7 && readOnce_ ? 1e6 : row_;
        return true;
    }
    std::string ReadText(int) const override { return std::to_string(row_); }

private:
    bool& readOnce_;
    int row_ = -1;
    std::vector<ColumnInfo> columns_{{"X", TFieldType::ftFloat}};
};

class ChangingRows : public TDataSet {
public:
    std::string SourceDescription() const override { return "table CHANGING"; }

protected:
    std::unique_ptr<DataCursor> OpenCursor() override
    {
        return std::make_unique<ChangingCursor>(readOnce_);
    }

private:
    bool readOnce_ = false;
};

TEST(DescribeCore, PassesThatReadOtherRowsThanTheWalkFailNamingTheGap)
{
    const std::string tmpdir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    // No spool can be kept: the passes read the records again.
    setenv("TMPDIR", "/nonexistent/zelstats-describe", 1);
    TDescribeRequest request;
    request.spoolMemory = 0;
    ChangingRows rows;
    try {
        Describe(rows, request);
        ADD_FAILURE() << "no error";
    } catch (const EDatabaseError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "The data changed during the description: a pass read other values than the "
                  "load, because the data source offers no snapshot: its engine keeps no "
                  "snapshots.");
    }
    if (tmpdir.empty())
        unsetenv("TMPDIR");
    else
        setenv("TMPDIR", tmpdir.c_str(), 1);
}

} // namespace
