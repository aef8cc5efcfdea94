// What the compensated total costs: a plain running sum and the compensated one over the same
// ten million values in memory, side by side, and both against one SQLite walk of the same
// values as a summary's load reads them. Prints the ratios.
#include "zelstats/stats/CompensatedSum.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double Seconds(F&& f)
{
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

volatile double sink;

} // namespace

int main()
{
    const int n = 10'000'000;
    std::vector<double> values(n);
    for (std::int64_t i = 0; i < n; ++i)
        values[i] = 1'700'000'000'000.0 + double(i * 7919 % 10007) * 0.5;

    const std::string path = "/tmp/zelstats-sumbench.db";
    std::remove(path.c_str());
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "CREATE TABLE T (X DOUBLE PRECISION); WITH RECURSIVE c(i) AS (SELECT 0 "
                     "UNION ALL SELECT i + 1 FROM c WHERE i < 9999999) INSERT INTO T SELECT "
                     "1700000000000.0 + (i * 7919 % 10007) * 0.5 FROM c;",
                 nullptr, nullptr, nullptr);

    double plain = 1e9, compensated = 1e9, walk = 1e9;
    for (int round = 0; round < 5; ++round) {
        plain = std::min(plain, Seconds([&] {
            double s = 0;
            for (double x : values)
                s += x;
            sink = s;
        }));
        compensated = std::min(compensated, Seconds([&] {
            zel::CompensatedSum s;
            for (double x : values)
                s.Add(x);
            sink = s.Total();
        }));
        walk = std::min(walk, Seconds([&] {
            sqlite3_stmt* stmt = nullptr;
            sqlite3_prepare_v2(db, "SELECT X FROM T", -1, &stmt, nullptr);
            double s = 0;
            while (sqlite3_step(stmt) == SQLITE_ROW)
                s += sqlite3_column_double(stmt, 0);
            sqlite3_finalize(stmt);
            sink = s;
        }));
    }
    sqlite3_close(db);
    std::remove(path.c_str());
    std::printf("10,000,000 values, best of 5:\n");
    std::printf("  plain sum           %8.1f ms\n", plain * 1e3);
    std::printf("  compensated sum     %8.1f ms   (%.2f x plain)\n", compensated * 1e3,
                compensated / plain);
    std::printf("  SQLite walk         %8.1f ms\n", walk * 1e3);
    std::printf("  compensation's extra cost: %.1f %% of one SQLite walk\n",
                (compensated - plain) / walk * 100.0);
    return 0;
}
