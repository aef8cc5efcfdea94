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
#include "bench/Headless.h"
#include "bench/PgBench.h"
#include "zelstats/components/ZelTable.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zel;
using namespace zel::bench;

namespace {

// The server's aggregates against the walks that bring every record to the client.
constexpr double kOnServerTarget = 5.0;
// The streaming summary against two plain walks, once it reads the records once.
constexpr double kStreamingTarget = 0.65;
constexpr int kBatchRows = 10000; // the driver's batch for narrow rows (data/PgDriver.cpp)

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
        plain.Add(PlainPgScans(db, kBatchRows));
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
    ReportRatio("streaming / two plain walks", streaming, plain, kStreamingTarget);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const auto app = HeadlessApplication(argc, argv);

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
