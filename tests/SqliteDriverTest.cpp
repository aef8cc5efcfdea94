// The SQLite driver on its own: handles released on every failure, read snapshots against a
// concurrent writer, one-column table walks, the statements and files it refuses, and table
// names with a schema.
#include "zelstats/data/DataSet.h"
#include "zelstats/data/Driver.h"
#include "tests/TestSupport.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>

using namespace zel;
using namespace zel::test;

namespace {

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EDatabaseError& e) {
        return e.what();
    }
    return "(no EDatabaseError)";
}

#define EXPECT_ERROR_HAS(text, part) \
    EXPECT_NE(std::string(text).find(part), std::string::npos) << "'" << (text) << "' lacks '" << (part) << "'"

std::ptrdiff_t OpenDescriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                         std::filesystem::directory_iterator());
}

int CountRows(DataCursor& cursor)
{
    cursor.Rewind();
    int n = 0;
    while (cursor.Fetch())
        ++n;
    return n;
}

TEST(SqliteDriver, FailureWhileReadingColumnKindsReleasesTheConnection)
{
    auto db = MakeSqliteDatabase();
    const std::ptrdiff_t before = OpenDescriptors();
    for (int i = 0; i < 50; ++i) {
        // The first step overflows, inside the cursor's constructor.
        EXPECT_THROW(OpenQueryCursor(db->Name(), "SELECT abs(-9223372036854775807 - 1) AS v"),
                     EDatabaseError);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SqliteDriver, SnapshotReadsTheSameRowsWhileAnotherConnectionWrites)
{
    auto db = MakeSqliteDatabase(); // a WAL database: the writer is never blocked
    CreateValueTable(*db, "V", "X", {1, 2, 3});
    auto cursor = OpenTableCursor(db->Name(), "V");
    cursor->Rewind();
    ASSERT_TRUE(cursor->Fetch()); // standing on a record, as a dataset does after Open
    db->Execute("INSERT INTO V (ID, X) VALUES (10, 4)");
    cursor->BeginSnapshot(); // the rows of now, not of the walk left standing
    EXPECT_EQ(CountRows(*cursor), 4);
    db->Execute("INSERT INTO V (ID, X) VALUES (11, 5)");
    EXPECT_EQ(CountRows(*cursor), 4);
    EXPECT_EQ(cursor->CountRecords(), 4);
    cursor->RestrictToColumn(1); // a one-column walk reads the same snapshot
    EXPECT_EQ(CountRows(*cursor), 4);
    cursor->EndSnapshot();
    EXPECT_EQ(CountRows(*cursor), 5);
    EXPECT_EQ(cursor->CountRecords(), 5);
}

TEST(SqliteDriver, WriterCommitsAfterTheSnapshotEndsOnARollbackJournal)
{
    auto db = MakeSqliteDatabase();
    db->Execute("PRAGMA journal_mode = DELETE");
    CreateValueTable(*db, "V", "X", {1, 2, 3});
    TTable t;
    t.SetDatabaseName(db->Name());
    t.SetTableName("V");
    t.Open();
    {
        TDataSet::TSnapshot snapshot(t);
        t.First();
        t.Next(); // a pass that stops in the middle
    }
    // The test connection has no busy timeout: a reader still holding the file fails this.
    EXPECT_NO_THROW(db->Execute("INSERT INTO V (ID, X) VALUES (10, 4)"));
    // The record the walk stood on went with the snapshot; it is never read as NULL.
    EXPECT_THROW(t.FieldByName("X").AsFloat(), EDatabaseError);
    EXPECT_THROW(t.Next(), EDatabaseError);
    t.First();
    EXPECT_EQ(t.FieldByName("X").AsFloat(), 1);
}

TEST(SqliteDriver, OneColumnWalkKeepsTheTableOrderAndReadsOnlyThatColumn)
{
    auto db = MakeSqliteDatabase();
    db->Execute("CREATE TABLE T (A INTEGER, B INTEGER)");
    // An index on B covers a one-column select of B, and would return 1, 2, 3.
    db->Execute("CREATE INDEX TB ON T (B)");
    db->Execute("INSERT INTO T VALUES (1, 3), (2, 1), (3, 2)");
    TTable t;
    t.SetDatabaseName(db->Name());
    t.SetTableName("T");
    t.Open();
    const TField& a = t.FieldByName("A");
    const TField& b = t.FieldByName("B");
    std::vector<double> walked;
    {
        TDataSet::TFieldWalk walk(t, b);
        for (t.First(); !t.Eof(); t.Next())
            walked.push_back(b.AsFloat());
        t.First();
        EXPECT_ERROR_HAS(ErrorOf([&] { a.AsFloat(); }), "reads only 'B'");
    }
    EXPECT_EQ(walked, (std::vector<double>{3, 1, 2}));
    t.First();
    EXPECT_EQ(a.AsFloat(), 1);
    EXPECT_EQ(b.AsFloat(), 3);
}

struct RefusedCase {
    const char* name;
    const char* sql;
    const char* message;
};

class SqliteRefusedStatement : public testing::TestWithParam<RefusedCase> {};

TEST_P(SqliteRefusedStatement, IsRefusedNamingWhy)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "V", "X", {1});
    TQuery q;
    q.SetDatabaseName(db->Name());
    q.SetSQL({GetParam().sql});
    const std::string error = ErrorOf([&] { q.Open(); });
    EXPECT_ERROR_HAS(error, "Cannot open the query on " + db->Name() + ": ");
    EXPECT_ERROR_HAS(error, GetParam().message);
    EXPECT_FALSE(q.Active());
}

