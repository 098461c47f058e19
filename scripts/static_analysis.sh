#!/usr/bin/env bash
# Static analysis of the agent (src/: the platform-neutral and the Win32 files)
# and of the vendor service (vendor-service/src/):
#   clang-tidy 14  with the checks in .clang-tidy; every warning is a finding
#   cppcheck 2.10  with the suppressions in cppcheck-suppressions.txt
#   bash scripts/static_analysis.sh [clang-tidy|cppcheck]    default: both
# Exits non-zero on any finding, and when a file cannot be parsed.
#
# The compile commands come from two configure-only trees in
# $TREVANTO_BUILD/analysis (nothing is built there):
#   native  the neutral code and the vendor service, with the host's flags
#   win     the Win32 files with the 32-bit MinGW-w64 flags; clang parses them
#           for i686-w64-mingw32 against MinGW's headers and libstdc++
# Only the project's own files are analysed or reported: the system's httplib,
# nlohmann/json, OpenSSL, SQLite and the MinGW headers are not.
#
# A file clang-tidy found clean is not analysed again while nothing it could
# depend on has changed: scripts/tidy_keys.py makes its key, and the clean
# results are kept in $TREVANTO_CACHE/clang-tidy. A file with findings is
# always analysed again, so that its report is printed.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TREVANTO_BUILD:-$ROOT/build}
OUT=$BUILD/analysis
JOBS=${JOBS:-2}
WHAT=${1:-all}
CLANG_TIDY=${CLANG_TIDY:-clang-tidy-14}
TIDY_CACHE=${TREVANTO_CACHE:-/var/cache/trevanto}/clang-tidy
MINGW=i686-w64-mingw32
MINGW_CXX=$MINGW-g++-posix

case "$WHAT" in
  all | clang-tidy | cppcheck) ;;
  *) echo "usage: $0 [clang-tidy|cppcheck]" >&2; exit 2 ;;
