#!/usr/bin/env bash
# Server summaries on a sharded PostgreSQL setup: a coordinator and two shards started by
# scripts/with-pg-shards.sh from the same installation as the tests' server, each shard's table
# loaded with RECORDS rows on the shard itself, and a local range-partitioned table of twice as
# many. Prints, side by side in one run: --on-server against the streaming summary through the
# coordinator and against the same server summary over the parent; the bytes the client
# receives for the whole --on-server summary; and, on the local table, the per-partition
# statements against those over the parent. The servers stop at the end, also on failure.
#
#     bench/shards.sh [BUILD_DIR] [RECORDS] [RUNS]    (defaults: build 1000000 3)
#
# The build must have the benchmarks on (-DZELSTATS_BENCH=ON).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
records=${2:-1000000}
runs=${3:-3}
bench=$build/bench/zelstats_shard_bench

if [[ ! -x $bench ]]; then
    echo "shards.sh: $bench not found (build with -DZELSTATS_BENCH=ON)" >&2
    exit 1
fi
exec bash "$root/scripts/with-pg-shards.sh" "$bench" --records "$records" --repetitions "$runs"
