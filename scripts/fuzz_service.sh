#!/usr/bin/env bash
# Builds the vendor service's input fuzzer (libFuzzer with ASan and UBSan,
# clang 14: report bodies, client addresses, tokens, passwords) and runs it
# on a copy of the seed corpus in tests/vendor-service/fuzz/corpus.
#   bash scripts/fuzz_service.sh [runs]     default 100000 executions
# Exits non-zero on a finding, keeping the work folder with the crashing
# input; prints the number of executions.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-100000}
FUZZ=$ROOT/tests/vendor-service/fuzz
SRC=$ROOT/vendor-service/src
CXX=${CXX_FUZZ:-clang++-14}

WORK=$(mktemp -d "${TMPDIR:-/tmp}/service-fuzz.XXXXXX")
echo "== Building the service's fuzzer in $WORK"
if ! "$CXX" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I "$SRC" \
    "$FUZZ/service_input_fuzz.cpp" "$SRC/agents/report_parsing.cpp" "$SRC/console/password_policy.cpp" \
    "$SRC/http/network_prefix.cpp" "$SRC/rollouts/offer_token.cpp" "$SRC/http/message.cpp" "$SRC/http/text_escape.cpp" \
    -lcrypto -o "$WORK/service_input_fuzz"; then
    rm -rf "$WORK"
    exit 2
fi

cp -r "$FUZZ/corpus" "$WORK/corpus"
echo "== Running $RUNS executions"
"$WORK/service_input_fuzz" -runs="$RUNS" -max_len=20000 -timeout=10 -print_final_stats=1 \
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
