#!/usr/bin/env bash
# Runs a command inside a private network and mount namespace: only its own
# loopback exists, the vendor host names resolve to 127.0.0.1, and the test
# CA is trusted. Nothing the command does can reach another machine.
#   scripts/sandbox.sh <command> [args...]
set -euo pipefail
CACHE=${TREVANTO_CACHE:-/var/cache/trevanto}
[ -s "$CACHE/pki/bundle.crt" ] && [ -s "$CACHE/hosts" ] || { echo "run scripts/setup.sh first" >&2; exit 2; }
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The hosts file is a private copy, so tests may remap a name for a while.
HOSTS_COPY=$(mktemp /tmp/trevanto-hosts.XXXXXX)
cp "$CACHE/hosts" "$HOSTS_COPY"
chmod 644 "$HOSTS_COPY"
trap 'rm -f "$HOSTS_COPY"' EXIT
$SUDO unshare --mount --net --propagation private bash -c '
  set -e
  ip link set lo up
  mount --bind "$1/pki/bundle.crt" /etc/ssl/certs/ca-certificates.crt
  mount --bind "$2" /etc/hosts
  shift 2
  exec "$@"
' sandbox "$CACHE" "$HOSTS_COPY" "$@"
