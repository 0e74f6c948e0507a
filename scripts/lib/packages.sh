# Debian packages that the scripts need, and the one way they are installed.
# shellcheck shell=bash
#
# A set is a list of Debian packages; a word "@NAME" takes in set NAME. Add a package to the set
# of the script that needs it (and only there): the demo, for one, must stay quick to set up.

KORPROXY_PKGS_build="cmake g++ make pkg-config libsqlite3-dev libfcgi-dev"
# The demo builds and runs the program and the simulator behind lighttpd, nothing else.
KORPROXY_PKGS_demo="@build lighttpd"
# Unit tests, benchmarks, formatting, and the end-to-end runs (curl for the deployment checks,
# Node.js with npm and chromium for the browser tests).
KORPROXY_PKGS_test="@build libgtest-dev libgmock-dev libbenchmark-dev libssl-dev clang-format
  lighttpd curl chromium nodejs npm
  nginx fcgiwrap spawn-fcgi apache2 apache2-utils libapache2-mod-fcgid
  g++-mingw-w64-x86-64-posix wine wine64 googletest"
KORPROXY_PKGS_load="@build libgtest-dev libgmock-dev lighttpd wrk curl"
KORPROXY_PKGS_perf="@load libbenchmark-dev libssl-dev linux-perf"
KORPROXY_PKGS_fuzz="@build clang libclang-rt-14-dev"
# Building the Debian packages from debian/ and checking them.
KORPROXY_PKGS_deb="@build debhelper dpkg-dev fakeroot lintian"
# The package test's fresh Debian root.
KORPROXY_PKGS_fresh="debootstrap"

# packages_of SET: the packages of SET, the sets it takes in expanded, one a line.
packages_of() {
  local var="KORPROXY_PKGS_$1" p
  [ -n "${!var+set}" ] || { echo "packages.sh: no package set '$1'" >&2; return 1; }
  for p in ${!var}; do
    case $p in
    @*) packages_of "${p#@}" ;;
    *) echo "$p" ;;
    esac
  done
}

# package_present PACKAGE: installed, or (Node.js, npm) provided by a command from elsewhere, such
# as another archive whose nodejs holds npm.
package_present() {
  case $1 in
  nodejs) command -v node >/dev/null && return 0 ;;
  npm) command -v npm >/dev/null && return 0 ;;
  esac
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# apt_lists_current: true when apt has package lists fetched within the last day.
apt_lists_current() {
  [ -n "$(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages*' -mmin -1440 -print -quit \
    2>/dev/null)" ]
}

# ensure_packages SET: installs the packages of SET that are missing (as root), else names them.
ensure_packages() {
  local missing=() p all
  all=$(packages_of "$1") || exit 1
  for p in $(printf '%s\n' "$all" | sort -u); do
    package_present "$p" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages; install them with:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
  local updated=0
  # A new machine has no package lists yet: fetch them first, so a good run shows no errors.
  if ! apt_lists_current; then
    echo "updating the package lists"
    "${apt[@]}" update >/dev/null || { echo "apt-get update failed" >&2; exit 1; }
    updated=1
  fi
  echo "installing: ${missing[*]}"
  "${apt[@]}" install -y "${missing[@]}" >/dev/null && return 0
  # Lists a day old may already name files the archive has replaced.
  [ $updated = 0 ] && "${apt[@]}" update >/dev/null &&
    "${apt[@]}" install -y "${missing[@]}" >/dev/null && return 0
  echo "apt-get could not install: ${missing[*]}" >&2
  exit 1
}
