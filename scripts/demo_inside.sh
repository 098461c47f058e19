#!/usr/bin/env bash
# Inside the sandbox: serve the vendor's files, run the agent once, report.
set -euo pipefail
source "$(dirname "$0")/bench.sh"
bench_start
SERVER_PID=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
  bench_stop
}
trap cleanup EXIT

DEMO=$BENCH_BUILD/demo
rm -rf "$DEMO"
mkdir -p "$DEMO/Marvek Mesalto"
FOLDER="$DEMO/Marvek Mesalto"
cp "$BENCH_BUILD/win/tests/doubles/sibling_5_2_1_0.exe" "$FOLDER/mesalto.exe"
cp "$BENCH_BUILD/win/trevanto.exe" "$FOLDER/trevanto.exe"

/usr/bin/python3 -u "$BENCH_ROOT/tests/e2e/fault_server.py" --cert "$TREVANTO_PKI/server.crt" \
  --key "$TREVANTO_PKI/server.key" --file "/parches/7za.exe=$TREVANTO_7ZA" > "$DEMO/servicio.log" 2>&1 &
SERVER_PID=$!
for i in $(seq 100); do grep -q 'server on' "$DEMO/servicio.log" 2>/dev/null && break; sleep 0.05; done

echo "== Running trevanto.exe in $FOLDER"
rc=0
(cd "$FOLDER" && timeout 120 wine "$FOLDER/trevanto.exe") || rc=$?
echo "== trevanto.exe exited with code $rc"
sleep 0.5
echo "== Requests the service received"
grep -v 'server on' "$DEMO/servicio.log" || true
echo "== Program folder afterwards"
ls -la "$FOLDER"
