#!/usr/bin/env bash
# Benchmarks that print figures (nothing here passes or fails on speed):
#   fetch   a 200 MB package fetched into memory by the agent vs its floor
#           (tests/benchmarks/floor_fetch.cpp: the same WinINet calls into one
#           block) and curl, interleaved
#   zip     a 200 MB ZIP package installed by the update worker vs its floor
#           (that fetch, one write, 7za.exe x, two renames) and curl + 7za.exe
# TREVANTO_BENCH_MB sets the package size (MiB), TREVANTO_BENCH_ROUNDS the rounds.
#   alerts  CPU time of the alerts window's repaints; check-in to first window
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
which="${1:-fetch}"
bash "$ROOT/scripts/setup.sh" >/dev/null
bash "$ROOT/scripts/build.sh" >/dev/null
case "$which" in
  fetch) script=tests/benchmarks/fetch_package.py ;;
  zip) script=tests/benchmarks/zip_update.py ;;
  alerts) script=tests/benchmarks/alerts_paint.py ;;
  *) echo "unknown benchmark: $which" >&2; exit 2 ;;
esac
exec bash "$ROOT/scripts/sandbox.sh" bash -c \
  'source "$1/scripts/bench.sh"; bench_start; trap bench_stop EXIT; /usr/bin/python3 "$1/$2"' bench "$ROOT" "$script"
