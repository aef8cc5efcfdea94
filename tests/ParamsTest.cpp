// Named query parameters: found outside literals, names and comments in each dialect, bound
// with their own types on every backend, and a parameter not set or not named reported before
// any read.
#include "zelstats/data/DataSet.h"
#include "zelstats/data/MariaDbDriver.h"
#include "zelstats/data/Params.h"
#include "zelstats/stats/SourceStatistics.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QVariant>

#include <cmath>
#include <functional>

using namespace zel;
using namespace zel::test;

namespace {

void ExpectOpenFails(TQuery& q, const std::string& part)
{
    try {
        q.Open();
        ADD_FAILURE() << "no EDatabaseError, expected one naming " << part;
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
    }
    EXPECT_FALSE(q.Active());
}

TEST(ParamMarks, OnlyNamesOutsideLiteralsIdentifiersCommentsAndCastsAreParameters)
{
    struct Case {
        SqlDialect dialect;
        const char* sql;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {SqlDialect::Sqlite, R"(SELECT :a, ':b', ":c", [:d], `:e` -- :f
             /* :g */ FROM t WHERE x = :a_1)", {"a", "a_1"}},
        {SqlDialect::Postgres, R"(SELECT :a::int, x::text, $$ :b $$, $t$ :c $t$, E'\' :d',
             ' :e', /* /* :f */ :g */ :h, arr[1:n], "q"":i")", {"a", "h"}},
        {SqlDialect::MariaDb, R"(SELECT :a, ':b\' :c', ":d", `:e` # :f
             -- :g
             , :h, @x:=1, 'it''s :j')", {"a", "h"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> names;
        for (const ParamMark& mark : FindParamMarks(c.sql, c.dialect))
            names.push_back(mark.name);
        EXPECT_EQ(names, c.names) << c.sql;
    }
}

TEST(ParamMarks, RewrittenIntoTheDriversPlaceholdersAndCheckedBothWays)
{
    const std::vector<TQueryParam> params{{"a", 1}, {"b", 2}};
    const PositionalSql numbered =
        BindableSql("SELECT :b, ':a', :a, :b", SqlDialect::Postgres, params, "q",
                    [](std::size_t i) { return "$" + std::to_string(i + 1); });
    EXPECT_EQ(numbered.sql, "SELECT $2, ':a', $1, $2");
    EXPECT_EQ(numbered.order, (std::vector<std::size_t>{1, 0, 1}));
    const auto question = [](std::size_t) { return std::string("?"); };
    EXPECT_THROW(BindableSql("SELECT :a, :c", SqlDialect::MariaDb, params, "q", question),
                 EDatabaseError);
    EXPECT_THROW(BindableSql("SELECT :a", SqlDialect::MariaDb, params, "q", question),
                 EDatabaseError);
}

// Each backend, and MariaDB also through Qt's own reads (a client library other than the
// package's): the query is run once per way there.
class ParamsTest : public BackendTest {
protected:
    void ForEachWay(const std::function<void()>& test)
    {
        test();
        if (GetParam() != "mariadb")
            return;
        SCOPED_TRACE("through Qt's QMYSQL reads");
        ForceQtQueryReadsForMariaDb(true);
        test();
        ForceQtQueryReadsForMariaDb(false);
    }
    std::unique_ptr<TQuery> Query(const std::string& sql) const
    {
        auto q = std::make_unique<TQuery>();
        q->SetDatabaseName(db_->Name());
        q->SetSQL({sql});
        return q;
    }
};

// The type each value reaches the database with, by the database's own account: SQLite's
// typeof, PostgreSQL's pg_typeof (a null or a text whose type nothing decides is text), and
// MariaDB's character set of the value (binary but for text) with its exact digits (an
// integer past 2^53 is no double).
TEST_P(ParamsTest, EachValueBindsWithItsOwnType)
{
    struct Case {
        QVariant value;
        const char* sqlite;
        const char* postgres;
        bool binary; // MariaDB's CHARSET
        const char* text; // as the field reads it; null where not compared
    };
    const Case cases[] = {
        {QVariant(), "null", "text", true, nullptr},
        {QVariant(qlonglong(9007199254740993)), "integer", "bigint", true,
         "9007199254740993"},
        {QVariant(2.5), "real", "double precision", true, "2.5"},
        {QVariant(QStringLiteral("007")), "text", "text", false, "007"},
        {QVariant(QByteArray("\0\xff", 2)), "blob", "bytea", true, nullptr},
    };
    const std::string backend = GetParam();
    const bool sqlite = backend == "sqlite" || backend == "qtsqlite";
    const std::string type = sqlite                    ? "typeof(:v)"
                             : backend == "postgres" ? "pg_typeof(:v)::text"
                                                     : "CHARSET(:v)";
    ForEachWay([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.sqlite);
            auto q = Query("SELECT :v AS V, " + type + " AS T");
            q->SetParam("v", c.value);
            q->Open();
            const TField& v = *q->Fields()[0];
            EXPECT_EQ(v.IsNull(), c.value.isNull());
            if (c.text != nullptr) {
                EXPECT_EQ(v.AsString(), c.text);
            }
            const std::string t = q->Fields()[1]->AsString();
            if (backend == "mariadb") {
                EXPECT_EQ(t == "binary", c.binary) << t;
            } else {
                EXPECT_EQ(t, sqlite ? c.sqlite : c.postgres);
            }
        }
    });
}

