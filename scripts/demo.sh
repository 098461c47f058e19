#!/usr/bin/env bash
# The agent's main job end to end, on this machine only: a sample program
# folder with mesalto.exe (and no 7za.exe), the local HTTPS service for the
# vendor's host names, and trevanto.exe under Wine. Prints what the agent
# asked of the service and what the folder holds afterwards.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TREVANTO_BUILD:-$ROOT/build}

bash "$ROOT/scripts/setup.sh"
bash "$ROOT/scripts/build.sh" >/dev/null
exec bash "$ROOT/scripts/sandbox.sh" bash "$ROOT/scripts/demo_inside.sh"
