#!/usr/bin/env bash
# Inside the sandbox: the Wine bench, then the journey (scripts/demo.py).
set -euo pipefail
source "$(dirname "$0")/bench.sh"
bench_start
trap bench_stop EXIT
/usr/bin/python3 "$BENCH_ROOT/scripts/demo.py"
