#!/usr/bin/env bash
# Builds the native tree (neutral code and its tests under ASan/UBSan) and
# the Windows tree (trevanto.exe, Win32 tests, harness, doubles). Incremental.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TREVANTO_BUILD:-$ROOT/build}
JOBS=${JOBS:-2}

[ -f "$BUILD/native/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/native" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$BUILD/native" -j "$JOBS"

[ -f "$BUILD/win/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS"
