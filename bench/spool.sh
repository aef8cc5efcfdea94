#!/usr/bin/env bash
# One read of the data source per summary: `zelstat summary` (the whole process: a load, then
# the moments pass over the spooled values) against two plain scans of the same column, on a
# four-column SQLite table of 10,000,000 records (x about normal, 1 % NULL).
#
# The plain scans are a small C program that reads the column twice with sqlite3_step, every
# value through sqlite3_column_double (NULLs skipped by their type), the least any program that
# reads the data twice must do. Runs are interleaved; medians are compared. Also compares
# --no-spool (two reads of the source) and --spool-memory 0 (every value in the file).
#
#     bench/spool.sh [BUILD_DIR] [RECORDS] [RUNS]    (defaults: build 10000000 5)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
records=${2:-10000000}
runs=${3:-5}
zelstat=$build/app/zelstat
work=$(mktemp -d /tmp/zelstats-spool.XXXXXX)
trap 'rm -rf "$work"' EXIT

# x: the sum of twelve uniform deviates less 6 is about standard normal (Irwin-Hall); every
# 100th record is NULL.
sqlite3 "$work/t.db" "CREATE TABLE T (ID INTEGER, X DOUBLE PRECISION, Y DOUBLE PRECISION,
                                      NAME VARCHAR(12));
    WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < $records)
    INSERT INTO T SELECT i,
        CASE WHEN i % 100 = 0 THEN NULL ELSE 50 + 10 * (
            (abs(random()) % 1000000 + abs(random()) % 1000000 + abs(random()) % 1000000
           + abs(random()) % 1000000 + abs(random()) % 1000000 + abs(random()) % 1000000
           + abs(random()) % 1000000 + abs(random()) % 1000000 + abs(random()) % 1000000
           + abs(random()) % 1000000 + abs(random()) % 1000000 + abs(random()) % 1000000)
            / 1000000.0 - 6) END,
        i * 0.25, 'name ' || (i % 1000) FROM c;"

cat >"$work/scan.c" <<'EOF'
#include <sqlite3.h>
#include <stdio.h>

/* Reads column X of table T twice, every value through sqlite3_column_double. */
int main(int argc, char** argv)
{
    sqlite3* db = NULL;
    sqlite3_stmt* stmt = NULL;
    if (argc != 2 || sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK
        || sqlite3_prepare_v2(db, "SELECT X FROM T", -1, &stmt, NULL) != SQLITE_OK)
        return 1;
    double sums[2] = {0, 0};
    for (int scan = 0; scan < 2; ++scan) {
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (sqlite3_column_type(stmt, 0) != SQLITE_NULL)
                sums[scan] += sqlite3_column_double(stmt, 0);
        }
        if (rc != SQLITE_DONE)
            return 1;
        sqlite3_reset(stmt);
    }
    printf("%.17g %.17g\n", sums[0], sums[1]);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return 0;
}
EOF
cc -O2 -o "$work/scan" "$work/scan.c" -lsqlite3

seconds() { # COMMAND...: wall-clock and processor (user + system) seconds of the whole process
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null 2>&1
    awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time"
}
median() { # COLUMN
    awk -v c="$1" '{ print $c }' | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

summary=(summary --db "$work/t.db" --table T --field X)
"$zelstat" "${summary[@]}" >/dev/null 2>&1 # warms the page cache like every later run
: >"$work/scan.t"; : >"$work/spool.t"; : >"$work/file.t"; : >"$work/nospool.t"
for ((run = 1; run <= runs; ++run)); do
    seconds "$work/scan" "$work/t.db" >>"$work/scan.t"
    seconds "$zelstat" "${summary[@]}" >>"$work/spool.t"
    seconds "$zelstat" "${summary[@]}" --spool-memory 0 >>"$work/file.t"
    seconds "$zelstat" "${summary[@]}" --no-spool >>"$work/nospool.t"
done

# On a machine shared with other work, wall-clock time also measures the others; processor
# time (user + system, both threads of the summary) is shown beside it.
scan=$(median 1 <"$work/scan.t")
scanCpu=$(median 2 <"$work/scan.t")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf 'records: %d, runs: %d (interleaved), medians of the whole process\n' "$records" "$runs"
printf '  %-40s wall %6.2f s           cpu %6.2f s\n' "two plain scans (sqlite3_step, C)" "$scan" "$scanCpu"
for kind in spool file nospool; do
    case $kind in
    spool) label="zelstat summary (spool, 64 MiB memory)" ;;
    file) label="zelstat summary --spool-memory 0" ;;
    nospool) label="zelstat summary --no-spool" ;;
    esac
    t=$(median 1 <"$work/$kind.t")
    cpu=$(median 2 <"$work/$kind.t")
    printf '  %-40s wall %6.2f s (%s x)  cpu %6.2f s (%s x)\n' "$label" "$t" "$(ratio "$t" "$scan")" \
        "$cpu" "$(ratio "$cpu" "$scanCpu")"
done
echo "  (x: times two plain scans)"
