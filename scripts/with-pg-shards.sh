#!/usr/bin/env bash
# with-pg-shards.sh CMD ARGS...
#
# Runs CMD with a sharded PostgreSQL setup of three throwaway clusters on loopback ports, all
# from the same installation as with-postgres.sh's server:
#   ZELSTATS_TEST_PG_SHARDED   the coordinator, as the test role;
#   ZELSTATS_TEST_PG_SHARDS    the two shards, separated by a space.
# On the coordinator, postgres_fdw reaches the shards as the foreign servers shard1 and shard2
# (async_capable, so that the branches of one statement run on both shards at once), with user
# mappings for the test role, and the test role may create foreign tables on them. Two tables
# of (id bigint, x float8, k integer) are made ready, both empty:
#   sharded   hash-partitioned on id into the foreign tables sharded_p0 (on shard1) and
#             sharded_p1 (on shard2), over each shard's table sharded_part;
#   ranged    a local table range-partitioned on id: ranged_low (below 0), ranged_mid (0 to
#             1,000,000, itself hash-partitioned into ranged_mid0 and ranged_mid1) and
#             ranged_rest, the default partition.
# The test role may also create tables and views of its own in the public schema of each
# cluster, so that a test can build a sharded table that no other test touches.
# Everything is stopped and removed when CMD ends, also when it fails; the script exits with
# CMD's status. Without the server binaries, CMD runs without the variables.
set -uo pipefail

if [[ $# -eq 0 ]]; then
    echo "usage: $0 CMD [ARGS...]" >&2
    exit 2
fi

source "$(dirname "${BASH_SOURCE[0]}")/pg-cluster.sh"
if ! pg_cluster_tools with-pg-shards; then
    echo "with-pg-shards: running without sharded PostgreSQL servers" >&2
    unset ZELSTATS_TEST_PG_SHARDED ZELSTATS_TEST_PG_SHARDS
    exec "$@"
fi
pg_start_cluster COORD || exit 1
pg_start_cluster SHARD1 || exit 1
pg_start_cluster SHARD2 || exit 1
for cluster in COORD SHARD1 SHARD2; do
    pg_psql "$cluster" -c "GRANT CREATE ON SCHEMA public TO $pg_role" || exit 1
done

table="(id bigint, x float8, k integer)"
for shard in SHARD1 SHARD2; do
    pg_psql "$shard" -c "CREATE TABLE sharded_part $table" \
        -c "ALTER TABLE sharded_part OWNER TO $pg_role" || exit 1
done

servers=""
for n in 1 2; do
    port=SHARD${n}_PORT
    servers+="CREATE SERVER shard$n FOREIGN DATA WRAPPER postgres_fdw
                  OPTIONS (host '127.0.0.1', port '${!port}', dbname 'postgres',
                           async_capable 'true');
              GRANT USAGE ON FOREIGN SERVER shard$n TO $pg_role;
              CREATE USER MAPPING FOR $pg_role SERVER shard$n
                  OPTIONS (user '$pg_role', password '$pg_password');"
done
pg_psql COORD -c "CREATE EXTENSION postgres_fdw" -c "$servers" -c "
    CREATE TABLE sharded $table PARTITION BY HASH (id);
    CREATE FOREIGN TABLE sharded_p0 PARTITION OF sharded FOR VALUES WITH (MODULUS 2, REMAINDER 0)
        SERVER shard1 OPTIONS (table_name 'sharded_part');
    CREATE FOREIGN TABLE sharded_p1 PARTITION OF sharded FOR VALUES WITH (MODULUS 2, REMAINDER 1)
        SERVER shard2 OPTIONS (table_name 'sharded_part');
    CREATE TABLE ranged $table PARTITION BY RANGE (id);
    CREATE TABLE ranged_low PARTITION OF ranged FOR VALUES FROM (MINVALUE) TO (0);
    CREATE TABLE ranged_mid PARTITION OF ranged FOR VALUES FROM (0) TO (1000000)
        PARTITION BY HASH (id);
    CREATE TABLE ranged_mid0 PARTITION OF ranged_mid FOR VALUES WITH (MODULUS 2, REMAINDER 0);
    CREATE TABLE ranged_mid1 PARTITION OF ranged_mid FOR VALUES WITH (MODULUS 2, REMAINDER 1);
    CREATE TABLE ranged_rest PARTITION OF ranged DEFAULT;
    ALTER TABLE sharded OWNER TO $pg_role;
    ALTER TABLE sharded_p0 OWNER TO $pg_role;
    ALTER TABLE sharded_p1 OWNER TO $pg_role;
    ALTER TABLE ranged OWNER TO $pg_role;
    ALTER TABLE ranged_low OWNER TO $pg_role;
    ALTER TABLE ranged_mid OWNER TO $pg_role;
    ALTER TABLE ranged_mid0 OWNER TO $pg_role;
    ALTER TABLE ranged_mid1 OWNER TO $pg_role;
    ALTER TABLE ranged_rest OWNER TO $pg_role;" || exit 1

export ZELSTATS_TEST_PG_SHARDED=$COORD_URI
export ZELSTATS_TEST_PG_SHARDS="$SHARD1_URI $SHARD2_URI"
echo "with-pg-shards: a coordinator on 127.0.0.1:$COORD_PORT with shards on" \
     "127.0.0.1:$SHARD1_PORT and 127.0.0.1:$SHARD2_PORT" >&2
pg_run "$@"