esac
for tool in "$CLANG_TIDY" cppcheck cmake python3 "$MINGW_CXX"; do
  command -v "$tool" >/dev/null || { echo "static analysis: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

# Configure (again when CMakeLists changed; quick when nothing did).
configure() {  # tree [cmake arguments...]
  local tree=$1
  shift
  cmake -S "$ROOT" -B "$OUT/$tree" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >"$OUT/$tree.configure.log" 2>&1 || {
    cat "$OUT/$tree.configure.log"
    echo "static analysis: configuring $OUT/$tree failed" >&2
    exit 2
  }
}
mkdir -p "$OUT"
configure native -DCMAKE_BUILD_TYPE=Debug -DTREVANTO_SANITIZE=OFF
configure win -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-$(cut -d- -f1 <<<"$MINGW").cmake"

# Compile databases with the project's own .cpp files only (no tests, no
# GoogleTest, no resource scripts). db-win holds every file of the Windows
# tree (cppcheck); db-win-only the files the native tree does not compile
# (clang-tidy, which would otherwise analyse the neutral files twice).
python3 - "$ROOT" "$OUT" <<'EOF' || exit 2
import json, os, sys
root, out = sys.argv[1], sys.argv[2]
own = (os.path.join(root, "src") + "/", os.path.join(root, "vendor-service", "src") + "/")

def entries(tree):
    with open(os.path.join(out, tree, "compile_commands.json")) as f:
        return [e for e in json.load(f) if e["file"].startswith(own) and e["file"].endswith(".cpp")]

def write(name, db):
    os.makedirs(os.path.join(out, name), exist_ok=True)
    with open(os.path.join(out, name, "compile_commands.json"), "w") as f:
        json.dump(db, f, indent=1)
    with open(os.path.join(out, name, "files.txt"), "w") as f:
        f.write("".join(sorted({e["file"] + "\n" for e in db})))

native, win = entries("native"), entries("win")
native_files = {e["file"] for e in native}
write("db-native", native)
write("db-win", win)
write("db-win-only", [e for e in win if e["file"] not in native_files])
EOF

status=0

run_clang_tidy() {
  # MinGW's libstdc++ folders as its g++ searches them; clang brings its own
  # intrinsics headers, and the sysroot gives the Windows headers.
  local cxx_dirs mingw_include
  cxx_dirs=$("$MINGW_CXX" -xc++ -E -v - </dev/null 2>&1 | sed -n 's/^ \(.*\/include\/c++.*\)$/\1/p')
  mingw_include=$("$MINGW_CXX" -xc++ -E -v - </dev/null 2>&1 | sed -n "s/^ \(.*\/$MINGW\/include\)$/\1/p" | head -n1)
  if [ -z "$cxx_dirs" ] || [ -z "$mingw_include" ]; then
    echo "static analysis: cannot find the MinGW-w64 include folders of $MINGW_CXX" >&2
    return 1
  fi
  local win_args=("--extra-arg=--target=$MINGW" "--extra-arg=--sysroot=$(realpath "$mingw_include/..")")
  local dir
  for dir in $cxx_dirs; do win_args+=("--extra-arg=-isystem$(realpath "$dir")"); done

  local header_filter="^$ROOT/(src|vendor-service/src)/"
  local failed=0 db
  mkdir -p "$TIDY_CACHE" 2>/dev/null || true
  for db in db-native db-win-only; do
    local args=(-p "$OUT/$db" --quiet --warnings-as-errors='*' "--header-filter=$header_filter")
    [ "$db" = db-win-only ] && args+=("${win_args[@]}")
    tidy_keys "$db" "${args[@]}" || return 1
    # One clang-tidy per file that has no clean result kept, $JOBS at a
    # time; a file's report is printed in one piece, and only when it has
    # findings. Each line pair of todo.txt is a file and its key.
    # shellcheck disable=SC2016  # the inner script expands its own arguments
    xargs -r -P "$JOBS" -n 2 -d '\n' bash -c '
      cache=$1 file=${*: -2:1} key=${*: -1}
      shift
      set -- "${@:1:$#-2}"
      if out=$("$@" "$file" 2>&1); then
        if [ -w "$cache" ]; then : >"$cache/$key"; fi
        exit 0
      fi
      printf "%s\n" "$out" | grep -vE "^[0-9]+ (warning|error)s? (generated|treated as errors?)\.?$"
      exit 1' _ "$TIDY_CACHE" "$CLANG_TIDY" "${args[@]}" <"$OUT/$db/todo.txt" || failed=1
  done
  return $failed
}

# Writes $OUT/<db>/todo.txt: each file of the database whose clean result is
# not kept, then its key, one per line; and the number kept to kept.txt.
tidy_keys() {  # db clang-tidy-arguments...
  local db=$1
  shift
  { "$CLANG_TIDY" --version; cat "$ROOT/.clang-tidy"; dpkg-query -W -f '${Package} ${Version}\n' 2>/dev/null; } \
    >"$OUT/$db/tools.txt"
  python3 "$ROOT/scripts/tidy_keys.py" "$ROOT" "$OUT" "$db" "$TIDY_CACHE" "$@"
}

run_cppcheck() {
  # shellcheck disable=SC2054  # the commas belong to cppcheck's --enable list
  local common=(--std=c++17 --enable=warning,style,performance,portability --inline-suppr
                "--suppressions-list=$ROOT/cppcheck-suppressions.txt" --error-exitcode=1 -j "$JOBS" --quiet
                "--template={file}:{line}:{column}: {severity}: {message} [{id}]")
  local failed=0
  mkdir -p "$OUT/cppcheck-native" "$OUT/cppcheck-win"
  cppcheck "${common[@]}" "--project=$OUT/db-native/compile_commands.json" "--cppcheck-build-dir=$OUT/cppcheck-native" \
    --platform=unix64 --library=posix --library=openssl --library=sqlite3 || failed=1
  # The windows library gives cppcheck the Win32 API and its macros
  # (STDMETHODIMP_, WINAPI, ...), which it cannot read from MinGW's headers.
  cppcheck "${common[@]}" "--project=$OUT/db-win/compile_commands.json" "--cppcheck-build-dir=$OUT/cppcheck-win" \
    --platform=win32W --library=windows || failed=1
  return $failed
}

if [ "$WHAT" != cppcheck ]; then
  echo "-- clang-tidy: $(cat "$OUT/db-native/files.txt" "$OUT/db-win-only/files.txt" | wc -l) files, $JOBS at a time"
  if run_clang_tidy; then
    kept=$(($(cat "$OUT/db-native/kept.txt") + $(cat "$OUT/db-win-only/kept.txt")))
    echo "-- clang-tidy: no findings ($kept of them clean and unchanged since their last analysis)"
  else
    echo "-- clang-tidy: FINDINGS"
    status=1
  fi
fi
if [ "$WHAT" != clang-tidy ]; then
  echo "-- cppcheck: $(sort -u "$OUT/db-native/files.txt" "$OUT/db-win/files.txt" | wc -l) files"
  if run_cppcheck; then echo "-- cppcheck: no findings"; else echo "-- cppcheck: FINDINGS"; status=1; fi
fi
exit $status
