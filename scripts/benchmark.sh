#!/usr/bin/env bash
# Benchmarks that print figures (nothing here passes or fails on speed):
#   fetch   a 200 MB package fetched into memory by the agent vs its floor
#           (tests/benchmarks/floor_fetch.cpp: the same WinINet calls into one
#           block) and curl, interleaved
#   zip     a 200 MB ZIP package installed by the update worker vs its floor
#           (that fetch, one write, 7za.exe x, two renames) and curl + 7za.exe
# TREVANTO_BENCH_MB sets the package size (MiB), TREVANTO_BENCH_ROUNDS the rounds.
#   alerts  CPU time of the alerts window's repaints; check-in to first window
#   archiver what the archiver check costs at start (SHA-256 of 7za.exe)
#           beside reading the file (floor_read.exe)
#   startwatch how long the agent stays after an update while it watches the
#           program's start (runs, closed at once, put back) beside no update
#   service the vendor service beside nginx serving the same files over TLS:
#           check-ins and a 1 KB file at 1, 16 and 64 connections, a 200 MB
#           package, check-ins under crowds of idle, slow and downloading
#           clients, memory under attack, SIGTERM (no Wine: loopback only;
#           TREVANTO_BENCH_SECONDS sets each wrk run's length; "service
#           checkins" the requests alone; TREVANTO_BENCH_BEFORE=<a build of
#           trevanto-servicio> measures its check-ins in the same rounds)
#   stores  the vendor service on SQLite and on PostgreSQL (a throwaway server
#           syncing as a vendor's does): check-ins at 1, 16 and 64 connections
#           with one instance straight, one and two behind nginx, CPU per
#           check-in by process; the console's pages over 100,000
#           installations and 1,000,000 reports, each statement's time, and
#           pictures of a rollout's page and its release's health over them
#           (build/console/banco; "stores checkins" or "stores console" runs
#           one half)
#   attackers the attacks of the service's review (made-up installations that
#           halt or advance a rollout, a pilot's name, a flood of the store,
#           guesses at the console), replayed against this build and, with
#           TREVANTO_BENCH_BEFORE=<a build of trevanto-servicio>, that one;
#           then what the default rules ask of an attacker who prepares
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
which="${1:-fetch}"
bash "$ROOT/scripts/setup.sh" >/dev/null
bash "$ROOT/scripts/build.sh" >/dev/null
case "$which" in
  fetch) script=tests/benchmarks/fetch_package.py ;;
  zip) script=tests/benchmarks/zip_update.py ;;
  alerts) script=tests/benchmarks/alerts_paint.py ;;
  archiver) script=tests/benchmarks/archiver_check.py ;;
  startwatch) script=tests/benchmarks/start_watch.py ;;
  service) exec /usr/bin/python3 "$ROOT/tests/benchmarks/service_bench.py" "${@:2}" ;;
  stores) exec /usr/bin/python3 "$ROOT/tests/benchmarks/stores_bench.py" "${@:2}" ;;
  attackers) exec bash "$ROOT/scripts/sandbox.sh" /usr/bin/python3 "$ROOT/tests/benchmarks/attacker_bench.py" ;;
  *) echo "unknown benchmark: $which" >&2; exit 2 ;;
esac
exec bash "$ROOT/scripts/sandbox.sh" bash -c \
  'source "$1/scripts/bench.sh"; bench_start; trap bench_stop EXIT; /usr/bin/python3 "$1/$2"' bench "$ROOT" "$script"
