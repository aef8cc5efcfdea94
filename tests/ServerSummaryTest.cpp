// Statistics computed by the PostgreSQL server: the same numbers as the walks on known data,
// the same class counts on every bound, the walks' errors, a parallel plan, and a cancel.
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
                    DataCase{"Money", {1.5, 2.25, 1234.5}, 1.0, 5, "x::numeric(12,2)::money"}),
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
        CancelServerQueries();
    });
    const auto start = std::chrono::steady_clock::now();
    const std::string message = FailureOf(q);
    cancel.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_NE(message.find("cancel"), std::string::npos) << message;
}

// The moments and classes statement is one aggregate that parallel workers share, on a table
// large enough and with parallel costs low enough that the planner chooses them.
TEST_F(ServerSummaryPg, MomentsRunAsAParallelAggregate)
{
    db_->Execute("CREATE TABLE big AS SELECT g AS id, (g % 1000) * 0.5 AS x "
                 "FROM generate_series(1, 200000) AS g; ANALYZE big");
    const char* keywords[] = {"dbname", nullptr};
    const char* values[] = {db_->Name().c_str(), nullptr};
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdbParams(keywords, values, 1),
                                                     &PQfinish);
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    auto single = [&](const std::string& sql, const std::vector<std::string>& params = {}) {
        std::vector<const char*> p;
        for (const auto& s : params)
            p.push_back(s.c_str());
        PGresult* r = PQexecParams(conn.get(), sql.c_str(), static_cast<int>(p.size()), nullptr,
                                   p.data(), nullptr, nullptr, 0);
        std::string text;
        for (int i = 0; i < PQntuples(r); ++i)
            text += std::string(PQgetvalue(r, i, 0)) + "\n";
        EXPECT_TRUE(PQresultStatus(r) == PGRES_TUPLES_OK || PQresultStatus(r) == PGRES_COMMAND_OK)
            << PQresultErrorMessage(r);
        PQclear(r);
        return text;
    };
    // The throwaway server lets a gather have at least two workers.
    EXPECT_GE(std::stoi(single("SHOW max_parallel_workers_per_gather")), 2);
    single("SET min_parallel_table_scan_size = 0");
    single("SET parallel_setup_cost = 0");
    single("SET parallel_tuple_cost = 0");
    const server::FieldSql f{"big AS zel_rows", "zel_rows.x", "zel_rows.x::float8",
                             "zel_rows.x"};
    // Without a ScaleBy (1) and with one, which the statement divides by.
    for (const bool scaled : {false, true}) {
        std::vector<std::string> params{"250", server::Float8Array({-0.5, 100, 200.25, 500})};
        if (scaled)
            params.push_back("4");
        const std::string plan =
            single("EXPLAIN " + server::PassSql(f, server::PassPowers::Moments, 4, scaled),
                   params);
        EXPECT_NE(plan.find("Gather"), std::string::npos) << plan;
        EXPECT_TRUE(std::regex_search(plan, std::regex("Partial (Hash|Group)?Aggregate")))
            << plan;
    }
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
