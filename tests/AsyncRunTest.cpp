// Summaries and describes off the window thread: the same numbers as on it, to the bit, on every
// backend; a window thread that keeps ticking; cancel within 200 ms in every kind of walk and
// statement, leaving earlier results alone; and the refusals where a worker's connection could
// not see the data. The ThreadSanitizer leg of scripts/test.sh runs these too.
#include "zelstats/data/DataSet.h"
#include "zelstats/stats/Describe.h"
#include "zelstats/stats/SourceStatistics.h"
#include "tests/TestSupport.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QSqlDatabase>
#include <QTimer>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using namespace zel;
using namespace zel::test;

namespace {

// Runs the window thread's event loop until the future finishes, at most `limitMs`.
template <class T>
bool WaitInEventLoop(const QFuture<T>& future, int limitMs = 60000)
{
    QFutureWatcher<T> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcher<T>::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();
    return future.isFinished();
}

// Every result a summary leaves, as bit patterns, read without a walk.
std::vector<std::uint64_t> Results(TStatistics& s)
{
    std::vector<double> values{static_cast<double>(s.ValuesRead()), s.ValuesTotal(), s.Minimum(),
                               s.Maximum(), s.GetdsMean(), s.GetdsMedian(), s.GetdsVariance(),
                               s.GetdsStdDev(), s.GetdsSkew(), s.GetdsKurtosis(), s.GetdsMu3(),
                               s.GetdsMu4(), s.GetdsRange(), s.GetdsMode(),
                               s.GetdsCoeffVariation(), s.GetdsValue(1)};
    for (int slot = 0; slot < MaintainedSlots; ++slot) {
        const TFreqData table = s.GetdsCachedFreqData(slot);
        for (int cls = 1; cls <= table.NumClasses + 1; ++cls) {
            values.push_back(table.ClassStart[cls]);
            values.push_back(static_cast<double>(table.ClassCount[cls]));
            values.push_back(table.ClassCumPercent[cls]);
        }
    }
    std::vector<std::uint64_t> bits;
    for (double v : values)
        bits.push_back(std::bit_cast<std::uint64_t>(v));
    return bits;
}

std::string Failure(QFuture<void> future)
{
    try {
        future.waitForFinished();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

using AsyncRun = BackendTest;

// 12,000 values: the median's warning is raised on the worker, and the spool serves the passes.
TEST_P(AsyncRun, SummarizeAsyncAndDescribeAsyncEqualTheirModalFormsToTheBit)
{
    std::vector<double> values;
    for (int i = 0; i < 12000; ++i)
        values.push_back(std::sin(i * 0.37) * 1000.0 + (i % 7 == 0 ? NAN : i * 0.001));
    CreateValueTable(*db_, "T", "X", values);
    TQueryStatistics modal, async;
    for (TQueryStatistics* s : {&modal, &async}) {
        s->SetDatabaseName(db_->Name());
        s->SetSQL({"SELECT ID, X FROM T"});
        s->SetStatFieldName(FieldName("X"));
        s->SetdsFreqClasses(12);
        s->Open();
    }
    modal.Summarize();
    const QFuture<void> future = async.SummarizeAsync();
    ASSERT_TRUE(WaitInEventLoop(future));
    ASSERT_EQ(Failure(future), "");
    EXPECT_EQ(Results(async), Results(modal));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(async.GetdsQuantile(0.3)),
              std::bit_cast<std::uint64_t>(modal.GetdsQuantile(0.3)));

    TDescribeRequest request;
    request.percentiles = {0.1};
    const auto described = DescribeAsync(modal, request);
    ASSERT_TRUE(WaitInEventLoop(described));
    const std::vector<TDescribeRow> rows = described.result();
    const std::vector<TDescribeRow> expected = Describe(modal, request);
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].field, expected[i].field);
        EXPECT_EQ(rows[i].count, expected[i].count);
        for (auto member : {&TDescribeRow::mean, &TDescribeRow::stdDev, &TDescribeRow::q1,
                            &TDescribeRow::median, &TDescribeRow::kurtosis})
            EXPECT_EQ(std::bit_cast<std::uint64_t>(rows[i].*member),
                      std::bit_cast<std::uint64_t>(expected[i].*member));
        EXPECT_EQ(rows[i].percentiles, expected[i].percentiles);
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, AsyncRun, testing::ValuesIn(Backends()),
                         [](const auto& info) { return info.param; });

// A SQLite file of 2,000,000 values, made once for the tests that need a long walk.
class LongWalk : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        db_ = MakeSqliteDatabase().release();
        db_->Execute("CREATE TABLE BIG (X DOUBLE PRECISION)");
        db_->Execute("WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c "
                     "WHERE i < 2000000) INSERT INTO BIG SELECT (i % 1000) * 0.25 FROM c");
    }
    static void TearDownTestSuite()
    {
        delete db_;
        db_ = nullptr;
    }
    static TestDatabase* db_;
};

TestDatabase* LongWalk::db_ = nullptr;

