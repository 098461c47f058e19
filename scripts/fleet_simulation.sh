#!/usr/bin/env bash
# The fleet simulation at scale, for the figures: simulated installations
# (no Wine) check in, download and report against the real vendor service
# over TLS on loopback, first for a healthy release (0.5 % of installations
# fail their download), then for one that fails for 30 % (the new program
# cannot be moved into place). Prints, per round, the stage and what the
# fleet did, and per stage the rollout's funnel as the store holds it.
#   TREVANTO_FLEET_SIZE     installations (default 10000)
#   TREVANTO_FLEET_THREADS  simulating threads, each with one keep-alive connection (default 4)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TREVANTO_BUILD:-$ROOT/build}
CACHE=${TREVANTO_CACHE:-/var/cache/trevanto}
# The test CA (scripts/setup.sh makes it) and the service as it runs (optimised, no sanitizers).
[ -s "$CACHE/pki/server.crt" ] || bash "$ROOT/scripts/setup.sh" >/dev/null
[ -f "$BUILD/service/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/service" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTREVANTO_SANITIZE=OFF >/dev/null
cmake --build "$BUILD/service" -j "${JOBS:-2}" --target trevanto-servicio >/dev/null
exec /usr/bin/python3 "$ROOT/tests/vendor-service/system/fleet.py"
