#!/usr/bin/env bash
# Peak memory of `zelstat summary` over a mariadb:// URL on 100,000 and on 10,000,000 records,
# measured in one run: the backend reads a server-side cursor in batches, so the two should
# differ by no more than a few MB. (Qt's own QMYSQL result would hold every record.)
#
#     bash scripts/with-mariadb.sh bench/peak-memory-mariadb.sh [BUILD_DIR]   (default: build)
set -euo pipefail

if [[ -z "${ZELSTATS_TEST_MYSQL:-}" ]]; then
    echo "peak-memory-mariadb: ZELSTATS_TEST_MYSQL is not set; run it through" \
         "scripts/with-mariadb.sh" >&2
    exit 1
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
zelstat=$build/app/zelstat

# The server URL with another database in its path (user, host, port and parameters stay).
base=${ZELSTATS_TEST_MYSQL%%\?*}
base=${base%/*}
database=zelstats_memory_$$
url="$base/$database"

sql() { # STATEMENTS, run with the mariadb command-line client
    local rest=${ZELSTATS_TEST_MYSQL#*://}
    local user=${rest%%:*}
    local password=${rest#*:}
    password=${password%%@*}
    local hostport=${rest#*@}
    hostport=${hostport%%/*}
    MYSQL_PWD=$password mariadb --no-defaults -h "${hostport%:*}" -P "${hostport##*:}" \
        -u "$user" -e "$1"
}
trap 'sql "DROP DATABASE IF EXISTS $database" || true' EXIT

# The sequence engine's seq_1_to_N tables belong to the current database.
sql "CREATE DATABASE $database; USE $database;
     CREATE TABLE S (ID INTEGER, X DOUBLE);
     CREATE TABLE L (ID INTEGER, X DOUBLE);
     INSERT INTO S SELECT seq, CASE WHEN seq % 97 = 0 THEN NULL
         ELSE (seq * 7919 % 10007) * 0.5 END FROM seq_1_to_100000;
     INSERT INTO L SELECT seq, CASE WHEN seq % 97 = 0 THEN NULL
         ELSE (seq * 7919 % 10007) * 0.5 END FROM seq_1_to_10000000;"

peak_kb() { # TABLE
    /usr/bin/time -f '%M' "$zelstat" summary --db "$url" --table "$1" --field X 2>&1 >/dev/null \
        | tail -n 1
}

small=$(peak_kb S)
large=$(peak_kb L)
echo "peak memory of zelstat summary over MariaDB:"
echo "  100,000 records      $((small / 1024)) MB"
echo "  10,000,000 records   $((large / 1024)) MB"
echo "  difference           $(((large - small) / 1024)) MB"
