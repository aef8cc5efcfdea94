#!/usr/bin/env bash
# Start-up cost of the command line: `zelstat summary` on a three-row table, as a user runs it,
# beside `true` as the floor of starting any process. Prints the median of each over many runs,
# interleaved, and their difference.
#
#     bench/startup.sh [BUILD_DIR] [RUNS]      (defaults: build, 200)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-200}
zelstat=$build/app/zelstat
work=$(mktemp -d /tmp/zelstats-startup.XXXXXX)
trap 'rm -rf "$work"' EXIT

sqlite3 "$work/three.db" "CREATE TABLE T (X DOUBLE PRECISION); INSERT INTO T VALUES (1), (2), (6);"

# Nanoseconds one command takes, output discarded.
time_ns() {
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null 2>&1
    end=$(date +%s%N)
    echo $((end - start))
}

: > "$work/zelstat"; : > "$work/true"
for ((i = 0; i < runs; i++)); do
    time_ns "$zelstat" summary --db "$work/three.db" --table T --field X >> "$work/zelstat"
    time_ns /bin/true >> "$work/true"
done
median_ms() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] / 1e6 }'; }
z=$(median_ms "$work/zelstat")
t=$(median_ms "$work/true")
echo "start-up, median of $runs runs:"
echo "  zelstat summary, three rows   $z ms"
echo "  /bin/true                     $t ms"
echo "  zelstat less /bin/true        $(awk -v z="$z" -v t="$t" 'BEGIN { printf "%.2f", z - t }') ms"
