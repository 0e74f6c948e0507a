# Debian packages that the scripts need, and the one way they are installed.
# shellcheck shell=bash

KORPROXY_PKGS_build="cmake g++ make pkg-config libsqlite3-dev"
KORPROXY_PKGS_test="$KORPROXY_PKGS_build libgtest-dev libgmock-dev libbenchmark-dev libssl-dev clang-format lighttpd chromium"
KORPROXY_PKGS_test="$KORPROXY_PKGS_test g++-mingw-w64-x86-64-posix wine wine64 googletest"  # korproxy.exe
KORPROXY_PKGS_demo="$KORPROXY_PKGS_build lighttpd"
KORPROXY_PKGS_load="$KORPROXY_PKGS_build libgtest-dev libgmock-dev lighttpd wrk curl"
KORPROXY_PKGS_perf="$KORPROXY_PKGS_load libbenchmark-dev libssl-dev linux-perf time"
KORPROXY_PKGS_fuzz="$KORPROXY_PKGS_build clang libclang-rt-14-dev"

# ensure_packages SET: installs the packages of SET that are missing (as root), else names them.
ensure_packages() {
  local var="KORPROXY_PKGS_$1" missing=() p
  for p in ${!var}; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  # Node.js may come from another archive with npm inside it; only ask for it when npm is absent.
  command -v npm >/dev/null || missing+=(nodejs npm)
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "installing: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null ||
      { apt-get update -q >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null; }
  else
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
}
