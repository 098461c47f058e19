#!/usr/bin/env bash
# Prepares this Debian 12 machine for building and testing the agent.
# Idempotent: every step checks whether its result is already there.
#   - Debian packages (MinGW-w64, Wine, Xvfb, test and service libraries)
#   - genuine 7za.exe consoles (32- and 64-bit) from the npm package 7zip-bin
#   - a test CA with a server certificate for the vendor host names
#   - a hosts file mapping those names to 127.0.0.1
#   - a template Wine prefix (Windows 10, font replacements)
# Which Wine (32-bit, or 64-bit where the kernel cannot run 32-bit programs)
# is decided by scripts/wine_kind.sh.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
source "$ROOT/scripts/wine_kind.sh"
KIND=$(wine_kind)
CACHE=${TREVANTO_CACHE:-/var/cache/trevanto}
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

API_HOST=${TREVANTO_API_HOST:-api.marvek.example}
DL_HOST=${TREVANTO_DOWNLOAD_HOST:-descargas.marvek.example}
IMG_HOST=${TREVANTO_IMAGE_HOST:-imagenes.marvek.example}

log() { printf '[setup] %s\n' "$*"; }

PACKAGES=(
  cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686
  nlohmann-json3-dev googletest libgtest-dev
  libcpp-httplib-dev libssl-dev libsqlite3-dev openssl libboost1.81-dev wrk nginx-light
  libpq-dev postgresql-15 python3-psycopg2
  python3-pytest python3-pil chromium chromium-driver python3-selenium
  xvfb xdotool imagemagick fonts-liberation fonts-wine
  iproute2 util-linux curl ca-certificates pkg-config time
  clang-14 libclang-rt-14-dev clang-tidy-14 cppcheck
)

if [ "$KIND" = win32 ]; then
  WINE_PACKAGES=(wine wine32:i386)
else
  WINE_PACKAGES=(wine wine64 libwine g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64)
fi

# apt-get install taking only the sources that are not the security suite.
install_from_main_archive() {
  local parts
  parts=$(mktemp -d)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" } !/-security/' "$f" > "$parts/$(basename "$f")"
  done
  [ -f /etc/apt/sources.list ] && grep -v -- '-security' /etc/apt/sources.list > "$parts/main.list" || true
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o Dir::Etc::SourceParts="$parts" -o Dir::Etc::SourceList=/dev/null \
    install -y -qq --no-install-recommends "$@" >/dev/null
  local status=$?
  rm -rf "$parts"
  return $status
}

