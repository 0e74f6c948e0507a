#!/usr/bin/env bash
# The Debian packages on a fresh Debian 12 system: tests/deb/inside.sh run as root in a new,
# minimal root made with debootstrap (the fresh-root tool, ../shared/fresh beside the project or
# KORPROXY_FRESH), on the committed state of the project (KORPROXY_FRESH_REF, default HEAD).
# Exit 77 (skipped) only where it cannot run: not root, or no fresh-root tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
fresh=${KORPROXY_FRESH:-$root/../shared/fresh}
[ "$(id -u)" -eq 0 ] || { echo "package test skipped: it needs root (debootstrap and chroot)"; exit 77; }
[ -x "$fresh/run_fresh.sh" ] ||
  { echo "package test skipped: no fresh-root tool at $fresh (set KORPROXY_FRESH)"; exit 77; }
. "$root/scripts/lib/packages.sh"
ensure_packages fresh
FRESH_PROJECT=$root FRESH_REF=${KORPROXY_FRESH_REF:-HEAD} FRESH_TIMEOUT=${FRESH_TIMEOUT:-40m} \
  FRESH_TAIL=${FRESH_TAIL:-60} "$fresh/run_fresh.sh" './tests/deb/inside.sh'
