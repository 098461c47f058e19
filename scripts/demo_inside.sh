#!/usr/bin/env bash
# Inside the sandbox: start the vendor service with sample data, run the
# agent once in a sample program folder, and show what happened.
set -euo pipefail
source "$(dirname "$0")/bench.sh"
bench_start
SERVICE_PID=""
cleanup() {
  [ -n "$SERVICE_PID" ] && kill "$SERVICE_PID" 2>/dev/null || true
  bench_stop
}
trap cleanup EXIT

DEMO=$BENCH_BUILD/demo
SERVICE=$BENCH_BUILD/service/vendor-service/trevanto-servicio
rm -rf "$DEMO"
mkdir -p "$DEMO/Marvek Mesalto"
FOLDER="$DEMO/Marvek Mesalto"
cp -r "$BENCH_ROOT/vendor-service/datos-ejemplo" "$DEMO/datos"
mkdir -p "$DEMO/datos/archivos/parches"
cp "$TREVANTO_7ZA" "$DEMO/datos/archivos/parches/7za.exe"
cp "$TREVANTO_WINE_TREE/tests/doubles/sibling_5_2_1_0.exe" "$FOLDER/mesalto.exe"
echo "base de datos" > "$FOLDER/DATOS.MDB"
mkdir -p "$DEMO/datos/archivos/paquetes"
cp "$TREVANTO_WINE_TREE/tests/doubles/sibling_6_0_3_17.exe" "$DEMO/datos/archivos/paquetes/mesalto.exe"
cp "$TREVANTO_WINE_TREE/trevanto.exe" "$FOLDER/trevanto.exe"

"$SERVICE" serve --data "$DEMO/datos" --cert "$TREVANTO_PKI/server.crt" --key "$TREVANTO_PKI/server.key" \
  > "$DEMO/servicio.log" 2>&1 &
SERVICE_PID=$!
for i in $(seq 100); do grep -q 'listening' "$DEMO/servicio.log" 2>/dev/null && break; sleep 0.05; done

echo "== Running trevanto.exe in $FOLDER"
rc=0
(cd "$FOLDER" && timeout 120 wine "$FOLDER/trevanto.exe") || rc=$?
echo "== trevanto.exe exited with code $rc"
# The alerts window that takes update offers is not built yet: the update
# worker is started here by the test harness exactly as that window will.
echo "== Update offer: installing https://descargas.marvek.example/paquetes/mesalto.exe"
cp "$TREVANTO_WINE_TREE/tests/harness.exe" "$FOLDER/trevanto_worker.exe"
(cd "$FOLDER" && timeout 300 wine "$FOLDER/trevanto_worker.exe" update \
  https://descargas.marvek.example/paquetes/mesalto.exe > "$DEMO/worker.json" 2>&1 </dev/null) || true
cat "$DEMO/worker.json"
wine taskkill /F /IM mesalto.exe >/dev/null 2>&1 || true
echo "== Journal descargas.csv"
cat "$FOLDER/actualizador_registros/descargas.csv" 2>/dev/null || true
echo "== Requests the vendor service received"
grep -v 'listening' "$DEMO/servicio.log" || true
echo "== Reports stored by the vendor service"
"$SERVICE" reports --db "$DEMO/datos/servicio.db" --last 5
echo "== Program folder afterwards"
ls -la "$FOLDER" "$FOLDER/actualizaciones" 2>/dev/null || true
