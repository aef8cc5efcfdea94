// Statistics computed by the PostgreSQL server: the same numbers as the walks on known data,
// the same class counts on every bound, the walks' errors, and a cancel.
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "zelstats/data/Driver.h"
#include "zelstats/data/Guards.h"
#include "zelstats/stats/ServerSummary.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
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

std::vector<double> FollowedBy(std::vector<double> values, double last, int copies = 1)
{
    values.insert(values.end(), copies, last);
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

// Within `tolerance` of the client's value relative to `scale` (the value itself by default).
bool Near(double server, double client, double tolerance = 1e-12, double scale = NAN)
{
    if (std::isnan(client))
        return std::isnan(server);
    if (std::isinf(client))
        return server == client;
    return std::fabs(server - client) <= tolerance * std::fabs(std::isnan(scale) ? client : scale);
}

// The server's summary against the walk's: every statistic within `tolerance` (the third and
// fourth moments on the scale of sigma^3 and sigma^4 with `momentScale`, as the server's
// powers are products and the walk's go through the logarithm), and class counts, median,
// mode and stored values exactly.
void ExpectSameSummary(TStatistics& b, TStatistics& a, double tolerance, bool momentScale)
{
    ASSERT_EQ(b.ValuesRead(), a.ValuesRead());
    const double sigma = std::sqrt(a.GetdsVariance());
    const auto scaled = [&](double x, double power) {
        return momentScale ? std::pow(sigma, power) : x;
    };
    struct Result {
        const char* name;
        double server, client, scale;
    };
    const Result results[] = {
        {"total", b.ValuesTotal(), a.ValuesTotal(), NAN},
        {"mean", b.GetdsMean(), a.GetdsMean(), NAN},
        {"minimum", b.Minimum(), a.Minimum(), NAN},
        {"maximum", b.Maximum(), a.Maximum(), NAN},
        {"median", b.GetdsMedian(), a.GetdsMedian(), NAN},
        {"variance", b.GetdsVariance(), a.GetdsVariance(), NAN},
        {"mu3", b.GetdsMu3(), a.GetdsMu3(), scaled(a.GetdsMu3(), 3)},
        {"mu4", b.GetdsMu4(), a.GetdsMu4(), scaled(a.GetdsMu4(), 4)},
        {"skew", b.GetdsSkew(), a.GetdsSkew(), momentScale ? 1 + a.GetdsSkew() : NAN},
        {"kurtosis", b.GetdsKurtosis(), a.GetdsKurtosis(), NAN},
        {"coeffVariation", b.GetdsCoeffVariation(), a.GetdsCoeffVariation(), NAN},
        {"mode", b.GetdsMode(), a.GetdsMode(), NAN},
    };
    for (const Result& r : results) {
        EXPECT_TRUE(Near(r.server, r.client, tolerance, r.scale))
            << r.name << ": " << r.server << " against " << r.client;
    }
    EXPECT_TRUE(Near(b.GetdsMedian(), a.GetdsMedian(), 0.0)) << "median";
    EXPECT_TRUE(Near(b.GetdsMode(), a.GetdsMode(), 0.0)) << "mode";
    if (!momentScale) {
        EXPECT_EQ(b.GetdsSkewSign(), a.GetdsSkewSign());
    }
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

void SummarizeBoth(TStatistics& client, TStatistics& server, const DataCase& c)
{
    for (TStatistics* s : {&client, &server}) {
        s->SetdsScaleFactor(c.scale);
        s->SetdsFreqClasses(c.classes);
        s->Summarize();
    }
}

TEST_P(ServerSummaryTest, ServerAgreesWithTheWalks)
{
    const DataCase& c = GetParam();
    CreateValueTable(*db_, "t", "x", c.values);
    const std::string sql = "SELECT id, " + std::string(c.field) + " AS x FROM t";
    auto client = Query(sql, false);
    auto server = Query(sql, true);
    SummarizeBoth(*client, *server, c);
    ExpectSameSummary(*server, *client, 1e-12, false);
}

std::vector<DataCase> KnownData()
{
    return {DataCase{"OneTwoSix", {1, 2, 6}},
            DataCase{"OneTwoThree", {1, 2, 3}},
            DataCase{"EightValues", {2, 4, 4, 4, 5, 5, 7, 9}, 10.0},
            DataCase{"Negative", {-1, -2, -6}, -3.0},
            DataCase{"WithNulls", {std::nan(""), 3, std::nan(""), 8, 1}},
            DataCase{"OneValue", {4}},
            DataCase{"NoValue", {std::nan("")}},
            DataCase{"ValuesOnBounds", ValuesOnBounds(), 1.0, 13},
            DataCase{"SkewedBeyondTheStore", Skewed(), 0.25, 50},
            // The first values all below 2^31 in size, and a fifth of them -2^31 exactly
            // after those.
            DataCase{"LeastAtMinus2To31BeyondTheStore", FollowedBy(Skewed(), -2147483648.0, 3000)},
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
            // A mean of 2^-215, whose half unit in the last place (2^-268, the least a d
            // other than 0 can be) is just large enough for products without a guard.
            DataCase{"HalfUnitFromTheMean", {0.5, -0.25, -0.25, 0x1p-215 - 0x1p-268,
                                             0x1p-215 - 0x1p-268, 0x1p-215 + 0x1p-267,
                                             0x1p-214, 0x1.8p-214}},
            DataCase{"TinyScaledBelowFloat8", {1e-300, 5e-310, 2e-300}, 1e20},
            DataCase{"HugeCancelling", {5000000000012641280.0, 2e30, -1e30, -1e30}},
            // Fractions of floats from 2^31 up (2^31 + 2^-21 among them), which cancel only
            // in the total.
            DataCase{"FractionsAbove2To31", {4503599627370495.5, -2251799813685247.75,
                                             -2251799813685247.75, 0x1.0000000000001p+31,
                                             -2147483648.0, 0.001}},
            // Values whose product by 2^32 overflows float8 (their spread does too).
            DataCase{"NearTheLargestDouble", {1.5e308, -1e308, 3.0}},
            DataCase{"HugeIntegers", {1e70, 9.3e18, -3.3e69, 12345.678, 4.7e18}}};
}

INSTANTIATE_TEST_SUITE_P(
    KnownData, ServerSummaryTest, testing::ValuesIn(KnownData()),
    [](const testing::TestParamInfo<DataCase>& info) { return std::string(info.param.name); });

std::string FailureOf(TStatistics& s)
{
    try {
        s.Summarize();
    } catch (const EDatabaseError& e) {
        return e.what();
    }
    return "(no failure)";
}

// --- Partitioned tables: the sharded parent of two foreign partitions and the local table
// `ranged` of scripts/with-pg-shards.sh, against a plain table.

const char* ShardedUri() { return std::getenv("ZELSTATS_TEST_PG_SHARDED"); }
constexpr const char* kNoShards =
    "ZELSTATS_TEST_PG_SHARDED is not set; run the tests through scripts/with-pg-shards.sh";

using PgConnection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

PgConnection Connect(const std::string& uri)
{
    return PgConnection(PQconnectdb(uri.c_str()), &PQfinish);
}

// The rows of a statement's result, each its cells joined by '|'; a failure fails the test.
std::vector<std::string> Rows(PGconn* conn, const std::string& sql)
{
    PGresult* result = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    EXPECT_TRUE(status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK)
        << PQresultErrorMessage(result) << sql.substr(0, 200);
    std::vector<std::string> rows;
    for (int i = 0; i < PQntuples(result); ++i) {
        std::string row;
        for (int j = 0; j < PQnfields(result); ++j)
            row += (j > 0 ? "|" : "") + std::string(PQgetvalue(result, i, j));
        rows.push_back(row);
    }
    PQclear(result);
    return rows;
}

// Replaces the rows of a table of the coordinator by the values (NaN: NULL), their ids spread
// over every partition of `ranged` (below 0, the hashed middle, the default) in turn, so that
// no partition holds a run of the values in their order.
void FillTable(PGconn* conn, const std::string& table, const std::vector<double>& values)
{
    Rows(conn, "DELETE FROM " + table);
    std::ostringstream sql;
    sql.precision(17);
    sql << "INSERT INTO " << table << " (id, x) VALUES ";
    for (std::size_t i = 0; i < values.size(); ++i) {
        const long long n = static_cast<long long>(i);
        sql << (i > 0 ? ", (" : "(") << (i % 3 == 0 ? -n - 1 : i % 3 == 1 ? n : 1000000 + n)
            << ", ";
        if (std::isnan(values[i]))
            sql << "NULL)";
        else
            sql << values[i] << ")";
    }
    Rows(conn, sql.str());
}

std::unique_ptr<TRivuReviTable> OpenTable(const std::string& database, const std::string& table,
                                          bool onServer)
{
    auto t = std::make_unique<TRivuReviTable>();
    t->SetDatabaseName(database);
    t->SetTableName(table);
    t->SetStatFieldName("x");
    t->SetShowCalcProgress(TBoolPlus::Never);
    t->SetComputeOnServer(onServer);
    t->Open();
    return t;
}

// The known data whose field is the float8 column itself, which every kind of table holds.
std::vector<DataCase> FloatData()
{
    std::vector<DataCase> cases = KnownData();
    std::erase_if(cases, [](const DataCase& c) { return std::string(c.field) != "x"; });
    return cases;
}

class PartitionedSummaryTest
    : public testing::TestWithParam<std::tuple<DataCase, std::string>> {
protected:
    void SetUp() override
    {
        const auto& [c, kind] = GetParam();
        if (kind == "plain") {
            db_ = MakePgDatabase();
            if (db_ == nullptr)
                GTEST_SKIP() << PgUnavailableReason();
            CreateValueTable(*db_, "t", "x", c.values);
            database_ = db_->Name();
            table_ = "t";
            return;
        }
        if (ShardedUri() == nullptr)
            GTEST_SKIP() << kNoShards;
        FillTable(Connect(ShardedUri()).get(), kind, c.values);
        database_ = ShardedUri();
        table_ = kind;
    }

    std::unique_ptr<TestDatabase> db_;
    std::string database_, table_;
};

TEST_P(PartitionedSummaryTest, ServerAgreesWithTheWalk)
{
    const DataCase& c = std::get<0>(GetParam());
    auto client = OpenTable(database_, table_, false);
    auto server = OpenTable(database_, table_, true);
    SummarizeBoth(*client, *server, c);
    ExpectSameSummary(*server, *client, 1e-11, true);
}

INSTANTIATE_TEST_SUITE_P(
    KnownData, PartitionedSummaryTest,
    testing::Combine(testing::ValuesIn(FloatData()),
                     testing::Values("sharded", "ranged", "plain")),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param);
    });

