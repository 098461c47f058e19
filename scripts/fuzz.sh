#!/usr/bin/env bash
# Builds the alert document fuzzer (libFuzzer with ASan and UBSan, clang 14)
# and runs it on a copy of the seed corpus in tests/alerts/fuzz/corpus.
#   bash scripts/fuzz.sh [runs]     default 100000 executions
# Exits non-zero on a finding, keeping the work folder with the crashing
# input; prints the number of executions.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-100000}
FUZZ=$ROOT/tests/alerts/fuzz
CXX=${CXX_FUZZ:-clang++-14}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/alerts-fuzz.XXXXXX")
# Only nlohmann is exposed, never the rest of /usr/include as a system folder.
mkdir -p "$WORK/include"
ln -s /usr/include/nlohmann "$WORK/include/nlohmann"

echo "== Building the fuzzer in $WORK"
if ! "$CXX" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -I "$ROOT/src" -isystem "$WORK/include" \
    "$FUZZ/alert_document_fuzz.cpp" "$ROOT/src/alerts/alert_document.cpp" "$ROOT/src/alerts/alert_layout.cpp" \
    -o "$WORK/alert_document_fuzz"; then
    rm -rf "$WORK"
    exit 2
fi

# New inputs go to the copy; the seed corpus stays as it is.
cp -r "$FUZZ/corpus" "$WORK/corpus"
echo "== Running $RUNS executions"
"$WORK/alert_document_fuzz" -runs="$RUNS" -max_len=65536 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$WORK/" "$WORK/corpus" 2>"$WORK/fuzz.log"
status=$?

grep -E "^(INFO: Seed|#[0-9]+ +(INITED|DONE))|^Done |stat::number_of_executed_units" "$WORK/fuzz.log"
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$WORK/fuzz.log")
if [ "$status" -ne 0 ]; then
    tail -n 60 "$WORK/fuzz.log"
    echo "FINDING (exit $status): the log and the crashing input are in $WORK"
    exit 1
fi
echo "Executions without a finding: ${executions:-unknown}"
rm -rf "$WORK"
