#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test layer:
#   1. native unit tests of the platform-neutral code (ASan/UBSan, ctest)
#   2. static analysis of src/ and vendor-service/src/ (clang-tidy, cppcheck)
#   3. a short fuzzing run of the notification document model, and of what
#      strangers send the vendor service (libFuzzer)
#   4. system tests of the vendor service (pytest), inside the sandbox (its
#      mounts are private): hostile clients, store faults, a simulated fleet
#      through staged rollouts, and the console in headless Chromium
#   5. the vendor service's native and system tests again on PostgreSQL, on a
#      throwaway server in a temporary folder (scripts/postgres.sh), with two
#      instances behind nginx
#   6. Win32 unit tests under Wine (ctest), inside the sandbox
#   7. end-to-end tests of the real trevanto.exe under Wine (pytest), inside the sandbox
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TREVANTO_BUILD:-$ROOT/build}

bash "$ROOT/scripts/setup.sh" || exit 1
bash "$ROOT/scripts/build.sh" || exit 1

status=0
echo "== Native unit tests (ctest)"
ctest --test-dir "$BUILD/native" --output-on-failure -j 2 || status=1
echo "== Static analysis (clang-tidy, cppcheck)"
bash "$ROOT/scripts/static_analysis.sh" || status=1
echo "== Fuzzing what comes from the network: the agent's parsers, and what strangers send the vendor service"
bash "$ROOT/scripts/fuzz.sh" "${TREVANTO_FUZZ_RUNS:-100000}" || status=1
echo "== The vendor service: strangers, store faults, a simulated fleet, the console in a browser (pytest)"
bash "$ROOT/scripts/sandbox.sh" /usr/bin/python3 -m pytest -q -p no:cacheprovider "$ROOT/tests/vendor-service/system" \
  "$ROOT/tests/vendor-service/console" || status=1
echo "== The vendor service on PostgreSQL (a throwaway server): native and system tests"
PG_FOLDER=$(mktemp -d /tmp/trevanto-pg.XXXXXX)
trap 'bash "$ROOT/scripts/postgres.sh" stop "$PG_FOLDER"' EXIT
if POSTGRES=$(bash "$ROOT/scripts/postgres.sh" start "$PG_FOLDER"); then
  TREVANTO_TEST_POSTGRES=$POSTGRES "$BUILD/native/tests/vendor_service_tests" --gtest_brief=1 || status=1
  bash "$ROOT/scripts/sandbox.sh" env TREVANTO_TEST_POSTGRES="$POSTGRES" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
    "$ROOT/tests/vendor-service/system" "$ROOT/tests/vendor-service/console" || status=1
else
  status=1
fi
bash "$ROOT/scripts/postgres.sh" stop "$PG_FOLDER"
trap - EXIT
bash "$ROOT/scripts/sandbox.sh" bash "$ROOT/scripts/run_wine_suites.sh" "$@" || status=1
exit $status
