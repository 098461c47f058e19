#!/usr/bin/env bash
# Builds the native tree (neutral code, the vendor service and their tests
# under ASan/UBSan), the vendor service for running, and the Windows tree
# (trevanto.exe, Win32 tests, harness, doubles). Incremental.
# Where this machine's Wine is 64-bit (scripts/wine_kind.sh), the 32-bit tree
# builds only the shipped trevanto.exe and a 64-bit tree (build/win64) builds
# everything that runs under Wine.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/wine_kind.sh"
KIND=$(wine_kind)
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

# The test signing keys, made here once with the service's own command and
# never committed: the agent of this build trusts vendedor1 and vendedor2
# (its two key slots); ajena is a key it must refuse. A vendor's real build
# passes its own public keys instead (README, "Signed releases").
KEYS=$BUILD/claves-prueba
mkdir -p "$KEYS"
chmod 700 "$KEYS"
for name in vendedor1 vendedor2 ajena; do
  [ -f "$KEYS/$name.pem" ] || "$BUILD/service/vendor-service/trevanto-servicio" signing keygen --key "$KEYS/$name.pem" >/dev/null
  "$BUILD/service/vendor-service/trevanto-servicio" signing public --key "$KEYS/$name.pem" >"$KEYS/$name.pub"
done
KEY_1=$(cat "$KEYS/vendedor1.pub")
KEY_2=$(cat "$KEYS/vendedor2.pub")

# The archivers the agent may run: the genuine 7-Zip consoles the tests use
# (32-bit, and 64-bit for the 64-bit build), pinned by their SHA-256.
CACHE=${TREVANTO_CACHE:-/var/cache/trevanto}
ARCHIVERS=$(sha256sum "$CACHE/7za.exe" "$CACHE/7za-x64.exe" | cut -d' ' -f1 | paste -sd, -)

windows_tree() {  # folder toolchain [targets...]
  local tree=$1 toolchain=$2
  shift 2
  if [ ! -f "$BUILD/$tree/build.ninja" ] ||
     ! grep -qxF "TREVANTO_SIGNING_KEY_1:STRING=$KEY_1" "$BUILD/$tree/CMakeCache.txt" ||
     ! grep -qxF "TREVANTO_SIGNING_KEY_2:STRING=$KEY_2" "$BUILD/$tree/CMakeCache.txt" ||
     ! grep -qxF "TREVANTO_ARCHIVER_SHA256:STRING=$ARCHIVERS" "$BUILD/$tree/CMakeCache.txt" ||
     ! grep -qxF "TREVANTO_REQUIRE_SIGNATURES:STRING=ON" "$BUILD/$tree/CMakeCache.txt"; then
    # With keys, release statements are required (as a vendor's build with
    # keys requires them by default).
    cmake -S "$ROOT" -B "$BUILD/$tree" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$toolchain.cmake" \
      -DTREVANTO_SIGNING_KEY_1="$KEY_1" -DTREVANTO_SIGNING_KEY_2="$KEY_2" \
      -DTREVANTO_ARCHIVER_SHA256="$ARCHIVERS" -DTREVANTO_REQUIRE_SIGNATURES:STRING=ON >/dev/null
  fi
  cmake --build "$BUILD/$tree" -j "$JOBS" "$@"
}

if [ "$KIND" = win32 ]; then
  windows_tree win mingw-i686
else
  windows_tree win mingw-i686 --target trevanto
  windows_tree win64 mingw-x86_64
fi