TEST_P(ParamsTest, ParametersFilterTheWalkAndTheCount)
{
    CreateValueTable(*db_, "V", "X", {1, 2, 3, 4, 5});
    ForEachWay([&] {
        auto q = Query("SELECT X FROM V WHERE X > :low AND X < :high AND ':low' <> 'x' "
                       "-- :high\n ORDER BY X");
        q->SetParam("low", 1);
        q->SetParam("high", 4.5);
        q->Open();
        EXPECT_EQ(q->RecordCount(), 3);
        std::vector<double> seen;
        for (q->First(); !q->Eof(); q->Next())
            seen.push_back(q->Fields()[0]->AsFloat());
        EXPECT_EQ(seen, (std::vector<double>{2, 3, 4}));
    });
}

TEST_P(ParamsTest, AParameterNotSetOrNotNamedIsNamedBeforeAnyRead)
{
    ForEachWay([&] {
        auto unset = Query("SELECT :a AS A, :region AS B");
        unset->SetParam("a", 1);
        ExpectOpenFails(*unset, ":region, which is not set");
        auto unnamed = Query("SELECT ':region' AS A");
        unnamed->SetParam("region", "north");
        ExpectOpenFails(*unnamed, "'region' is set, but the SQL text does not name it");
    });
}

INSTANTIATE_TEST_SUITE_P(Backends, ParamsTest, testing::ValuesIn(Backends()),
                         [](const auto& info) { return info.param; });

// The server's statements wrap the query and carry its values after their own.
TEST(ParamsPg, ServerSummaryOfAParameterisedQueryMatchesTheWalk)
{
    auto db = MakePgDatabase();
    if (db == nullptr)
        GTEST_SKIP() << PgUnavailableReason();
    std::vector<double> values;
    for (int i = 0; i < 500; ++i)
        values.push_back((i * 37) % 101 + 0.25 * (i % 4));
    CreateValueTable(*db, "t", "x", values);
    std::vector<std::unique_ptr<TQueryStatistics>> runs;
    for (bool onServer : {false, true}) {
        auto s = std::make_unique<TQueryStatistics>();
        s->SetDatabaseName(db->Name());
        s->SetSQL({"SELECT x FROM t WHERE x >= :low AND x::text <> :skip"});
        s->SetParam("low", 20);
        s->SetParam("skip", "50.25");
        s->SetStatFieldName("x");
        s->SetShowCalcProgress(TBoolPlus::Never);
        s->SetComputeOnServer(onServer);
        s->SetdsScaleFactor(2.0);
        s->Open();
        s->Summarize();
        runs.push_back(std::move(s));
    }
    TStatistics& walk = *runs[0];
    TStatistics& server = *runs[1];
    ASSERT_GT(walk.ValuesRead(), 300);
    EXPECT_EQ(server.ValuesRead(), walk.ValuesRead());
    const auto near = [](double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fabs(b); };
    EXPECT_PRED2(near, server.GetdsMean(), walk.GetdsMean());
    EXPECT_PRED2(near, server.GetdsVariance(), walk.GetdsVariance());
    EXPECT_PRED2(near, server.GetdsMu4(), walk.GetdsMu4());
    EXPECT_EQ(server.GetdsMedian(), walk.GetdsMedian());
    for (int i = 1; i <= walk.FreqClasses() + 1; ++i)
        EXPECT_EQ(server.GetdsClassCount(i), walk.GetdsClassCount(i)) << "class " << i;
}

} // namespace
