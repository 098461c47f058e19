#!/usr/bin/env bash
# Inside the sandbox: the Win32 unit tests (CTest, under Wine) and the
# end-to-end tests (pytest) against the real trevanto.exe.
set -uo pipefail
source "$(dirname "$0")/bench.sh"
bench_start
trap bench_stop EXIT

status=0
echo "== Win32 unit tests under Wine (ctest)"
ctest --test-dir "$TREVANTO_WINE_TREE" --output-on-failure --timeout 300 || status=1
echo "== End-to-end tests under Wine (pytest)"
[ $# -gt 0 ] || set -- "$BENCH_ROOT/tests/e2e"
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" || status=1
exit $status
