#!/usr/bin/env bash
# with-postgres.sh CMD ARGS...
#
# Runs CMD with ZELSTATS_TEST_PG naming a throwaway PostgreSQL 15 server: a fresh cluster in a
# temporary folder, listening on 127.0.0.1 only, with a password-protected test role that may
# create databases. The server is stopped and its folder removed when CMD ends, also when it
# fails; the script exits with CMD's status. Without the server binaries, CMD runs without the
# variable (the PostgreSQL tests then skip and say why).
set -uo pipefail

if [[ $# -eq 0 ]]; then
    echo "usage: $0 CMD [ARGS...]" >&2
    exit 2
fi

source "$(dirname "${BASH_SOURCE[0]}")/pg-cluster.sh"
if ! pg_cluster_tools with-postgres; then
    echo "with-postgres: running without a PostgreSQL server" >&2
    unset ZELSTATS_TEST_PG
    exec "$@"
fi
pg_start_cluster PG || exit 1

export ZELSTATS_TEST_PG=$PG_URI
echo "with-postgres: the PostgreSQL suite runs against a throwaway server on 127.0.0.1:$PG_PORT" >&2
pg_run "$@"