INSTANTIATE_TEST_SUITE_P(
    SqliteDriver, SqliteRefusedStatement,
    testing::Values(
        RefusedCase{"WritableSchema", "PRAGMA writable_schema=1", "(PRAGMA writable_schema)"},
        RefusedCase{"JournalMode", "PRAGMA journal_mode=DELETE", "(PRAGMA journal_mode)"},
        RefusedCase{"Savepoint", "SAVEPOINT x", "(SAVEPOINT)"},
        RefusedCase{"Begin", "BEGIN", "(BEGIN)"},
        RefusedCase{"Reindex", "REINDEX", "datasets only read"},
        RefusedCase{"Attach", "ATTACH '/tmp/zelstats-attach.db' AS x", "(ATTACH)"},
        RefusedCase{"Detach", "DETACH main", "(DETACH)"},
        RefusedCase{"Vacuum", "VACUUM", "not a plain read"},
        RefusedCase{"VacuumInto", "VACUUM INTO '/tmp/zelstats-vacuum.db'", "not a plain read"},
        RefusedCase{"Analyze", "ANALYZE", "datasets only read"},
        RefusedCase{"TempView", "CREATE TEMP VIEW W AS SELECT 1", "change data"},
        RefusedCase{"Question", "SELECT X FROM V WHERE X = ?", "parameter ?"},
        RefusedCase{"Numbered", "SELECT X FROM V WHERE X = ?2", "parameter ?2"},
        RefusedCase{"Colon", "SELECT X FROM V WHERE X = :x", "parameter :x"},
        RefusedCase{"At", "SELECT X FROM V WHERE X = @x", "parameter @x"},
        RefusedCase{"Dollar", "SELECT X FROM V WHERE X = $x", "parameter $x"}),
    [](const auto& info) { return info.param.name; });

TEST(SqliteDriver, InformationPragmasAndTableFunctionsStayReadable)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "V", "X", {1});
    for (const char* sql : {"PRAGMA table_info(V)", "SELECT name FROM pragma_table_info('V')",
                            "SELECT value FROM json_each('[1, 2]')"}) {
        TQuery q;
        q.SetDatabaseName(db->Name());
        q.SetSQL({sql});
        ASSERT_NO_THROW(q.Open()) << sql;
        EXPECT_EQ(q.RecordCount(), 2) << sql;
    }
    EXPECT_FALSE(std::filesystem::exists("/tmp/zelstats-vacuum.db"));
}