TEST_F(LongWalk, WindowThreadTimerNeverWaitsMoreThan50MsDuringSummarizeAsync)
{
    TTableStatistics stats;
    stats.SetDatabaseName(db_->Name());
    stats.SetTableName("BIG");
    stats.SetStatFieldName("X");
    stats.Open();
    QElapsedTimer clock;
    qint64 last = 0, longest = 0;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        // How long past its due time the tick came.
        longest = std::max(longest, clock.elapsed() - last - timer.interval());
        last = clock.elapsed();
    });
    QFutureWatcher<void> watcher;
    QStringList texts;
    QObject::connect(&watcher, &QFutureWatcher<void>::progressTextChanged,
                     [&](const QString& text) { texts.append(text); });
    const QFuture<void> future = stats.SummarizeAsync();
    watcher.setFuture(future);
    clock.start();
    timer.start();
    ASSERT_TRUE(WaitInEventLoop(future));
    EXPECT_EQ(Failure(future), "");
    EXPECT_EQ(stats.GetdsDataCount(), 2000000);
    EXPECT_LE(longest, 50);
    EXPECT_TRUE(texts.contains(QStringLiteral("Loading dataset, calculating totals, mean")));
}

// One long walk or statement per backend, and a small summary before it whose results must
// survive the cancel.
struct CancelCase {
    std::string name;
    std::string backend;
    std::string smallSql;
    std::string longSql;
    bool onServer;
    friend void PrintTo(const CancelCase& c, std::ostream* os) { *os << c.name; }
};

class CancelAsync : public testing::TestWithParam<CancelCase> {};

TEST_P(CancelAsync, CancelStopsWithin200MsAndLeavesEarlierResults)
{
    const CancelCase& c = GetParam();
    std::unique_ptr<TestDatabase> db = MakeDatabase(c.backend);
    if (db == nullptr)
        GTEST_SKIP() << UnavailableReason(c.backend);
    if (c.backend == "sqlite") {
        db->Execute("CREATE TABLE T (X DOUBLE PRECISION)");
        db->Execute("WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c "
                    "WHERE i < 10) INSERT INTO T SELECT i * 0.5 FROM c");
    }
    TQueryStatistics stats;
    stats.SetDatabaseName(db->Name());
    stats.SetStatFieldName(c.backend == "postgres" ? "x" : "X");
    stats.SetComputeOnServer(c.onServer);
    stats.SetSQL({c.smallSql});
    stats.Open();
    stats.Summarize();
    const std::vector<std::uint64_t> before = Results(stats);
    stats.Close();
    stats.SetSQL({c.longSql}); // opened by the worker alone: an open runs the statement

    QFuture<void> future = stats.SummarizeAsync();
    QElapsedTimer clock;
    bool runningAtCancel = false;
    QTimer::singleShot(300, [&] {
        runningAtCancel = !future.isFinished();
        clock.start();
        future.cancel();
    });
    ASSERT_TRUE(WaitInEventLoop(future));
    const qint64 stopped = clock.elapsed();
    ASSERT_TRUE(runningAtCancel) << "the summary ended before the cancel: make it longer";
    EXPECT_LE(stopped, 200);
    EXPECT_TRUE(future.isCanceled());
    EXPECT_EQ(Results(stats), before);
}

INSTANTIATE_TEST_SUITE_P(
    PassKinds, CancelAsync,
    testing::Values(
        // The rows are made as they are read: no machine walks 100,000,000 of them in 300 ms.
        CancelCase{"SqliteWalk", "sqlite", "SELECT X FROM T WHERE X <= 3",
                   "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c "
                   "WHERE i < 100000000) SELECT i * 0.5 AS X FROM c",
                   false},
        // generate_series in the select list streams its rows: nothing is materialised.
        CancelCase{"PgCursor", "postgres", "SELECT generate_series(1, 6)::float8 AS x",
                   "SELECT generate_series(1, 100000000)::float8 AS x", false},
        CancelCase{"PgServerStatement", "postgres", "SELECT generate_series(1, 6)::float8 AS x",
                   "SELECT generate_series(1, 1000000000)::float8 AS x", true},
        CancelCase{"MariaDbRead", "mariadb", "SELECT seq AS X FROM seq_1_to_6",
                   "SELECT seq AS X FROM seq_1_to_500000000", false}),
    [](const auto& info) { return info.param.name; });

// Where a connection of another thread would not see the data, the future fails at once.
TEST(AsyncRefusal, InMemoryDatabasesAndOpenTransactionsFailAtOnceSuggestingSummarize)
{
    if (!QtSqliteUnavailableReason().empty())
        GTEST_SKIP() << QtSqliteUnavailableReason();
    {
        QSqlDatabase memory = QSqlDatabase::addDatabase("QSQLITE", "memory");
        memory.setDatabaseName(":memory:");
        ASSERT_TRUE(memory.open());
    }
    auto file = MakeQtSqliteDatabase();
    file->Execute("CREATE TABLE T (X DOUBLE PRECISION)");
    QSqlDatabase::database(QString::fromStdString(file->Name().substr(6))).transaction();
    const struct {
        std::string database;
        std::string reason;
    } cases[] = {{":memory:", "in memory"},
                 {"qtsql:memory", "in memory"},
                 {file->Name(), "transaction open"}};
    for (const auto& c : cases) {
        TQueryStatistics stats;
        stats.SetDatabaseName(c.database);
        stats.SetSQL({"SELECT 1 AS X"});
        stats.SetStatFieldName("X");
        const QFuture<void> future = stats.SummarizeAsync();
        ASSERT_TRUE(future.isFinished()) << c.database;
        const std::string message = Failure(future);
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
        EXPECT_NE(message.find("Summarize()"), std::string::npos) << message;
    }
    QSqlDatabase::database(QString::fromStdString(file->Name().substr(6))).rollback();
    QSqlDatabase::removeDatabase("memory");
}

} // namespace
