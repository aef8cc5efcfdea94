// zelstats_qtsql_bench: what the Qt SQL backend costs next to reading the same column plainly.
//
// MariaDB: a full summary (the load and the moments pass) over a mariadb:// URL against two
// plain reads of the column written directly on the MariaDB client library, as a C programmer
// writes them: a query, mysql_use_result, one row at a time. Beside it the same two reads
// through a prepared statement's server-side cursor, the way the backend reads, to show what
// the cursor itself costs.
// Qt's SQLite driver: a full summary over an application's QSQLITE connection against one over
// the native SQLite backend, on the same file.
// Each side runs a few times, interleaved, and the best times are compared; the medians stand
// beside them, to show how steady the machine was during the run.
//
//   zelstats_qtsql_bench [--mysql URL] [--records N] [--repetitions N] [--prefetch-sweep]
//
// The MariaDB case runs when --mysql or ZELSTATS_TEST_MYSQL names a server on which the user
// may create a database (scripts/with-mariadb.sh starts one).
#include "bench/BenchTools.h"
#include "bench/Headless.h"
#include "zelstats/data/DataSet.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/components/ZelTable.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QUrl>
#include <mysql.h>
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zel;
using namespace zel::bench;

namespace {

constexpr double kMysqlTarget = 1.3;

// --- MariaDB

struct MysqlDeleter {
    void operator()(MYSQL* mysql) const { mysql_close(mysql); }
};
using Mysql = std::unique_ptr<MYSQL, MysqlDeleter>;

Mysql Connect(const QUrl& url, const std::string& database)
{
    Mysql conn(mysql_init(nullptr));
    const std::string host = url.host().toStdString();
    const std::string user = url.userName().toStdString();
    const std::string password = url.password().toStdString();
    if (mysql_real_connect(conn.get(), host.c_str(), user.c_str(), password.c_str(),
                           database.empty() ? nullptr : database.c_str(),
                           static_cast<unsigned>(url.port(3306)), nullptr, 0)
        == nullptr)
        throw std::runtime_error(std::string("MariaDB: ") + mysql_error(conn.get()));
    return conn;
}

void Exec(MYSQL* conn, const std::string& sql)
{
    if (mysql_real_query(conn, sql.data(), sql.size()) != 0)
        throw std::runtime_error(std::string("MariaDB: ") + mysql_error(conn) + " in: " + sql);
    mysql_free_result(mysql_store_result(conn));
}

// Two plain reads: the text protocol, streamed row by row.
double PlainReads(MYSQL* conn)
{
    return Seconds([conn] {
        for (int pass = 0; pass < 2; ++pass) {
            const char* sql = "SELECT x FROM vals";
            if (mysql_real_query(conn, sql, std::strlen(sql)) != 0)
                throw std::runtime_error(mysql_error(conn));
            MYSQL_RES* result = mysql_use_result(conn);
            double sum = 0.0;
            while (MYSQL_ROW row = mysql_fetch_row(result)) {
                if (row[0] == nullptr)
                    continue;
                double v = 0.0;
                std::from_chars(row[0], row[0] + std::strlen(row[0]), v);
                sum += v;
            }
            mysql_free_result(result);
            sink = sink + sum;
        }
    });
}

// Two reads through a prepared statement's read-only server-side cursor, the backend's way.
double CursorReads(MYSQL* conn, unsigned long prefetch)
{
    return Seconds([conn, prefetch] {
        for (int pass = 0; pass < 2; ++pass) {
            MYSQL_STMT* stmt = mysql_stmt_init(conn);
            const char* sql = "SELECT x FROM vals";
            const unsigned long cursor = CURSOR_TYPE_READ_ONLY;
            if (mysql_stmt_prepare(stmt, sql, std::strlen(sql)) != 0
                || mysql_stmt_attr_set(stmt, STMT_ATTR_CURSOR_TYPE, &cursor) != 0
                || mysql_stmt_attr_set(stmt, STMT_ATTR_PREFETCH_ROWS, &prefetch) != 0
                || mysql_stmt_execute(stmt) != 0)
                throw std::runtime_error(mysql_stmt_error(stmt));
            double value = 0.0;
            my_bool isNull = 0;
            MYSQL_BIND bind{};
            bind.buffer_type = MYSQL_TYPE_DOUBLE;
            bind.buffer = &value;
            bind.is_null = &isNull;
            mysql_stmt_bind_result(stmt, &bind);
            double sum = 0.0;
            while (mysql_stmt_fetch(stmt) == 0) {
                if (!isNull)
                    sum += value;
            }
            mysql_stmt_close(stmt);
            sink = sink + sum;
        }
    });
}

void RunMysql(const std::string& server, int records, int repetitions, bool sweep)
{
    const QUrl url(QString::fromStdString(server));
    const std::string database = "zelstats_bench_" + std::to_string(getpid());
    Mysql admin = Connect(url, "");
    Exec(admin.get(), "CREATE DATABASE " + database);
    struct Drop {
        MYSQL* admin;
        std::string database;
        ~Drop() { mysql_query(admin, ("DROP DATABASE IF EXISTS " + database).c_str()); }
    } drop{admin.get(), database};
    Mysql conn = Connect(url, database);
    // About 1 % NULL, values spread over 0 to 5000 (the sequence engine writes the rows).
    Exec(conn.get(), "CREATE TABLE vals (x DOUBLE)");
    Exec(conn.get(), "INSERT INTO vals SELECT CASE WHEN seq % 97 = 0 THEN NULL "
                     "ELSE (seq * 7919 % 10007) * 0.5 END FROM seq_1_to_"
                         + std::to_string(records));

    QUrl target = url;
    target.setPath(QString::fromStdString("/" + database));
    TRivuReviTable component;
    component.SetDatabaseName(target.toString().toStdString());
    component.SetTableName("vals");
    component.SetStatFieldName("x");
    component.SetShowCalcProgress(TBoolPlus::Never);
    component.Open();

    Samples summary, plain, cursor;
    for (int r = 0; r < repetitions; ++r) {
        summary.Add(TimeSummarize(component));
        plain.Add(PlainReads(conn.get()));
        cursor.Add(CursorReads(conn.get(), 4096));
    }
    std::printf("MariaDB, %d records (about 1 %% NULL), best of %d:\n", records, repetitions);
    Report("Summarize over a mariadb:// URL", summary);
    Report("two plain reads (mysql_use_result)", plain);
    Report("two server-side cursor reads", cursor);
    ReportRatio("ratio summary / plain reads", summary, plain, kMysqlTarget);
    ReportRatio("ratio summary / cursor reads", summary, cursor, kMysqlTarget);
    ReportRatio("ratio cursor reads / plain reads", cursor, plain, 0);
    if (sweep) {
        std::printf("  server-side cursor, rows per fetch:\n");
        for (unsigned long prefetch : {256ul, 1024ul, 4096ul, 16384ul, 65536ul}) {
            Samples s;
            for (int r = 0; r < repetitions; ++r)
                s.Add(CursorReads(conn.get(), prefetch));
            std::printf("    %6lu  %8.3f s\n", prefetch, s.Best());
        }
    }
}

// --- Qt's SQLite driver against the native backend

void Check(int rc, sqlite3* db, const char* what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void RunQtSqlite(int records, int repetitions)
{
    char pattern[] = "/tmp/zelstats-bench-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0)
        throw std::runtime_error("cannot create a temporary file");
    close(fd);
    const std::string path = pattern;
    struct Remove {
        std::string path;
        ~Remove() { std::filesystem::remove(path); }
    } remove{path};
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db, "open");
    const std::string build =
        "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; CREATE TABLE vals (x DOUBLE PRECISION);"
        "WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < "
        + std::to_string(records)
        + ") INSERT INTO vals SELECT CASE WHEN i % 97 = 0 THEN NULL "
          "ELSE (i * 7919 % 10007) * 0.5 END FROM c";
    Check(sqlite3_exec(db, build.c_str(), nullptr, nullptr, nullptr), db, "build");
    sqlite3_close(db);

    const QString name = QStringLiteral("zelstats-bench");
    {
        QSqlDatabase connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        connection.setDatabaseName(QString::fromStdString(path));
        if (!connection.open())
            throw std::runtime_error(connection.lastError().text().toStdString());

        TRivuReviTable native;
        native.SetDatabaseName(path);
        TRivuReviTable qt;
        qt.SetConnection(connection);
        for (TRivuReviTable* t : {&native, &qt}) {
            t->SetTableName("vals");
            t->SetStatFieldName("x");
            t->SetShowCalcProgress(TBoolPlus::Never);
            t->Open();
        }
        Samples nativeTimes, qtTimes;
        for (int r = 0; r < repetitions; ++r) {
            nativeTimes.Add(TimeSummarize(native));
            qtTimes.Add(TimeSummarize(qt));
        }
        std::printf("SQLite, %d records (about 1 %% NULL), best of %d:\n", records, repetitions);
        Report("Summarize, native SQLite backend", nativeTimes);
        Report("Summarize, Qt's QSQLITE connection", qtTimes);
        ReportRatio("ratio Qt / native", qtTimes, nativeTimes, 0);
        connection.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace

int main(int argc, char** argv)
{
    const auto app = HeadlessApplication(argc, argv);

    std::string server = std::getenv("ZELSTATS_TEST_MYSQL") ? std::getenv("ZELSTATS_TEST_MYSQL") : "";
    int records = 1000000;
    int repetitions = 3;
    bool sweep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mysql" && i + 1 < argc)
            server = argv[++i];
        else if (arg == "--records" && i + 1 < argc)
            records = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--repetitions" && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--prefetch-sweep")
            sweep = true;
        else {
            std::fprintf(stderr, "usage: %s [--mysql URL] [--records N] [--repetitions N] "
                                 "[--prefetch-sweep]\n", argv[0]);
            return 2;
        }
    }

    try {
        if (server.empty())
            std::printf("MariaDB: skipped, ZELSTATS_TEST_MYSQL is not set and no --mysql URL "
                        "was given (scripts/with-mariadb.sh starts a server)\n");
        else
            RunMysql(server, records, repetitions, sweep);
        RunQtSqlite(records, repetitions);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelstats_qtsql_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
