#!/usr/bin/env bash
# Installs what is missing, builds, and passes every test: once as a normal build and once
# under AddressSanitizer and UndefinedBehaviorSanitizer, each against SQLite, MariaDB, a
# throwaway PostgreSQL server and a sharded PostgreSQL setup (a coordinator and two shards);
# then the statistics, describe, SQLite, component and asynchronous suites once more under
# ThreadSanitizer, against the same servers;
# then installs the package and builds the example application and the consumers of
# scripts/check-consumer.sh against it. Every leg turns compiler warnings into errors.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

source scripts/common.sh
export QT_QPA_PLATFORM=offscreen

jobs=$(nproc)

configure() {
    local build=$1
    shift
    cmake -S . -B "$build" -G Ninja -DZELSTATS_WARNINGS_AS_ERRORS=ON "$@"
}

run_suite() {
    local build=$1
    shift
    configure "$build" "$@"
    cmake --build "$build" -j "$jobs"
    # with-mariadb.sh, with-postgres.sh and with-pg-shards.sh start their servers, run ctest and
    # stop the servers, also on failure. The server-summary suite and zelstat's cancel on
    # signals use the sharded setup; the other suites ignore it.
    bash scripts/with-mariadb.sh bash scripts/with-postgres.sh bash scripts/with-pg-shards.sh \
        ctest --test-dir "$build" --output-on-failure -j "$jobs"
}

echo "== Tests"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELSTATS_BENCH=OFF

echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
# LeakSanitizer is on, told only of the process-lifetime caches of Qt's D-Bus connection and of
# fontconfig (scripts/lsan.supp).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$root/scripts/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZELSTATS_SANITIZE=address -DZELSTATS_BENCH=OFF
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS

echo "== Tests under ThreadSanitizer"
# The suites that run work on more than one thread: the statistics (a writer during a summary,
# cancelling), the describe (its worker threads), the SQLite backend and the components (made,
# summarised and freed on two threads at once) and the asynchronous summaries and their cancel on
# every backend. The window suites stay out: windows live on the window thread by design. No
# report is suppressed.
tsan_tests=(ZelStatsTest DescribeTest SqliteDriverTest ComponentThreadsTest ComponentLifetime AsyncRunTest)
configure build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELSTATS_SANITIZE=thread -DZELSTATS_BENCH=OFF
cmake --build build-tsan -j "$jobs" --target "${tsan_tests[@]}"
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
# Every test is labelled with its program (tests/CMakeLists.txt).
tsan_labels=$(IFS='|'; echo "^(${tsan_tests[*]})\$")
bash scripts/with-mariadb.sh bash scripts/with-postgres.sh bash scripts/with-pg-shards.sh \
    ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L "$tsan_labels"
unset TSAN_OPTIONS

echo "== The installed package"
bash scripts/check-install.sh build

echo "All tests passed."
