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
# The agent's installation archive, for the installer mode (built with the agent).
cp "$TREVANTO_WINE_TREE/agent-zip/1.25.1119_trevanto.zip" "$DEMO/datos/archivos/parches/"
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
echo "   (its windows are clicked through as a person would; captures in $DEMO/capturas)"
(cd "$FOLDER" && exec timeout 300 wine "$FOLDER/trevanto.exe" </dev/null >"$DEMO/agente.log" 2>&1) &
AGENT_PID=$!
/usr/bin/python3 "$BENCH_ROOT/scripts/demo_clicker.py" "$AGENT_PID" "$DEMO/capturas"
rc=0
wait "$AGENT_PID" || rc=$?
echo "== trevanto.exe exited with code $rc"
wine taskkill /F /IM mesalto.exe >/dev/null 2>&1 || true
echo "== Journal descargas.csv"
cat "$FOLDER/actualizador_registros/descargas.csv" 2>/dev/null || true
echo "== Requests the vendor service received"
grep -v 'listening' "$DEMO/servicio.log" || true
echo "== Reports stored by the vendor service"
"$SERVICE" reports --db "$DEMO/datos/servicio.db" --last 5
echo "== Terms accepted (alertas_terminos_aceptados.csv)"
cat "$FOLDER/actualizador_registros/alertas_terminos_aceptados.csv" 2>/dev/null || true
echo "== Program version: before 5.2.1.0, package 6.0.3.17; mesalto.exe now $(cmp -s "$FOLDER/mesalto.exe" "$DEMO/datos/archivos/paquetes/mesalto.exe" && echo 6.0.3.17 || echo 5.2.1.0)"
echo "== Program folder afterwards"
ls -la "$FOLDER" "$FOLDER/actualizaciones" 2>/dev/null || true