install_packages() {
  local missing=()
  # npm usually comes with the machine's Node.js; Debian's npm conflicts with it.
  command -v npm >/dev/null 2>&1 || missing+=(npm)
  for p in "${PACKAGES[@]}" "${WINE_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ "$KIND" = win64 ] && dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    # Debian's wine command prefers the 32-bit loader, which cannot run here.
    log "removing wine32:i386 (this kernel runs no 32-bit programs)"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get remove -y -qq wine32:i386 >/dev/null
  fi
  if [ ${#missing[@]} -eq 0 ]; then
    log "packages present"
    return
  fi
  log "installing: ${missing[*]}"
  if [ "$KIND" = win32 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq || true
  if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null; then
    # A mirror caught mid-sync can leave one architecture's index of a suite
    # behind the other's; multiarch packages then cannot be matched. Retry
    # once after a pause, then without the security suite, whose versions
    # are the ones that drift (the main archive holds both architectures
    # in step).
    log "install failed; retrying after a fresh index"
    sleep 20
    $SUDO apt-get update -qq || true
    if ! DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null; then
      log "install failed again; installing from the main archive alone"
      install_from_main_archive "${missing[@]}"
    fi
  fi
  # Debian's nginx starts its system instance where it can; the project
  # only ever runs nginx with configurations of its own.
  if [ -s /run/nginx.pid ]; then $SUDO nginx -s stop 2>/dev/null || true; fi
  # So does PostgreSQL's with its "main" cluster; the tests start servers
  # of their own in temporary folders (scripts/postgres.sh).
  if [[ " ${missing[*]} " == *" postgresql-15 "* ]] && command -v pg_lsclusters >/dev/null; then
    pg_lsclusters -h 2>/dev/null | awk '$4 == "online" {print $1, $2}' | while read -r version cluster; do
      $SUDO pg_ctlcluster "$version" "$cluster" stop 2>/dev/null || true
    done
  fi
}

# 7za.exe is the 32-bit console the vendor ships; 7za-x64.exe runs in a
# 64-bit Wine prefix.
fetch_7za() {
  if [ -s "$CACHE/7za.exe" ] && [ -s "$CACHE/7za-x64.exe" ]; then log "7za.exe present"; return; fi
  log "fetching 7za.exe from npm package 7zip-bin@5.2.0"
  local tmp
  tmp=$(mktemp -d)
  (cd "$tmp" && npm pack --silent 7zip-bin@5.2.0 >/dev/null && tar xzf 7zip-bin-5.2.0.tgz)
  $SUDO mkdir -p "$CACHE"
  $SUDO cp "$tmp/package/win/ia32/7za.exe" "$CACHE/7za.exe"
  $SUDO cp "$tmp/package/win/x64/7za.exe" "$CACHE/7za-x64.exe"
  rm -rf "$tmp"
}

make_certificates() {
  local dir=$CACHE/pki
  if [ -s "$dir/bundle.crt" ] && [ -s "$dir/server.key" ]; then log "certificates present"; return; fi
  log "creating test CA and server certificate"
  $SUDO mkdir -p "$dir"
  local tmp
  tmp=$(mktemp -d)
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=Trevanto Test CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$tmp/ca.key" -out "$tmp/ca.crt" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=$API_HOST" \
    -keyout "$tmp/server.key" -out "$tmp/server.csr" 2>/dev/null
  printf 'subjectAltName=DNS:%s,DNS:%s,DNS:%s,DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    "$API_HOST" "$DL_HOST" "$IMG_HOST" > "$tmp/ext.cnf"
  openssl x509 -req -in "$tmp/server.csr" -CA "$tmp/ca.crt" -CAkey "$tmp/ca.key" -CAcreateserial \
    -days 3650 -extfile "$tmp/ext.cnf" -out "$tmp/server.crt" 2>/dev/null
  cat /etc/ssl/certs/ca-certificates.crt "$tmp/ca.crt" > "$tmp/bundle.crt"
  $SUDO cp "$tmp/ca.crt" "$tmp/server.crt" "$tmp/server.key" "$tmp/bundle.crt" "$dir/"
  rm -rf "$tmp"
}

make_hosts() {
  local f=$CACHE/hosts
  log "writing hosts file"
  {
    echo "127.0.0.1 localhost"
    echo "127.0.0.1 $API_HOST $DL_HOST $IMG_HOST"
    echo "127.0.0.2 inalcanzable.marvek.example"
  } | $SUDO tee "$f" >/dev/null
}

make_wine_template() {
  local prefix=$CACHE/wine-template-$KIND
  if [ -f "$prefix/.trevanto-ready" ]; then log "wine template ($KIND) present"; return; fi
  log "creating template Wine prefix ($KIND, takes a minute)"
  $SUDO rm -rf "$prefix"
  export WINEPREFIX=$prefix WINEARCH=$KIND WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot --init >/dev/null 2>&1
  wineserver -w
  local reg='HKCU\Software\Wine\Fonts\Replacements'
  for font in Arial "Segoe UI" Tahoma "MS Sans Serif" "Microsoft Sans Serif"; do
    wine reg add "$reg" /v "$font" /t REG_SZ /d "Liberation Sans" /f >/dev/null 2>&1
  done
  wine reg add 'HKCU\Software\Wine\DllOverrides' /v powershell.exe /t REG_SZ /d native /f >/dev/null 2>&1
  winecfg -v win10 >/dev/null 2>&1
  wineserver -w
  touch "$prefix/.trevanto-ready"
}

install_packages
fetch_7za
make_certificates
make_hosts
make_wine_template
log "ready"
