#!/usr/bin/env bash
# The whole journey on this machine only: the agent started alone in an
# empty folder shows its installer, a click on the MARVEK MESALTO tile
# installs it into a sample program folder, and the installed agent then runs
# there against the vendor service (local HTTPS for the vendor's host names):
# every kind of window, an update offer installing a ZIP package, the report.
# On a local X display a person clicks through it; without one (or with
# TREVANTO_DEMO_AUTO=1) it runs under Xvfb and clicks through by itself.
# Captures go to build/demo/capturas; a table of what happened ends the run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

bash "$ROOT/scripts/setup.sh"
bash "$ROOT/scripts/build.sh" >/dev/null
settings=(TREVANTO_DEMO_MODE=auto)
if [ "${TREVANTO_DEMO_AUTO:-0}" != 1 ] && [[ "${DISPLAY:-}" == :* ]] && xdotool getdisplaygeometry >/dev/null 2>&1; then
  settings=(TREVANTO_DEMO_MODE=screen "TREVANTO_BENCH_DISPLAY=$DISPLAY" "XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}")
fi
exec bash "$ROOT/scripts/sandbox.sh" env "${settings[@]}" bash "$ROOT/scripts/demo_inside.sh"
