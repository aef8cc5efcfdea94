// Statistics computed by the PostgreSQL server: the same numbers as the walks on known data,
// the same class counts on every bound, the walks' errors, and a cancel.
#include "components/ZelQuery.h"
#include "components/ZelTable.h"
#include "data/Driver.h"
#include "stats/ServerSummary.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <thread>

using namespace zel;
using namespace zel::test;

namespace {

struct DataCase {
    const char* name;
    std::vector<double> values; // NaN stands for NULL
    double scale = 1.0;
    std::uint16_t classes = 10;
    // The field as the query reads it from the table's float8 column x.
    const char* field = "x";
};

std::vector<double> ValuesOnBounds()
{
    // Quarters and multiples of 2^-10 fall exactly on many class bounds.
    std::mt19937 random(7);
    std::vector<double> values;
    for (int i = 0; i < 3000; ++i)
        values.push_back(i % 7 == 0 ? (random() % 41) * 0.25 : std::ldexp(random() % 100000, -10));
    return values;
}

std::vector<double> Skewed()
{
    std::mt19937_64 random(11);
    std::lognormal_distribution<double> lognormal(3.0, 0.8);
    std::vector<double> values;
    for (int i = 0; i < 12000; ++i) // more than the value store holds
        values.push_back(i % 97 == 0 ? std::nan("") : std::round(lognormal(random) * 1000) / 1000);
    return values;
}

// Identifiers near 1.7e12, whole or with thousandths: the mean needs the exact sum.
std::vector<double> LargeOffset(double step)
{
    std::vector<double> values;
    for (int i = 0; i < 2000; ++i)
        values.push_back(1.7e12 + ((i * 7919) % 1009) * step);
    return values;
}

class ServerSummaryTest : public testing::TestWithParam<DataCase> {
protected:
    void SetUp() override
    {
        db_ = MakePgDatabase();
        if (db_ == nullptr)
            GTEST_SKIP() << PgUnavailableReason();
    }

    std::unique_ptr<TRivuReviQuery> Query(const std::string& sql, bool onServer)
    {
        auto q = std::make_unique<TRivuReviQuery>();
        q->SetDatabaseName(db_->Name());
        q->SetSQL({sql});
        q->SetStatFieldName("x");
        q->SetShowCalcProgress(TBoolPlus::Never);
        q->SetComputeOnServer(onServer);
        q->Open();
        return q;
    }