class ShardedPg : public testing::Test {
protected:
    void SetUp() override
    {
        if (ShardedUri() == nullptr)
            GTEST_SKIP() << kNoShards;
        conn_ = Connect(ShardedUri());
        ASSERT_EQ(PQstatus(conn_.get()), CONNECTION_OK) << PQerrorMessage(conn_.get());
    }
    PgConnection conn_{nullptr, &PQfinish};
};

// The plan of a statement with its parameters, one line of EXPLAIN's text a row.
std::vector<std::string> Plan(PGconn* conn, const std::string& sql,
                              const std::vector<std::string>& params)
{
    Rows(conn, "DEALLOCATE ALL");
    Rows(conn, "PREPARE zel_statement AS " + sql);
    std::string values;
    for (const std::string& param : params)
        values += (values.empty() ? "'" : ", '") + param + "'";
    return Rows(conn, "EXPLAIN (VERBOSE) EXECUTE zel_statement"
                          + (values.empty() ? std::string() : "(" + values + ")"));
}

TEST_F(ShardedPg, EachStatementAggregatesEveryPartitionOnItsShard)
{
    // A value of 2^31 or more after the first values takes the load with the parts of large
    // floats too.
    FillTable(conn_.get(), "sharded", FollowedBy(Skewed(), 3e9));
    std::vector<std::pair<std::string, std::vector<std::string>>> statements;
    SetPgSummaryLog([&](const std::string& sql, const std::vector<std::string>& params) {
        statements.emplace_back(sql, params);
    });
    auto t = OpenTable(ShardedUri(), "sharded", true);
    t->SetdsFreqClasses(20);
    t->Summarize();
    SetPgSummaryLog({});
    int valueStatements = 0;
    ASSERT_GE(statements.size(), 4u);
    for (const auto& [sql, params] : statements) {
        // The first 10,000 values: the one statement that takes rows.
        const bool values = sql.find(" LIMIT ") != std::string::npos;
        valueStatements += values;
        std::string aggregated;
        for (const std::string& line : Plan(conn_.get(), sql, params)) {
            if (line.find("Relations: Aggregate on (") != std::string::npos)
                aggregated += line;
            if (!values && line.find("Remote SQL:") != std::string::npos) {
                EXPECT_NE(line.find("count("), std::string::npos) << line;
            }
        }
        for (const char* partition : {"sharded_p0", "sharded_p1"}) {
            EXPECT_EQ(aggregated.find(partition) != std::string::npos, !values)
                << partition << " in " << sql.substr(0, 300);
        }
    }
    EXPECT_EQ(valueStatements, 1);
}

