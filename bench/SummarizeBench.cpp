// zelstats_bench: how much a full summary costs next to reading the same column plainly.
//
// Summarize walks the records twice (the load and the moments pass), so it is set against two
// plain scans of the same column written directly on the C library: on SQLite prepare, step
// and read the double; on PostgreSQL a cursor fetched in batches, as the driver does. Each
// side runs a few times, interleaved, so that noise on the machine touches both alike, and
// the best time of each is compared. The medians stand beside them, to show how steady the
// machine was during the run.
//
//   zelstats_bench [--pg URI] [--records N] [--repetitions N] [--batch-sweep]
//
// The PostgreSQL case runs when --pg or ZELSTATS_TEST_PG names a server on which the user may
// create a database (scripts/with-postgres.sh starts one).
#include "bench/Headless.h"
#include "bench/PgBench.h"
#include "zelstats/data/DataSet.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/components/ZelTable.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zel;
using namespace zel::bench;

namespace {

constexpr double kSqliteHiddenTarget = 1.4;
constexpr double kSqliteShownTarget = 1.5;
constexpr double kPgTarget = 1.3;
// The driver's batch size for narrow rows (data/PgDriver.cpp).
constexpr int kPgBatchRows = 10000;

// The column's values: normally distributed around 100, about 1 % NULL (NaN here).
std::vector<double> MakeValues(int count)
{
    std::mt19937_64 random(20240229);
    std::normal_distribution<double> normal(100.0, 15.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values(count);
    for (double& v : values)
        v = uniform(random) < 0.01 ? std::numeric_limits<double>::quiet_NaN() : normal(random);
    return values;
}

// A component over the table, opened, summarising with the progress dialog hidden or shown.
double TimeSummarize(TRivuReviTable& component, TBoolPlus progress)
{
    component.SetShowCalcProgress(progress);
    return bench::TimeSummarize(component);
}

// --- SQLite

void Check(int rc, sqlite3* db, const char* what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void BuildSqliteTable(const std::string& path, const std::vector<double>& values)
{
    sqlite3* db = nullptr;
    Check(sqlite3_open(path.c_str(), &db), db, "open");
    Check(sqlite3_exec(db, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; "
                           "CREATE TABLE vals (x DOUBLE PRECISION); BEGIN",
                       nullptr, nullptr, nullptr),
          db, "create");
    sqlite3_stmt* insert = nullptr;
    Check(sqlite3_prepare_v2(db, "INSERT INTO vals (x) VALUES (?)", -1, &insert, nullptr), db,
          "prepare");
    for (double v : values) {
        if (std::isnan(v))
            sqlite3_bind_null(insert, 1);
        else
            sqlite3_bind_double(insert, 1, v);
        Check(sqlite3_step(insert), db, "insert");
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_close(db);
}

double PlainSqliteScans(sqlite3* db)
{
    return Seconds([db] {
        for (int pass = 0; pass < 2; ++pass) {
            sqlite3_stmt* stmt = nullptr;
            Check(sqlite3_prepare_v2(db, "SELECT x FROM vals", -1, &stmt, nullptr), db, "prepare");
            double sum = 0.0;
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                if (sqlite3_column_type(stmt, 0) != SQLITE_NULL)
                    sum += sqlite3_column_double(stmt, 0);
            }
            sqlite3_finalize(stmt);
            sink = sink + sum;
        }
    });
}

void RunSqlite(const std::vector<double>& values, int repetitions)
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
    std::filesystem::remove(path);
    BuildSqliteTable(path, values);

    TRivuReviTable component;
    component.SetDatabaseName(path);
    component.SetTableName("vals");
    component.SetStatFieldName("x");
    component.Open();

    sqlite3* db = nullptr;
    Check(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), db, "open");

    Samples hidden, shown, plain;
    for (int r = 0; r < repetitions; ++r) {
        hidden.Add(TimeSummarize(component, TBoolPlus::Never));
        plain.Add(PlainSqliteScans(db));
        shown.Add(TimeSummarize(component, TBoolPlus::Always));
    }
    sqlite3_close(db);

    std::printf("SQLite, %zu records (about 1 %% NULL), best of %d:\n", values.size(),
                repetitions);
    Report("Summarize, progress hidden", hidden);
    Report("Summarize, progress shown", shown);
    Report("two plain sqlite3 scans", plain);
    ReportRatio("ratio hidden / plain", hidden, plain, kSqliteHiddenTarget);
    ReportRatio("ratio shown / plain", shown, plain, kSqliteShownTarget);
}

// --- PostgreSQL

void LoadPgTable(const PgConn& db, const std::vector<double>& values)
{
    db.Exec("CREATE TABLE vals (x double precision)");
    PGresult* copy = PQexec(db.conn, "COPY vals (x) FROM STDIN");
    const bool copying = PQresultStatus(copy) == PGRES_COPY_IN;
    PQclear(copy);
    if (!copying)
        throw std::runtime_error("COPY: " + db.Error());
    std::string chunk;
    char number[32];
    for (double v : values) {
        if (std::isnan(v)) {
            chunk += "\\N\n";
        } else {
            auto [end, error] = std::to_chars(number, number + sizeof number, v);
            chunk.append(number, end);
            chunk += '\n';
        }
        if (chunk.size() > (1 << 20)) {
            PQputCopyData(db.conn, chunk.data(), static_cast<int>(chunk.size()));
            chunk.clear();
        }
    }
    PQputCopyData(db.conn, chunk.data(), static_cast<int>(chunk.size()));
    PQputCopyEnd(db.conn, nullptr);
    PGresult* result = PQgetResult(db.conn);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    PQclear(result);
    while ((result = PQgetResult(db.conn)) != nullptr)
        PQclear(result);
    if (!ok)
        throw std::runtime_error("COPY: " + db.Error());
    // Hint bits and the visibility map are set now rather than by the first timed scan.
    db.Exec("VACUUM ANALYZE vals");
}

void RunPostgres(const std::string& uri, const std::vector<double>& values, int repetitions,
                 bool batchSweep)
{
    PgConn admin(uri);
    if (!admin.Ok()) {
        std::printf("PostgreSQL: skipped, the server is unreachable: %s\n", admin.Error().c_str());
        return;
    }
    const std::string server = std::string(PQhost(admin.conn)) + ":" + PQport(admin.conn);
    const std::string name = "zelstats_bench_" + std::to_string(getpid());
    try {
        admin.Exec("CREATE DATABASE " + name);
    } catch (const std::exception& e) {
        std::printf("PostgreSQL: skipped, cannot create a database: %s\n", e.what());
        return;
    }
    struct Drop {
        const PgConn& admin;
        std::string name;
        ~Drop()
        {
            PQclear(PQexec(admin.conn, ("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)").c_str()));
        }
    } drop{admin, name};

    const std::string dbUri = WithDatabase(uri, name);
    PgConn db(dbUri);
    if (!db.Ok())
        throw std::runtime_error("cannot connect to the bench database: " + db.Error());
    LoadPgTable(db, values);

    Samples hidden, plain;
    {
        TRivuReviTable component;
        component.SetDatabaseName(dbUri);
        component.SetTableName("vals");
        component.SetStatFieldName("x");
        component.Open();
        for (int r = 0; r < repetitions; ++r) {
            hidden.Add(TimeSummarize(component, TBoolPlus::Never));
            plain.Add(PlainPgScans(db, kPgBatchRows));
        }
    }

    std::printf("PostgreSQL on %s, %zu records, best of %d:\n", server.c_str(), values.size(),
                repetitions);
    Report("Summarize, progress hidden", hidden);
    Report("two plain libpq cursor walks", plain);
    ReportRatio("ratio hidden / plain", hidden, plain, kPgTarget);

    if (batchSweep) {
        std::printf("  plain walks by FETCH size:\n");
        for (int batch : {100, 1000, 5000, 10000, 20000, 50000, 100000}) {
            Samples walks;
            for (int r = 0; r < repetitions; ++r)
                walks.Add(PlainPgScans(db, batch));
            std::printf("    %6d rows  %8.3f s\n", batch, walks.Best());
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const auto app = HeadlessApplication(argc, argv);

    std::string pgUri = std::getenv("ZELSTATS_TEST_PG") ? std::getenv("ZELSTATS_TEST_PG") : "";
    int records = 1000000;
    int repetitions = 5;
    bool batchSweep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pg" && i + 1 < argc)
            pgUri = argv[++i];
        else if (arg == "--records" && i + 1 < argc)
            records = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--repetitions" && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--batch-sweep")
            batchSweep = true;
        else {
            std::fprintf(stderr, "usage: %s [--pg URI] [--records N] [--repetitions N] "
                                 "[--batch-sweep]\n", argv[0]);
            return 2;
        }
    }

    try {
        const std::vector<double> values = MakeValues(records);
        RunSqlite(values, repetitions);
        if (pgUri.empty())
            std::printf("PostgreSQL: skipped, ZELSTATS_TEST_PG is not set and no --pg URI "
                        "was given (scripts/with-postgres.sh starts a server)\n");
        else
            RunPostgres(pgUri, values, repetitions, batchSweep);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelstats_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
