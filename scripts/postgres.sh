#!/usr/bin/env bash
# A throwaway PostgreSQL server for the tests and benchmarks: its data and
# its socket in one folder, no TCP port, trust for the local user
# "trevanto", stopped and removed by "stop".
#   scripts/postgres.sh start <folder>   prints the connection string
#   scripts/postgres.sh stop <folder>
#   scripts/postgres.sh down|up <folder>   the server killed (as by a crash), and started again
# POSTGRES_OPTIONS adds server settings ("-c name=value ..."), after the
# tests' own, so it can also undo them (the benchmarks sync as a vendor's
# server does).
set -euo pipefail
BIN=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$BIN/initdb" ] || { echo "PostgreSQL's server is not installed (scripts/setup.sh)" >&2; exit 2; }
COMMAND=${1:?start, stop, down or up}
FOLDER=${2:?a folder}
AS=()
# The server refuses to run as root: it runs as the packages' postgres user.
[ "$(id -u)" -eq 0 ] && AS=(runuser -u postgres --)

serve() {
  "${AS[@]}" "$BIN/pg_ctl" -D "$FOLDER/data" -l "$FOLDER/server.log" -w -t 60 \
    -o "-c listen_addresses='' -k $FOLDER -p 5439 -c fsync=off -c full_page_writes=off -c max_connections=200 ${POSTGRES_OPTIONS:-}" \
    start >/dev/null || { cat "$FOLDER/server.log" >&2; exit 1; }
}

case "$COMMAND" in
  start)
    mkdir -p "$FOLDER"
    [ "$(id -u)" -eq 0 ] && chown postgres "$FOLDER"
    "${AS[@]}" "$BIN/initdb" -D "$FOLDER/data" -U trevanto --auth=trust -E UTF8 --locale=C.UTF-8 >"$FOLDER/initdb.log" 2>&1 \
      || { cat "$FOLDER/initdb.log" >&2; exit 1; }
    # fsync off: a test machine does not lose power, and a server killed
    # keeps what it committed (synchronous_commit stays on).
    serve
    echo "host=$FOLDER port=5439 user=trevanto"
    ;;
  down)
    "${AS[@]}" "$BIN/pg_ctl" -D "$FOLDER/data" -m immediate -w stop >/dev/null
    ;;
  up)
    serve
    ;;
  stop)
    [ -d "$FOLDER/data" ] && "${AS[@]}" "$BIN/pg_ctl" -D "$FOLDER/data" -m immediate -w stop >/dev/null 2>&1 || true
    rm -rf "$FOLDER"
    ;;
  *) echo "start, stop, down or up" >&2; exit 2 ;;
esac
