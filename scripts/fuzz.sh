#!/usr/bin/env bash
# Builds the fuzzers of what the agent parses from the network, and of what
# strangers send the vendor service (libFuzzer with ASan and UBSan, clang 14),
# and runs each on a copy of its seed corpus:
#   alert_document  the notification document model (tests/alerts/fuzz/corpus)
#   picture_size    a picture's header, read before anything decodes it
#                   (tests/alerts/fuzz/picture_corpus)
#   release_statement  the vendor's release statement and the line of
#                   members carrying it (tests/update/fuzz/statement_corpus)
#   service_input   the vendor service: report bodies with every member's
#                   bound, client addresses, tokens, passwords
#                   (tests/vendor-service/fuzz/corpus)
#   bash scripts/fuzz.sh [runs] [target...]   default 100000 executions each
# Exits non-zero on a finding, keeping the work folder with the crashing
# input; prints the number of executions of each target.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RUNS=${1:-100000}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(alert_document picture_size release_statement service_input)
CXX=${CXX_FUZZ:-clang++-14}

# name -> "fuzzer source|sources|corpus folder|extra flags" (paths from the root)
S=vendor-service/src
declare -A BUILD_OF=(
  [alert_document]="tests/alerts/fuzz/alert_document_fuzz.cpp|src/alerts/alert_document.cpp src/alerts/alert_layout.cpp|tests/alerts/fuzz/corpus|"
  [picture_size]="tests/alerts/fuzz/picture_size_fuzz.cpp|src/alerts/picture_rules.cpp src/alerts/alert_document.cpp|tests/alerts/fuzz/picture_corpus|"
  [release_statement]="tests/update/fuzz/release_statement_fuzz.cpp|src/update/release_statement.cpp src/support/base64.cpp|tests/update/fuzz/statement_corpus|"
  [service_input]="tests/vendor-service/fuzz/service_input_fuzz.cpp|$S/agents/report_parsing.cpp $S/console/password_policy.cpp $S/http/network_prefix.cpp $S/rollouts/offer_token.cpp $S/http/message.cpp $S/http/text_escape.cpp|tests/vendor-service/fuzz/corpus|-I $ROOT/$S -lcrypto -DMAX_LEN=20000"
)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/trevanto-fuzz.XXXXXX")
# Only nlohmann is exposed, never the rest of /usr/include as a system folder.
mkdir -p "$WORK/include"
ln -s /usr/include/nlohmann "$WORK/include/nlohmann"

status=0
for target in "${TARGETS[@]}"; do
  IFS='|' read -r fuzzer sources corpus extra <<<"${BUILD_OF[$target]:-}"
  if [ -z "$fuzzer" ]; then
    echo "unknown fuzz target: $target"
    status=2
    continue
  fi
  echo "== Building the $target fuzzer in $WORK"
  source_paths=()
  for s in $sources; do source_paths+=("$ROOT/$s"); done
  # shellcheck disable=SC2086 # the extra flags are words
  if ! "$CXX" -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
      -I "$ROOT/src" -isystem "$WORK/include" "$ROOT/$fuzzer" "${source_paths[@]}" $extra -o "$WORK/$target"; then
    status=2
    continue
  fi
  # New inputs go to the copy; the seed corpus stays as it is.
  cp -r "$ROOT/$corpus" "$WORK/$target-corpus"
  echo "== Running $RUNS executions of $target"
  max_len=65536
  [[ "$extra" == *MAX_LEN=* ]] && max_len=${extra##*MAX_LEN=}
  "$WORK/$target" -runs="$RUNS" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$WORK/$target-" "$WORK/$target-corpus" 2>"$WORK/$target.log"
  result=$?
  grep -E "^(INFO: Seed|#[0-9]+ +(INITED|DONE))|^Done |stat::number_of_executed_units" "$WORK/$target.log"
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$WORK/$target.log")
  if [ "$result" -ne 0 ]; then
    tail -n 60 "$WORK/$target.log"
    echo "FINDING in $target (exit $result): the log and the crashing input are in $WORK"
    status=1
    continue
  fi
  echo "$target: executions without a finding: ${executions:-unknown}"
done
[ "$status" -eq 0 ] && rm -rf "$WORK"
exit $status
