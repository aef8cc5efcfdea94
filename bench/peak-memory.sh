#!/usr/bin/env bash
# Peak memory of `zelstat summary` on 100,000 and on 10,000,000 records, measured in one run:
# a walk holds one record at a time, and the values a load keeps for the passes after it take
# at most the spool's memory budget (64 MiB), the rest going to a temporary file. So the two
# should differ by no more than the budget and a few MB, and by a few MB with --spool-memory 0.
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

peak_kb() { # FILE [OPTION...]
    local file=$1
    shift
    /usr/bin/time -f '%M' "$zelstat" summary --db "$file" --table T --field X "$@" 2>&1 >/dev/null |
        tail -n 1
}

make_table "$work/small.db" 100000
make_table "$work/large.db" 10000000
small=$(peak_kb "$work/small.db")
large=$(peak_kb "$work/large.db")
unspooled=$(peak_kb "$work/large.db" --spool-memory 0)
echo "peak memory of zelstat summary:"
echo "  100,000 records      $((small / 1024)) MB"
echo "  10,000,000 records   $((large / 1024)) MB"
echo "  difference           $(((large - small) / 1024)) MB"
echo "  10,000,000 records with --spool-memory 0   $((unspooled / 1024)) MB"
