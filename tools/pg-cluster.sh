#!/bin/sh
# A throw-away PostgreSQL server for the tests of the line database.
#
#   pg-cluster.sh start DIR    starts the cluster in DIR, making it first when
#                              DIR holds none; a server an aborted run left
#                              running there is stopped and started again
#   pg-cluster.sh new DIR      removes what an earlier run left in DIR, then
#                              makes and starts a new cluster there
#   pg-cluster.sh stop DIR     stops it and keeps its data (no error when it
#                              is not running)
#   pg-cluster.sh remove DIR   stops it and deletes DIR
#
# The server listens only on a Unix socket in DIR (no TCP port, so it never
# meets the system's own cluster), trusts every role but talvex_pw, which
# must give its password (scram-sha-256). Roles: talvex (superuser; the tests
# make their databases with it) and talvex_pw (login, createdb, password
# "line-secret"). Durability is traded for speed: it holds test data only.
#
# PostgreSQL refuses to run as root, so as root the server runs as the
# postgres system user of Debian's postgresql package, and DIR is given to
# that user; as anyone else it runs as the caller. PG_BINDIR overrides where
# initdb and pg_ctl are looked for.
set -eu

usage() {
    echo "usage: $0 start|new|stop|remove DIR" >&2
    exit 2
}
[ $# -eq 2 ] || usage
command=$1
dir=$2
case "$command" in start | new | stop | remove) ;; *) usage ;; esac

fail() {
    echo "pg-cluster: $*" >&2
    exit 1
}

case "$dir" in
/*) ;;
*) dir=$(pwd)/$dir ;;
esac
dir=${dir%/}
[ -n "$dir" ] || fail "refusing to work on /"
# The socket's path (DIR/.s.PGSQL.5432) must fit a sockaddr_un, 107 bytes.
[ ${#dir} -le 90 ] || fail "$dir: the folder's path is too long for a Unix socket (90 characters at most)"

port=5432
data=$dir/data
log=$dir/server.log
marker=$dir/.talvex-pg-cluster
start_wait=30
stop_wait=30

if [ -z "${PG_BINDIR:-}" ]; then
    for candidate in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -t/ -k5 -n -r); do
        if [ -x "$candidate/pg_ctl" ]; then
            PG_BINDIR=$candidate
            break
        fi
    done
fi
[ -n "${PG_BINDIR:-}" ] && [ -x "$PG_BINDIR/pg_ctl" ] ||
    fail "no PostgreSQL server programs found (/usr/lib/postgresql/*/bin): install the postgresql package (tools/install-deps.sh)"

if [ "$(id -u)" -eq 0 ]; then
    id postgres >/dev/null 2>&1 ||
        fail "there is no postgres system user to run the server as: install the postgresql package (tools/install-deps.sh)"
    as_server() { runuser -u postgres -- "$@"; }
    server_user=postgres
else
    as_server() { "$@"; }
    server_user=$(id -un)
fi

pg_ctl() { as_server "$PG_BINDIR/pg_ctl" -D "$data" "$@"; }

# A postmaster that died leaves its lock files behind, and one whose parent
# never reaps it stays a zombie that still answers kill -0: to pg_ctl and to
# the next server, both look like a live server. Such leftovers are removed.
clear_dead_postmaster() {
    [ -f "$data/postmaster.pid" ] || return 0
    pid=$(head -n 1 "$data/postmaster.pid")
    state=""
    if [ -r "/proc/$pid/stat" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = postgres ]; then
        state=$(sed 's/.*) //' "/proc/$pid/stat" | cut -d' ' -f1)
    fi
    if [ -z "$state" ] || [ "$state" = Z ]; then
        rm -f "$data/postmaster.pid" "$dir/.s.PGSQL.$port.lock" "$dir/.s.PGSQL.$port"
    fi
}

# 0 when a server runs on DIR's data, 1 when none does.
running() {
    [ -f "$data/PG_VERSION" ] || return 1
    clear_dead_postmaster
    pg_ctl status >/dev/null 2>&1
}

stop_server() {
    running || return 0
    if ! out=$(pg_ctl stop -m fast -w -t "$stop_wait" 2>&1); then
        # A fast stop waits only for the end of the checkpoint; a server that
        # cannot manage that in time is stopped at once rather than waited on.
        out=$(pg_ctl stop -m immediate -w -t "$stop_wait" 2>&1) ||
            fail "could not stop the test server in $dir: $out (its log: $log)"
    fi
}

remove_dir() {
    [ -e "$dir" ] || return 0
    # Deletes only what this script made: never a folder given by mistake.
    if [ ! -e "$marker" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
        fail "$dir is not a test cluster made by this script: not removing it"
    fi
    stop_server
    rm -rf "$dir"
}

make_cluster() {
    # Never mark someone's folder as ours: remove would delete it later.
    if [ ! -e "$marker" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
        fail "$dir holds files of its own: give an empty or new folder for the test cluster"
    fi
    mkdir -p "$dir"
    : >"$marker"
    if [ "$server_user" = postgres ] && [ "$(id -u)" -eq 0 ]; then
        chown postgres:postgres "$dir" "$marker"
    fi
    chmod 700 "$dir"
    as_server test -w "$dir" ||
        fail "$dir cannot be written by the $server_user user the server runs as: choose a folder under /tmp"
    [ -f "$data/PG_VERSION" ] && return 0
    as_server "$PG_BINDIR/initdb" -D "$data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 \
        --no-sync >"$dir/initdb.log" 2>&1 ||
        fail "initdb failed in $data: $(tail -n 5 "$dir/initdb.log")"
    as_server sh -c "cat >>'$data/postgresql.conf'" <<EOF
# A throw-away server for tests: a Unix socket only, and speed before safety.
listen_addresses = ''
unix_socket_directories = '$dir'
port = $port
max_connections = 200
shared_buffers = 32MB
fsync = off
synchronous_commit = off
full_page_writes = off
password_encryption = scram-sha-256
logging_collector = off
EOF
    as_server sh -c "cat >'$data/pg_hba.conf'" <<EOF
# TYPE  DATABASE  USER       METHOD
local   all       talvex_pw  scram-sha-256
local   all       all        trust
EOF
}

# The roles, made again on each start so that a cluster whose first start was
# cut short still gets them.
make_roles() {
    "$PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d postgres \
        >"$dir/roles.log" 2>&1 <<'EOF' || fail "could not create the test roles: $(cat "$dir/roles.log")"
DO $$
BEGIN
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'talvex') THEN
        CREATE ROLE talvex SUPERUSER LOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'talvex_pw') THEN
        CREATE ROLE talvex_pw LOGIN CREATEDB PASSWORD 'line-secret';
    END IF;
END
$$;
EOF
}

start_server() {
    make_cluster
    # A server an aborted run left behind may run with other settings.
    stop_server
    if ! pg_ctl start -w -t "$start_wait" -l "$log" >/dev/null 2>&1; then
        fail "the test server in $dir did not accept connections within $start_wait s; the end of its log ($log):
$(tail -n 15 "$log" 2>/dev/null)"
    fi
    make_roles
}

case "$command" in
start) start_server ;;
new)
    remove_dir
    start_server
    ;;
stop) stop_server ;;
remove) remove_dir ;;
esac
