#!/usr/bin/env bash
# The whole cut sweep (tests/e2e/test_cut_sweep.py with TREVANTO_CORTES=todos):
# every update case cut after each of its journal lines, and the agent's own
# update after each line of its batch file, under Wine in the sandbox. Prints
# one table per case and how long each took. Build first (scripts/build.sh).
#   scripts/cut_sweep.sh [pytest arguments, e.g. -k executable]
# TREVANTO_CORTES=muestra runs only the sample the test suite runs.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != --inside ]; then
  exec bash "$ROOT/scripts/sandbox.sh" bash "$ROOT/scripts/cut_sweep.sh" --inside "$@"
fi
shift
source "$ROOT/scripts/bench.sh"
bench_start
trap bench_stop EXIT
start=$(date +%s)
TREVANTO_CORTES=${TREVANTO_CORTES:-todos} /usr/bin/python3 -m pytest -q -s -p no:cacheprovider --durations=0 \
  "$ROOT/tests/e2e/test_cut_sweep.py" "$@"
status=$?
echo "== cut sweep: $(( $(date +%s) - start )) s in all"
exit $status
