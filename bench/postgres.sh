#!/bin/sh
# postgres.sh: a throw-away PostgreSQL server for the postgres job of
# make bench, made the way the tests make theirs (tests/support/postgres.cpp):
# a fresh cluster in a temporary folder, listening only on a Unix socket in
# that folder (no TCP port), trusting local connections, run as the
# "postgres" account when we are root (the server refuses root). Sourced by
# bench/run.sh; run on its own it starts a server, prints its libpq
# connection string and waits for Enter to stop it:
#
#     sh bench/postgres.sh
#
# pg_start: starts the server; sets PG_DIR (the folder, also the socket's),
# PG_PORT, PG_USER and PG_CONNINFO. Returns 1 with PG_WHY set when no server
# can be started (no server programs, no account to run it as, initdb or the
# start failed).
# pg_stop: stops it and removes its folder.

pg_bin_dir() {
    newest=""
    for d in /usr/lib/postgresql/*/bin; do
        [ -x "$d/initdb" ] && newest=$d
    done
    if [ -z "$newest" ] && command -v initdb > /dev/null 2>&1; then
        newest=$(dirname "$(command -v initdb)")
    fi
    echo "$newest"
}

# pg_as COMMAND...: runs a server program as the account that owns the cluster
pg_as() {
    if [ "$(id -u)" -eq 0 ]; then
        su postgres -s /bin/sh -c '"$0" "$@"' -- "$@"
    else
        "$@"
    fi
}

pg_start() {
    PG_WHY=""
    PG_BIN=$(pg_bin_dir)
    if [ -z "$PG_BIN" ]; then
        PG_WHY="no PostgreSQL server programs (initdb, postgres) are installed"
        return 1
    fi
    if [ "$(id -u)" -eq 0 ] && ! id postgres > /dev/null 2>&1; then
        PG_WHY="running as root and there is no \"postgres\" account to run the server as"
        return 1
    fi
    PG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/quarn-bench-pg-XXXXXX")
    PG_PORT=5432
    PG_USER=quarn
    [ "$(id -u)" -eq 0 ] && chown postgres "$PG_DIR"
    if ! pg_as "$PG_BIN/initdb" -D "$PG_DIR/data" -U "$PG_USER" -A trust -E UTF8 --locale=C.UTF-8 --no-sync \
        > "$PG_DIR/initdb.log" 2>&1; then
        PG_WHY="initdb failed: $(tail -n 1 "$PG_DIR/initdb.log")"
        rm -rf "$PG_DIR"
        return 1
    fi
    if ! pg_as "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 60 \
        -o "-k $PG_DIR -p $PG_PORT -c listen_addresses= -c fsync=off -c full_page_writes=off -c synchronous_commit=off" \
        start > /dev/null 2>&1; then
        PG_WHY="the server did not start: $(tail -n 1 "$PG_DIR/server.log" 2>/dev/null)"
        rm -rf "$PG_DIR"
        return 1
    fi
    PG_CONNINFO="host=$PG_DIR port=$PG_PORT user=$PG_USER dbname=postgres"
    return 0
}

pg_stop() {
    [ -n "${PG_DIR:-}" ] || return 0
    pg_as "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop > /dev/null 2>&1 || true
    rm -rf "$PG_DIR"
    PG_DIR=""
}

# on its own: start, show, wait, stop
case "$0" in
*postgres.sh)
    if ! pg_start; then
        echo "postgres.sh: $PG_WHY" >&2
        exit 1
    fi
    echo "$PG_CONNINFO"
    read -r _ || true
    pg_stop ;;
esac
