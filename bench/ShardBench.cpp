// zelstats_shard_bench: server summaries of a sharded PostgreSQL table and of a local
// partitioned one, on the setup of scripts/with-pg-shards.sh (bench/shards.sh runs it there).
//
// On the sharded parent (two foreign partitions, one per shard) it sets the summary computed
// on the server with one statement per partition beside the streaming summary through the
// coordinator and beside the same server summary written over the parent alone, and counts
// the bytes the client receives for the whole server summary through a relay. On the local
// range-partitioned table it sets the per-partition statements beside the statements over the
// parent. Each measure is a summary as zelstat runs it: open the table, summarise. The sides
// run a few times, interleaved, so that noise on the machine touches all alike; the best
// times are compared, the medians shown beside them.
//
//   zelstats_shard_bench [--records N] [--repetitions N]
//
// N records on each shard (default 1,000,000), twice N in the local table. It runs when
// ZELSTATS_TEST_PG_SHARDED and ZELSTATS_TEST_PG_SHARDS name the coordinator and its shards.
#include "bench/CountingProxy.h"
#include "bench/Headless.h"
#include "bench/PgBench.h"
#include "zelstats/components/ZelTable.h"
#include "zelstats/data/Driver.h"


#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace zel;
using namespace zel::bench;

namespace {

// The summary computed on the shards against every record brought through the coordinator.
constexpr double kStreamingTarget = 5.0;
// One statement per partition against the same aggregates over the parent, whose rows all
// cross to the coordinator.
constexpr double kOverParentTarget = 8.0;
// What the client may receive for a whole server summary.
constexpr double kBytesTarget = 1 << 20;
// The per-partition statements against those over the parent on a local partitioned table.
constexpr double kLocalTarget = 1.1;

// x about normal around 100 (Box and Muller's transform of two uniform deviates), 1 % NULL.
const char* const kValues =
    "CASE WHEN random() < 0.01 THEN NULL ELSE 100 + 15 * sqrt(-2 * ln(1 - random())) "
    "* cos(2 * pi() * random()) END";

// Each shard's table gets its own range of keys, loaded on the shard itself.
void LoadShards(const std::vector<std::string>& shards, long records)
{
    for (std::size_t n = 0; n < shards.size(); ++n) {
        PgConn shard(shards[n]);
        if (!shard.Ok())
            throw std::runtime_error("cannot connect to shard " + std::to_string(n + 1) + ": "
                                     + shard.Error());
        const long first = static_cast<long>(n) * records + 1;
        shard.Exec("TRUNCATE sharded_part");
        shard.Exec("SELECT setseed(0." + std::to_string(29 + n) + ")");
        shard.Exec("INSERT INTO sharded_part SELECT g, " + std::string(kValues) + ", g % 100 "
                   "FROM generate_series(" + std::to_string(first) + ", "
                   + std::to_string(first + records - 1) + ") AS g");
        shard.Exec("VACUUM ANALYZE sharded_part");
    }
}

// Keys from -records/2 up, so that every partition of ranged (below 0, the two halves of 0 to
// 1,000,000, the default) holds some.
void LoadRanged(const PgConn& coordinator, long records)
{
    coordinator.Exec("TRUNCATE ranged");
    coordinator.Exec("SELECT setseed(0.31)");
    coordinator.Exec("INSERT INTO ranged SELECT g, " + std::string(kValues) + ", g % 100 "
                     "FROM generate_series(" + std::to_string(-records / 2) + ", "
                     + std::to_string(2 * records - records / 2 - 1) + ") AS g");
    coordinator.Exec("VACUUM ANALYZE ranged");
}

// The URI with its port replaced by `port`.
std::string WithPort(const std::string& uri, int port)
{
    const std::size_t scheme = uri.find("://");
    const std::size_t authorityEnd = std::min(uri.find_first_of("/?", scheme + 3), uri.size());
    const std::size_t colon = uri.rfind(':', authorityEnd);
    if (colon == std::string::npos || colon < uri.find('@', scheme))
        throw std::runtime_error("the coordinator's URI names no port");
    return uri.substr(0, colon + 1) + std::to_string(port) + uri.substr(authorityEnd);
}

struct Summary {
    double seconds = 0.0;
    double variance = 0.0;
};

// A summary as zelstat runs it: open the table, summarise.
Summary Summarize(const std::string& uri, const char* table, bool onServer, bool perPartition)
{
    SetPgPartitionStatements(perPartition);
    Summary summary;
    summary.seconds = Seconds([&] {
        TRivuReviTable t;
        t.SetDatabaseName(uri);
        t.SetTableName(table);
        t.SetStatFieldName("x");
        t.SetShowCalcProgress(TBoolPlus::Never);
        t.SetComputeOnServer(onServer);
        t.Open();
        t.Summarize();
        summary.variance = t.GetdsVariance();
    });
    SetPgPartitionStatements(true);
    return summary;
}

// The two ways agree, or the times mean nothing.
void ReportAgreement(const char* what, const Summary& a, const Summary& b)
{
    std::printf("  %-40s %.1e\n", what, std::fabs(a.variance - b.variance) / std::fabs(b.variance));
}

// Runs each of `runs` once per repetition, the first of a repetition the next one each time,
// so that no way is always the one that follows the load or another way's pass over the data.
void Rotated(int repetitions, const std::vector<std::function<void()>>& runs)
{
    for (int r = 0; r < repetitions; ++r)
        for (std::size_t i = 0; i < runs.size(); ++i)
            runs[(static_cast<std::size_t>(r) + i) % runs.size()]();
}

// One way of summarising `table`, for Rotated: each run adds its time to `times` and leaves
// its summary in `last`.
std::function<void()> Way(const std::string& uri, const char* table, bool onServer,
                          bool perPartition, Summary& last, Samples& times)
{
    return [=, &uri, &last, &times] {
        last = Summarize(uri, table, onServer, perPartition);
        times.Add(last.seconds);
    };
}

void BenchSharded(const std::string& uri, int port, int repetitions)
{
    Samples perPartition, streaming, overParent;
    Summary server, client, parent;
    Rotated(repetitions, {Way(uri, "sharded", true, true, server, perPartition),
                          Way(uri, "sharded", false, true, client, streaming),
                          Way(uri, "sharded", true, false, parent, overParent)});
    CountingProxy proxy(port);
    Summarize(WithPort(uri, proxy.Port()), "sharded", true, true);
    const double bytes = static_cast<double>(proxy.ServerBytes());

    ReportAgreement("variance, on-server against streaming", server, client);
    ReportAgreement("variance, per partition against parent", server, parent);
    Report("--on-server, per partition", perPartition);
    Report("streaming through the coordinator", streaming);
    Report("--on-server over the parent", overParent);
    ReportSpeedup("streaming / on-server", streaming, perPartition, kStreamingTarget);
    ReportSpeedup("over the parent / per partition", overParent, perPartition, kOverParentTarget);
    std::printf("  %-40s %8.0f  (target below %.0f: %s)\n", "bytes received, whole on-server",
                bytes, kBytesTarget, bytes < kBytesTarget ? "met" : "MISSED");
}

void BenchRanged(const std::string& uri, int repetitions)
{
    Samples perPartition, overParent;
    Summary partitions, parent;
    Rotated(repetitions, {Way(uri, "ranged", true, true, partitions, perPartition),
                          Way(uri, "ranged", true, false, parent, overParent)});
    // Its partitions are all local: the partition-aware summary keeps the statements over the
    // parent, and this shows that nothing else it does (the catalogue, the walk's order) costs.
    ReportAgreement("variance, partition-aware against parent", partitions, parent);
    Report("--on-server, partition-aware", perPartition);
    Report("--on-server over the parent", overParent);
    ReportRatio("partition-aware / over the parent", perPartition, overParent, kLocalTarget);
}

int Run(const std::string& uri, const std::vector<std::string>& shards, long records,
        int repetitions)
{
    PgConn coordinator(uri);
    if (!coordinator.Ok()) {
        std::printf("sharded PostgreSQL: skipped, the coordinator is unreachable: %s\n",
                    coordinator.Error().c_str());
        return 0;
    }
    const double loaded = Seconds([&] {
        LoadShards(shards, records);
        // The coordinator's statistics of its foreign partitions, as an administrator keeps
        // them: the planner weighs shipping an aggregate against fetching the rows.
        coordinator.Exec("ANALYZE sharded");
        LoadRanged(coordinator, records);
    });
    std::printf("Sharded table on the coordinator %s:%s, %zu shards of %ld records (x about "
                "normal, 1 %% NULL), loaded in %.1f s; best of %d:\n",
                PQhost(coordinator.conn), PQport(coordinator.conn), shards.size(), records,
                loaded, repetitions);
    BenchSharded(uri, std::atoi(PQport(coordinator.conn)), repetitions);
    std::printf("Local range-partitioned table of %ld records in four leaf partitions, best of "
                "%d:\n", 2 * records, repetitions);
    BenchRanged(uri, repetitions);
    return 0;
}

std::vector<std::string> Words(const char* text)
{
    std::istringstream in(text != nullptr ? text : "");
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

} // namespace

int main(int argc, char** argv)
{
    const auto app = HeadlessApplication(argc, argv);

    long records = 1000000;
    int repetitions = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--records" && i + 1 < argc)
            records = std::max(1L, std::atol(argv[++i]));
        else if (arg == "--repetitions" && i + 1 < argc)
            repetitions = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--records N] [--repetitions N]\n", argv[0]);
            return 2;
        }
    }
    const char* uri = std::getenv("ZELSTATS_TEST_PG_SHARDED");
    const std::vector<std::string> shards = Words(std::getenv("ZELSTATS_TEST_PG_SHARDS"));
    if (uri == nullptr || *uri == '\0' || shards.empty()) {
        std::printf("sharded PostgreSQL: skipped, ZELSTATS_TEST_PG_SHARDED is not set "
                    "(bench/shards.sh runs this program with the sharded servers)\n");
        return 0;
    }
    try {
        return Run(uri, shards, records, repetitions);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zelstats_shard_bench: %s\n", e.what());
        return 1;
    }
}