// The postgres_fdw sessions on the shards.
std::set<std::string> ShardSessions()
{
    std::set<std::string> pids;
    std::istringstream shards(std::getenv("ZELSTATS_TEST_PG_SHARDS"));
    for (std::string uri; shards >> uri;) {
        const PgConnection shard = Connect(uri);
        for (const std::string& pid :
             Rows(shard.get(), "SELECT pid FROM pg_stat_activity "
                               "WHERE application_name = 'postgres_fdw'"))
            pids.insert(uri + " " + pid);
    }
    return pids;
}

TEST_F(ShardedPg, OpeningTheTableStartsNoScanOnTheShards)
{
    FillTable(conn_.get(), "sharded", {1, 2, 6});
    const std::set<std::string> before = ShardSessions();
    auto t = OpenTable(ShardedUri(), "sharded", false);
    EXPECT_EQ(t->DataSet().FieldByName("x").Index(), 1);
    const std::set<std::string> opened = ShardSessions();
    EXPECT_TRUE(std::includes(before.begin(), before.end(), opened.begin(), opened.end()));
    // The first record is read when it is asked for, and the check sees the shards read.
    EXPECT_EQ(t->DataSet().RecNo(), 1);
    EXPECT_FALSE(t->DataSet().Eof());
    const std::set<std::string> read = ShardSessions();
    EXPECT_FALSE(std::includes(before.begin(), before.end(), read.begin(), read.end()));
}

TEST_F(ShardedPg, AShardThatRefusesIsNamedWithItsPartitionAndServer)
{
    FillTable(conn_.get(), "sharded", {1, 2, 6, 7, 9});
    PQconninfoOption* options =
        PQconninfoParse(std::getenv("ZELSTATS_TEST_PG_SHARDS"), nullptr);
    std::string password;
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o)
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr)
            password = o->val;
    PQconninfoFree(options);
    const std::string mapping = "ALTER USER MAPPING FOR CURRENT_USER SERVER shard2 ";
    Rows(conn_.get(), mapping + "OPTIONS (SET password 'zel-wrong-secret')");
    const TAtScopeExit restore(
        [&] { Rows(conn_.get(), mapping + "OPTIONS (SET password '" + password + "')"); });
    for (const bool onServer : {true, false}) {
        // The opening reads the first record already.
        std::string message = "(no failure)";
        try {
            OpenTable(ShardedUri(), "sharded", onServer)->Summarize();
        } catch (const EDatabaseError& e) {
            message = e.what();
        }
        EXPECT_NE(message.find(": partition sharded_p1 on foreign server shard2 failed: "),
                  std::string::npos) << message;
        EXPECT_EQ(message.find("zel-wrong-secret"), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
}

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
