// zelstats_server_bench: a summary computed by the PostgreSQL server against the streaming
// summary, and the streaming summary against two plain cursor walks of the same column.
//
// The table has four columns (a bigint key, the analysed float8 x, about normal around 100
// with 1 % NULL, another float8 and a short text), built on the server itself so that the
// build costs no transfer. Each side runs a few times, interleaved, so that noise on the
// machine touches all alike; the best times are compared, the medians shown beside them.
//
//   zelstats_server_bench [--pg URI] [--records N] [--repetitions N]
//
// It runs when --pg or ZELSTATS_TEST_PG names a server on which the user may create a
// database (scripts/with-postgres.sh starts one).
#include "components/ZelTable.h"
#include "platform/Dialogs.h"

#include <QApplication>
#include <QDialog>
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zel;

namespace {

// The server's aggregates against the walks that bring every record to the client.
constexpr double kOnServerTarget = 5.0;
// The streaming summary against two plain walks, once it reads the records once.
constexpr double kStreamingTarget = 0.65;
constexpr int kBatchRows = 10000; // the driver's batch for narrow rows (platform/PgDriver.cpp)

volatile double sink = 0.0;

double Seconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Samples {
public:
    void Add(double seconds) { seconds_.push_back(seconds); }
    double Best() const { return *std::min_element(seconds_.begin(), seconds_.end()); }
    double Median() const
    {
        std::vector<double> sorted = seconds_;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t middle = sorted.size() / 2;
        return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }

private:
    std::vector<double> seconds_;
};

void Report(const char* what, const Samples& times)
{
    std::printf("  %-36s %8.3f s  (median %.3f s)\n", what, times.Best(), times.Median());
}

// How many times faster `fast` is than `slow`, against a target of at least that much.
void ReportSpeedup(const char* what, const Samples& slow, const Samples& fast, double target)
{
    const double ratio = slow.Best() / fast.Best();
    std::printf("  %-36s %8.2f  (target at least %.2f: %s; ratio of medians %.2f)\n", what, ratio,
                target, ratio >= target ? "met" : "MISSED", slow.Median() / fast.Median());
}

// The time of `slow` as a share of `plain`, against a target of at most that much.
void ReportShare(const char* what, const Samples& slow, const Samples& plain, double target)
{
    const double ratio = slow.Best() / plain.Best();
    std::printf("  %-36s %8.2f  (target at most %.2f: %s; ratio of medians %.2f)\n", what, ratio,
                target, ratio <= target ? "met" : "not yet", slow.Median() / plain.Median());
}

struct PgConn {
    PGconn* conn = nullptr;
    explicit PgConn(const std::string& uri)
    {
        const char* keywords[] = {"connect_timeout", "dbname", nullptr};
        const char* values[] = {"10", uri.c_str(), nullptr};
        conn = PQconnectdbParams(keywords, values, 1);
        PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
    }
    ~PgConn() { PQfinish(conn); }
    PgConn(const PgConn&) = delete;
    PgConn& operator=(const PgConn&) = delete;
    bool Ok() const { return PQstatus(conn) == CONNECTION_OK; }
    std::string Error() const
    {
        std::string text = PQerrorMessage(conn);
        std::replace(text.begin(), text.end(), '\n', ' ');
        return text;
    }
    void Exec(const std::string& sql) const
    {
        PGresult* result = PQexec(conn, sql.c_str());
        const ExecStatusType status = PQresultStatus(result);
        PQclear(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
            throw std::runtime_error(sql + ": " + Error());
    }
};

std::string WithDatabase(const std::string& uri, const std::string& database)
{
    const std::size_t scheme = uri.find("://");
    const std::size_t authorityEnd = std::min(uri.find_first_of("/?", scheme + 3), uri.size());
    const std::size_t query = uri.find('?', authorityEnd);
    return uri.substr(0, authorityEnd) + "/" + database
           + (query == std::string::npos ? "" : uri.substr(query));
}

void BuildTable(const PgConn& db, long records)
{
    db.Exec("CREATE TABLE vals (id bigint, x double precision, y double precision, label text)");
    db.Exec("SELECT setseed(0.29)");
    // x by Box and Muller's transform of two uniform deviates; 1 % of the records NULL.
    db.Exec("INSERT INTO vals SELECT g, CASE WHEN random() < 0.01 THEN NULL ELSE 100 + 15 * "
            "sqrt(-2 * ln(1 - random())) * cos(2 * pi() * random()) END, random() * 1000, "
            "'r' || (g % 1000) FROM generate_series(1, "
            + std::to_string(records) + ") AS g");
    // Hint bits and the visibility map are set now rather than by the first timed walk.
    db.Exec("VACUUM ANALYZE vals");
}

// Two walks over the column through a cursor fetched in batches, as the driver walks.
double PlainScans(const PgConn& db)
{
    const std::string fetch = "FETCH " + std::to_string(kBatchRows) + " FROM c";
    return Seconds([&] {
        for (int pass = 0; pass < 2; ++pass) {
            db.Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
            db.Exec("DECLARE c NO SCROLL CURSOR FOR SELECT x FROM vals");
            double sum = 0.0;
            for (;;) {
                PGresult* rows = PQexec(db.conn, fetch.c_str());
                if (PQresultStatus(rows) != PGRES_TUPLES_OK) {
                    PQclear(rows);
                    throw std::runtime_error("FETCH: " + db.Error());
                }
                const int n = PQntuples(rows);
                for (int i = 0; i < n; ++i) {
                    if (PQgetisnull(rows, i, 0))
                        continue;
                    const char* text = PQgetvalue(rows, i, 0);
                    double x = 0.0;
                    std::from_chars(text, text + PQgetlength(rows, i, 0), x);
                    sum += x;
                }
                PQclear(rows);
                if (n < kBatchRows)
                    break;
            }
            db.Exec("CLOSE c");
            db.Exec("COMMIT");
            sink = sink + sum;
        }
    });
}

double TimeSummarize(TRivuReviTable& component)
{
    const double seconds = Seconds([&] { component.Summarize(); });
    sink = sink + component.GetdsMean();
    return seconds;
}

int Run(const std::string& uri, long records, int repetitions)
{
    PgConn admin(uri);
    if (!admin.Ok()) {
        std::printf("PostgreSQL: skipped, the server is unreachable: %s\n", admin.Error().c_str());
        return 0;
    }
    const std::string name = "zelstats_server_bench_" + std::to_string(getpid());
    admin.Exec("CREATE DATABASE " + name);
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
    const double built = Seconds([&] { BuildTable(db, records); });
    std::printf("PostgreSQL on %s:%s, %ld records of four columns (x about normal, 1 %% NULL), "
                "built in %.1f s; best of %d:\n",
                PQhost(admin.conn), PQport(admin.conn), records, built, repetitions);

    Samples onServer, streaming, plain;
    auto component = [&](bool server) {
        auto c = std::make_unique<TRivuReviTable>();
        c->SetDatabaseName(dbUri);
        c->SetTableName("vals");
        c->SetStatFieldName("x");
        c->SetShowCalcProgress(TBoolPlus::Never);
        c->SetComputeOnServer(server);
        c->Open();
        return c;
    };
    auto server = component(true);
    auto client = component(false);
    for (int r = 0; r < repetitions; ++r) {
        onServer.Add(TimeSummarize(*server));
        streaming.Add(TimeSummarize(*client));
        plain.Add(PlainScans(db));
    }
    // The two ways agree, or the times mean nothing.
    const double relative = std::fabs(server->GetdsVariance() - client->GetdsVariance())
                            / std::fabs(client->GetdsVariance());
    std::printf("  variance on the server %.17g, streaming %.17g (relative difference %.1e)\n",
                server->GetdsVariance(), client->GetdsVariance(), relative);
    Report("Summarize --on-server", onServer);
    Report("Summarize, streaming", streaming);
    Report("two plain libpq cursor walks", plain);
    ReportSpeedup("streaming / on-server", streaming, onServer, kOnServerTarget);
    ReportShare("streaming / two plain walks", streaming, plain, kStreamingTarget);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SetMessageHandler([](const MessageRequest& request) {
        return (request.buttons & mbYes) ? TModalResult::mrNo : TModalResult::mrOk;
    });
    SetModalHandler([](QDialog&) { return int(QDialog::Rejected); });

    std::string uri = std::getenv("ZELSTATS_TEST_PG") ? std::getenv("ZELSTATS_TEST_PG") : "";
    long records = 10000000;
    int repetitions = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--pg" && i + 1 < argc)
            uri = argv[++i];
        else if (arg == "--records" && i + 1 < argc)
            records = std::max(1L, std::atol(argv[++i]));
        else if (arg == "--repetitions" && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--pg URI] [--records N] [--repetitions N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (uri.empty()) {
        std::printf("PostgreSQL: skipped, ZELSTATS_TEST_PG is not set and no --pg URI was given "
                    "(scripts/with-postgres.sh starts a server)\n");
        return 0;
    }
    try {
        return Run(uri, records, repetitions);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelstats_server_bench: %s\n", e.what());
        return 1;
    }
}