    std::unique_ptr<TestDatabase> db_;
};

bool Near(double server, double client)
{
    if (std::isnan(client))
        return std::isnan(server);
    return std::fabs(server - client) <= 1e-12 * std::fabs(client);
}

TEST_P(ServerSummaryTest, ServerAgreesWithTheWalks)
{
    const DataCase& c = GetParam();
    CreateValueTable(*db_, "t", "x", c.values);
    const std::string sql = "SELECT id, " + std::string(c.field) + " AS x FROM t";
    auto client = Query(sql, false);
    auto server = Query(sql, true);
    for (TStatistics* s : {static_cast<TStatistics*>(client.get()),
                           static_cast<TStatistics*>(server.get())}) {
        s->SetdsScaleFactor(c.scale);
        s->SetdsFreqClasses(c.classes);
        s->Summarize();
    }
    TStatistics& a = *client;
    TStatistics& b = *server;
    ASSERT_EQ(b.ValuesRead(), a.ValuesRead());
    const std::map<std::string, std::pair<double, double>> results = {
        {"total", {b.ValuesTotal(), a.ValuesTotal()}},
        {"mean", {b.GetdsMean(), a.GetdsMean()}},
        {"minimum", {b.Minimum(), a.Minimum()}},
        {"maximum", {b.Maximum(), a.Maximum()}},
        {"median", {b.GetdsMedian(), a.GetdsMedian()}},
        {"variance", {b.GetdsVariance(), a.GetdsVariance()}},
        {"mu3", {b.GetdsMu3(), a.GetdsMu3()}},
        {"mu4", {b.GetdsMu4(), a.GetdsMu4()}},
        {"skew", {b.GetdsSkew(), a.GetdsSkew()}},
        {"kurtosis", {b.GetdsKurtosis(), a.GetdsKurtosis()}},
        {"coeffVariation", {b.GetdsCoeffVariation(), a.GetdsCoeffVariation()}},
        {"mode", {b.GetdsMode(), a.GetdsMode()}},
    };
    for (const auto& [name, pair] : results)
        EXPECT_PRED2(Near, pair.first, pair.second) << name;
    EXPECT_EQ(b.GetdsSkewSign(), a.GetdsSkewSign());
    for (int slot = 0; slot < MaintainedSlots; ++slot) {
        const TFreqData x = b.GetdsCachedFreqData(slot), y = a.GetdsCachedFreqData(slot);
        ASSERT_EQ(x.NumClasses, y.NumClasses);
        // Bit for bit, so that the undefined bounds of an empty load compare equal too.
        EXPECT_EQ(std::memcmp(x.ClassStart.data(), y.ClassStart.data(), sizeof(double) * ClassCells),
                  0) << "slot " << slot;
        EXPECT_EQ(x.ClassCount, y.ClassCount) << "slot " << slot;
        EXPECT_EQ(x.ModeClassCount, y.ModeClassCount) << "slot " << slot;
    }
    for (int i = 1; i <= a.FreqClasses() + 1; ++i)
        EXPECT_EQ(b.GetdsClassCount(i), a.GetdsClassCount(i)) << "class " << i;
    for (int i = 1; i <= std::min<std::int64_t>(a.ValuesRead(), MaxStoredValues); ++i)
        ASSERT_EQ(b.GetdsValue(i), a.GetdsValue(i)) << "stored value " << i;
}

INSTANTIATE_TEST_SUITE_P(
    KnownData, ServerSummaryTest,
    testing::Values(DataCase{"OneTwoSix", {1, 2, 6}},
                    DataCase{"OneTwoThree", {1, 2, 3}},
                    DataCase{"EightValues", {2, 4, 4, 4, 5, 5, 7, 9}, 10.0},
                    DataCase{"Negative", {-1, -2, -6}, -3.0},
                    DataCase{"WithNulls", {std::nan(""), 3, std::nan(""), 8, 1}},
                    DataCase{"OneValue", {4}},
                    DataCase{"NoValue", {std::nan("")}},
                    DataCase{"ValuesOnBounds", ValuesOnBounds(), 1.0, 13},
                    DataCase{"SkewedBeyondTheStore", Skewed(), 0.25, 50},
                    DataCase{"LargeOffsetBigint", LargeOffset(1.0), 1.0, 10, "x::bigint"},
                    DataCase{"LargeOffsetFractions", LargeOffset(0.001)},
                    DataCase{"SmallAndHuge", {1e-30, 0.3, -2.5e9, 7e18, -3e19, 5e19}},
                    DataCase{"Real", {0.1, 0.2, 0.7, 1.3}, 1.0, 10, "x::real"},
                    DataCase{"Numeric", {0.1, 0.25, 0.7, 1e6 + 0.3}, 1.0, 7, "x::numeric(12,3)"},
                    DataCase{"Money", {1.5, 2.25, 1234.5}, 1.0, 5, "x::numeric(12,2)::money"},
                    // The edges of float8's range: products that round to 0, sums that a
                    // plain float8 sum gets wrong.
                    DataCase{"Subnormal", {4.9406564584124654e-324, 1e-320, -2.5e-310, 3e-315}},
                    DataCase{"Near1eMinus85", {1e-85, 2.5e-85, -3e-85, 7e-85}},
                    DataCase{"Near1eMinus110", {1e-110, 3e-110, -2e-110}, 1.0, 4},
                    DataCase{"Near1eMinus200", {1e-200, 2e-200, 5e-200}},
                    DataCase{"TinyScaledBelowFloat8", {1e-300, 5e-310, 2e-300}, 1e20},
                    DataCase{"HugeCancelling", {5000000000012641280.0, 2e30, -1e30, -1e30}},
                    DataCase{"HugeIntegers", {1e70, 9.3e18, -3.3e69, 12345.678, 4.7e18}}),
    [](const testing::TestParamInfo<DataCase>& info) { return std::string(info.param.name); });

class ServerSummaryPg : public testing::Test {
protected:
    void SetUp() override
    {
        db_ = MakePgDatabase();
        if (db_ == nullptr)
            GTEST_SKIP() << PgUnavailableReason();
    }
    std::unique_ptr<TestDatabase> db_;
};

std::string FailureOf(TStatistics& s)
{
    try {
        s.Summarize();
    } catch (const EDatabaseError& e) {
        return e.what();
    }
    return "(no failure)";
}

TEST_F(ServerSummaryPg, UnreadableValuesFailWithTheWalksMessage)
{
    db_->Execute("CREATE TABLE n (x float8); INSERT INTO n VALUES (1), (NULL), ('NaN'), (2)");
    db_->Execute("CREATE TABLE s (x text); INSERT INTO s VALUES (NULL), ('12')");
    for (const std::string table : {"n", "s"}) {
        std::string messages[2];
        for (bool onServer : {false, true}) {
            TRivuReviTable t;
            t.SetDatabaseName(db_->Name());
            t.SetTableName(table);
            t.SetStatFieldName("x");
            t.SetShowCalcProgress(TBoolPlus::Never);
            t.SetComputeOnServer(onServer);
            t.Open();
            messages[onServer] = FailureOf(t);
        }
        EXPECT_NE(messages[1].find("at record " + std::string(table == "n" ? "3" : "2")),
                  std::string::npos)
            << messages[1];
        EXPECT_EQ(messages[1], messages[0]);
    }
}

TEST_F(ServerSummaryPg, ProgressAdvancesPerStatement)
{
    CreateValueTable(*db_, "t", "x", {1, 2, 6});
    struct Fractions : TWalkObserver {
        void WalkBegins(const std::string&, bool) override {}
        void WalkProgress(TWalkKind kind, const std::string&, double fraction) override
        {
            told[kind].push_back(fraction);
        }
        void WalkEnds() noexcept override {}
        void Idle() noexcept override {}
        std::map<TWalkKind, std::vector<double>> told;
    } observer;
    TRivuReviTable t;
    t.SetDatabaseName(db_->Name());
    t.SetTableName("t");
    t.SetStatFieldName("x");
    t.SetShowCalcProgress(TBoolPlus::Never);
    t.SetComputeOnServer(true);
    t.SetWalkObserver(&observer);
    t.Open();
    t.Summarize();
    EXPECT_EQ(observer.told[TWalkKind::Load], (std::vector<double>{0.5, 1.0}));
    EXPECT_EQ(observer.told[TWalkKind::Pass], (std::vector<double>{1.0}));
}

TEST_F(ServerSummaryPg, CancelStopsTheServersStatement)
{
    // The first record arrives at once; the aggregate waits on the second.
    TRivuReviQuery q;
    q.SetDatabaseName(db_->Name());
    q.SetSQL({"SELECT g::float8 AS x FROM generate_series(1, 2) AS g",
              "WHERE g = 1 OR (SELECT count(*) FROM pg_sleep(30)) > 0"});
    q.SetStatFieldName("x");
    q.SetShowCalcProgress(TBoolPlus::Never);
    q.SetComputeOnServer(true);
    q.Open();
    std::thread cancel([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        CancelAllStatements(std::chrono::seconds(5));
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string message = FailureOf(q);
    cancel.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(message.find("cancel"), std::string::npos) << message;
}

TEST(ServerSummary, SqliteSourcesCannotComputeOnAServer)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "T", "X", {1, 2, 6});
    TRivuReviTable t;
    t.SetDatabaseName(db->Name());
    t.SetTableName("T");
    t.SetStatFieldName("X");
    t.SetShowCalcProgress(TBoolPlus::Never);
    t.SetComputeOnServer(true);
    t.Open();
    EXPECT_EQ(FailureOf(t), "Cannot compute the statistics of " + t.SourceDescription()
                                + " on its server: only a PostgreSQL data source can");
}

} // namespace
