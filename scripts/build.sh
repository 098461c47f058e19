#!/usr/bin/env bash
# Builds the native tree (neutral code, the vendor service and their tests
# under ASan/UBSan), the vendor service for running, and the Windows tree
# (trevanto.exe, Win32 tests, harness, doubles). Incremental.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TREVANTO_BUILD:-$ROOT/build}
JOBS=${JOBS:-2}

[ -f "$BUILD/native/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$BUILD/native" -j "$JOBS"

# The vendor service as it runs for the demo and the end-to-end tests:
# optimised, without sanitizers.
[ -f "$BUILD/service/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/service" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTREVANTO_SANITIZE=OFF >/dev/null
cmake --build "$BUILD/service" -j "$JOBS" --target trevanto-servicio

[ -f "$BUILD/win/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS"
