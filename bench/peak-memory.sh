#!/usr/bin/env bash
# Peak memory of `zelstat summary` on 100,000 and on 10,000,000 records, measured in one run:
# a pass holds one record at a time, so the two should differ by no more than a few MB.
#
#     bench/peak-memory.sh [BUILD_DIR]      (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
zelstat=$build/app/zelstat
work=$(mktemp -d /tmp/zelstats-memory.XXXXXX)
trap 'rm -rf "$work"' EXIT

make_table() { # FILE RECORDS: about 1 % NULLs
    sqlite3 "$1" "CREATE TABLE T (ID INTEGER, X DOUBLE PRECISION);
        WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM c WHERE i < $2)
        INSERT INTO T SELECT i, CASE WHEN i % 97 = 0 THEN NULL
                                     ELSE (i * 7919 % 10007) * 0.5 END FROM c;"
}

peak_kb() { # FILE
    /usr/bin/time -f '%M' "$zelstat" summary --db "$1" --table T --field X 2>&1 >/dev/null | tail -n 1
}

make_table "$work/small.db" 100000
make_table "$work/large.db" 10000000
small=$(peak_kb "$work/small.db")
large=$(peak_kb "$work/large.db")
echo "peak memory of zelstat summary:"
echo "  100,000 records      $((small / 1024)) MB"
echo "  10,000,000 records   $((large / 1024)) MB"
echo "  difference           $(((large - small) / 1024)) MB"
