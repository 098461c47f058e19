# Wine test bench, sourced by the scripts that run the agent under Wine.
# bench_start: an X display, a fresh Wine prefix copied from the template,
# and the PowerShell double installed in it. bench_stop ends them again.

BENCH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BENCH_CACHE=${TREVANTO_CACHE:-/var/cache/trevanto}
BENCH_BUILD=${TREVANTO_BUILD:-$BENCH_ROOT/build}
BENCH_XVFB_PID=""
source "$BENCH_ROOT/scripts/wine_kind.sh"
BENCH_KIND=$(wine_kind)

bench_free_display() {
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  echo ":$n"
}

bench_start() {
  export WINEARCH=$BENCH_KIND WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # TREVANTO_WINE_PREFIX gives a run a prefix of its own, so that two runs
  # (each in its own sandbox) can go on at once.
  export WINEPREFIX=${TREVANTO_WINE_PREFIX:-$BENCH_BUILD/wine/prefix}
  export TREVANTO_PKI=$BENCH_CACHE/pki
  export TREVANTO_BUILD=$BENCH_BUILD
  export TREVANTO_WINE_KIND=$BENCH_KIND
  # The tree whose programs run under this Wine, and a 7za.exe that runs there.
  if [ "$BENCH_KIND" = win32 ]; then
    export TREVANTO_WINE_TREE=$BENCH_BUILD/win TREVANTO_7ZA=$BENCH_CACHE/7za.exe
  else
    export TREVANTO_WINE_TREE=$BENCH_BUILD/win64 TREVANTO_7ZA=$BENCH_CACHE/7za-x64.exe
  fi

  # Our own X server: a TCP display outside this namespace is not reachable
  # from it. TREVANTO_BENCH_DISPLAY names a local display to use instead
  # (its socket file is), for a person to watch and click.
  local i
  if [ -n "${TREVANTO_BENCH_DISPLAY:-}" ]; then
    export DISPLAY=$TREVANTO_BENCH_DISPLAY
  else
    # A display another run took meanwhile makes this Xvfb end: take the next.
    local attempt
    for attempt in 1 2 3 4 5; do
      DISPLAY=$(bench_free_display)
      export DISPLAY
      Xvfb "$DISPLAY" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
      BENCH_XVFB_PID=$!
      for i in $(seq 100); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.05; done
      sleep 0.2
      kill -0 "$BENCH_XVFB_PID" 2>/dev/null && break
    done
  fi

  # A fresh copy per run: a new prefix means a new wineserver, started inside
  # this namespace, so its sockets live on this namespace's loopback.
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  cp -a "$BENCH_CACHE/wine-template-$BENCH_KIND" "$WINEPREFIX"
  local system32=$WINEPREFIX/drive_c/windows/system32
  local psdir=$system32/WindowsPowerShell/v1.0
  mkdir -p "$psdir"
  cp "$TREVANTO_WINE_TREE/tests/doubles/powershell.exe" "$psdir/powershell.exe"
  cp "$TREVANTO_WINE_TREE/tests/doubles/powershell.exe" "$system32/powershell.exe"
  cp "$TREVANTO_7ZA" "$psdir/7za.exe"
  # Wine's tasklist prints nothing and its find rejects /I: the doubles
  # let the self-update batch file's wait loop run as it does on Windows.
  cp "$TREVANTO_WINE_TREE/tests/doubles/tasklist.exe" "$system32/tasklist.exe"
  cp "$TREVANTO_WINE_TREE/tests/doubles/find.exe" "$system32/find.exe"
  wineserver -p 60
  # Boot the prefix now, detached from any pipe: Wine's background services
  # would otherwise inherit a test runner's output pipe and hold it open.
  wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1
  # Wine prefers its built-in programs; these doubles must win over them.
  local program
  for program in powershell.exe tasklist.exe find.exe; do
    wine reg add 'HKCU\Software\Wine\DllOverrides' /v "$program" /t REG_SZ /d native /f </dev/null >/dev/null 2>&1
  done
}

bench_stop() {
  wineserver -k 2>/dev/null || true
  if [ -n "$BENCH_XVFB_PID" ]; then kill "$BENCH_XVFB_PID" 2>/dev/null || true; fi
  BENCH_XVFB_PID=""
}