class ScratchFolder {
public:
    ScratchFolder()
    {
        char pattern[] = "/tmp/zelstats-files-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchFolder() { std::filesystem::remove_all(path_); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// The count wraps the SQL text in a subquery; a trailing "-- comment" must not swallow its
// closing parenthesis, or the count falls back to a walk, which here fails on the second row.
TEST(SqliteDriver, CountOfATextEndingInACommentNeedsNoWalk)
{
    auto db = MakeSqliteDatabase();
    db->Execute("CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (1), (0)");
    auto cursor = OpenQueryCursor(
        db->Name(), "SELECT abs(-9223372036854775807 - 1 + v) AS a FROM t -- every row");
    EXPECT_EQ(cursor->CountRecords(), 2);
    EXPECT_TRUE(cursor->MoreRecordsThan(1));
}

// A long statement stops when another thread cancels every statement, and so does the
// connection's next one; a connection opened afterwards works.
TEST(SqliteDriver, CancelAllStatementsStopsALongStatement)
{
    auto db = MakeSqliteDatabase();
    std::thread canceller([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CancelAllStatements(std::chrono::seconds(5));
    });
    const auto start = std::chrono::steady_clock::now();
    std::unique_ptr<DataCursor> cursor;
    const std::string error = ErrorOf([&] {
        cursor = OpenQueryCursor(db->Name(), "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL "
                                             "SELECT x + 1 FROM c WHERE x < 4000000000) "
                                             "SELECT count(*) AS n FROM c");
    });
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_ERROR_HAS(error, "the query was cancelled");
    auto after = OpenQueryCursor(db->Name(), "SELECT 2 AS n");
    EXPECT_EQ(CountRows(*after), 1);
}

TEST(SqliteDriver, ACursorsCancellerStopsThatCursorAlone)
{
    auto db = MakeSqliteDatabase();
    db->Execute("CREATE TABLE t (v INTEGER); INSERT INTO t VALUES (1), (2)");
    auto cancelled = OpenTableCursor(db->Name(), "t");
    auto other = OpenTableCursor(db->Name(), "t");
    ASSERT_NE(cancelled->Canceller(), nullptr);
    cancelled->Canceller()->CancelStatement(std::chrono::steady_clock::now());
    EXPECT_ERROR_HAS(ErrorOf([&] { CountRows(*cancelled); }), "the query was cancelled");
    EXPECT_EQ(CountRows(*other), 2);
}

TEST(SqliteDriver, OnlyRegularFilesAreOpened)
{
    ScratchFolder folder;
    const std::string fifo = folder.Path() + "/pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::string path;
        const char* message;
    } cases[] = {{fifo, "is not a regular file"},
                 {"/dev/null", "is not a regular file"},
                 {folder.Path(), "is a directory"}};
    for (const auto& c : cases) {
        TTable t;
        t.SetDatabaseName(c.path);
        t.SetTableName("T");
        const std::string error = ErrorOf([&] { t.Open(); });
        EXPECT_ERROR_HAS(error, "Cannot open database '" + c.path + "'");
        EXPECT_ERROR_HAS(error, c.message);
    }
}

TEST(SqliteDriver, NameBeginningWithFileIsAPathNotAUri)
{
    ScratchFolder folder;
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open((folder.Path() + "/file:data.db").c_str(), &raw), SQLITE_OK);
        sqlite3_exec(raw, "CREATE TABLE T (X INTEGER); INSERT INTO T VALUES (7)", nullptr,
                     nullptr, nullptr);
        sqlite3_close(raw);
    }
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(folder.Path());
    TTable t;
    t.SetDatabaseName("file:data.db"); // as a URI it would name data.db, which is missing
    t.SetTableName("T");
    EXPECT_NO_THROW(t.Open());
    std::filesystem::current_path(previous);
    ASSERT_TRUE(t.Active());
    EXPECT_EQ(t.FieldByName("X").AsFloat(), 7);
    EXPECT_FALSE(std::filesystem::exists(folder.Path() + "/data.db"));
}

TEST(SqliteDriver, SchemaQualifiedNamesAndDottedTableNames)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "V", "X", {1});
    db->Execute("CREATE TABLE \"a.b\" (X INTEGER)");
    db->Execute("INSERT INTO \"a.b\" VALUES (5)");
    const struct {
        const char* table;
        double value;
    } cases[] = {{"main.V", 1}, {"MAIN.v", 1}, {"\"main\".\"V\"", 1}, {"a.b", 5},
                 {"main.a.b", 5}, {"main.\"a.b\"", 5}};
    for (const auto& c : cases) {
        TTable t;
        t.SetDatabaseName(db->Name());
        t.SetTableName(c.table);
        ASSERT_NO_THROW(t.Open()) << c.table;
        EXPECT_EQ(t.FieldByName("X").AsFloat(), c.value) << c.table;
    }
    TTable missing;
    missing.SetDatabaseName(db->Name());
    missing.SetTableName("temp.V");
    EXPECT_ERROR_HAS(ErrorOf([&] { missing.Open(); }), "temp.V");
}

} // namespace
