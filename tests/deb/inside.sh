#!/usr/bin/env bash
# The package test's own part, run as root on a fresh Debian 12 system with the project in the
# current folder (tests/deb/install-check.sh starts it there): builds the packages, then for
# lighttpd and for Apache installs them with the web server, enables korproxy, checks that every
# page is refused until the login file (made by the package, 0640 root:www-data) names a user and
# that a new install stored RequireLogin, stores settings with korproxy-admin, starts velk-sim,
# fetches the start page through the web server with the login, and purges the packages, checking
# that nothing of them is left. The program links the FastCGI library as a shared library.
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/lib/packages.sh
. scripts/lib/stack.sh

debs=/root/korproxy-debs
KORPROXY_DEB_DIR=$debs ./scripts/debs
export DEBIAN_FRONTEND=noninteractive
apt=(apt-get -q -y -o DPkg::Lock::Timeout=600)
"${apt[@]}" install curl >/dev/null

fails=0
fail() { echo "FAIL $*"; fails=$((fails + 1)); }
# status URL [curl options]: the HTTP status of URL; the page lands in /tmp/korproxy-page.
status() { curl -s -m 30 -o /tmp/korproxy-page -w '%{http_code}' "${@:2}" "$1" || true; }

# check_server NAME PORT: the checks through a running web server.
check_server() {
  local base="http://127.0.0.1:$2/cgi-bin/velkproxy" got page
  [ "$(stat -c '%a %U %G' /etc/korproxy/users)" = "640 root www-data" ] ||
    fail "$1: login file $(stat -c '%a %U %G' /etc/korproxy/users)"
  # Every page asks for the login, and none answers while the login file names no user.
  for page in "" "?JUMP=1" "?CONFIG=1"; do
    got=$(status "$base/$page")
    [[ $got == 401 ]] || fail "$1: $page without a login: $got"
    got=$(status "$base/$page" -u admin:wrong)
    [[ $got != 200 ]] || fail "$1: $page answered while the login file is empty"
  done
  [ "$(stat -c %U "$(dirname "$KORPROXY_STORE")")" = www-data ] || fail "$1: store folder owner"
  # A new install stored RequireLogin: a request that the web server did not sign in is refused.
  got=$(cd /usr/lib/cgi-bin/velkproxy && env -i REQUEST_METHOD=GET QUERY_STRING=JUMP=1 \
    KORPROXY_REGISTRY="$KORPROXY_STORE" setpriv --reuid=www-data --regid=www-data --init-groups \
    ./korproxy)
  [[ $got == *"This proxy needs a web login"* ]] || fail "$1: RequireLogin not stored: $got"
  # Root storing by hand with the program itself must leave a store the web server can open.
  (cd /usr/lib/cgi-bin/velkproxy && ./korproxy -cgiUrl=/cgi-bin/velkproxy >/dev/null)
  local f
  for f in "$KORPROXY_STORE" "$KORPROXY_STORE-journal"; do
    [ ! -e "$f" ] || [ "$(stat -c %U "$f")" = www-data ] || fail "$1: root left $f root's"
  done
  korproxy-admin -tcps=127.0.0.1 -tcpp="$STACK_SIM_PORT" -cgiUrl=/cgi-bin/velkproxy \
    -trace=/var/log/korproxy/proxytrace.txt -proxyId=ADMIN -proxyPassword=secret
  [ "$(stat -c %U "$KORPROXY_STORE")" = www-data ] || fail "$1: the store is not www-data's"
  korproxy-admin check >/tmp/korproxy-check || fail "$1: check: status $? $(cat /tmp/korproxy-check)"
  grep -q '^All steps passed.$' /tmp/korproxy-check || fail "$1: check: $(cat /tmp/korproxy-check)"
  htpasswd -bB /etc/korproxy/users admin setup-login 2>/dev/null
  [ "$(stat -c '%a %U %G' /etc/korproxy/users)" = "640 root www-data" ] ||
    fail "$1: htpasswd -B changed the login file to $(stat -c '%a %U %G' /etc/korproxy/users)"
  got=$(status "$base/" -u admin:setup-login)
  [ "$got" = 200 ] && grep -q 'Administration - VELK server' /tmp/korproxy-page ||
    fail "$1: start page: $got $(head -c 400 /tmp/korproxy-page)"
  [ -s /var/log/korproxy/proxytrace.txt ] || fail "$1: no trace in /var/log/korproxy"
  got=$(status "$base/?CONFIG=1" -u admin:setup-login)
  [ "$got" = 200 ] && grep -qi '<form' /tmp/korproxy-page || fail "$1: setup form with login: $got"
  for page in "" "?CONFIG=1"; do
    got=$(status "$base/$page")
    [[ $got == 401 ]] || fail "$1: $page without credentials once the login exists: $got"
  done
}

# purge_and_check NAME: purges both packages and checks that none of their files, folders or
# enabled configurations are left.
purge_and_check() {
  local files path
  files=$(dpkg -L korproxy korproxy-sim | sort -r)
  "${apt[@]}" purge korproxy korproxy-sim >/dev/null
  while read -r path; do
    [ "$path" != / ] && [ "$path" != /. ] || continue
    [ -e "$path" ] || [ -L "$path" ] || continue
    # A folder shared with other installed packages stays.
    [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
    fail "$1: left after purge: $path"
  done <<<"$files"
  for path in /var/lib/korproxy /var/log/korproxy /etc/korproxy \
    /etc/apache2/conf-enabled/korproxy.conf /etc/lighttpd/conf-enabled/50-korproxy.conf; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$1: left after purge: $path"
  done
}

KORPROXY_STORE=/var/lib/korproxy/registry.db
trap stack_stop EXIT

for server in lighttpd apache; do
  echo "== $server"
  web=(lighttpd apache2-utils)
  [ $server = lighttpd ] || web=(apache2)
  "${apt[@]}" install "$debs"/korproxy_*.deb "$debs"/korproxy-sim_*.deb "${web[@]}" >/dev/null
  # Security updates of the FastCGI library reach the program only when it is linked shared.
  ldd /usr/lib/cgi-bin/velkproxy/korproxy | grep -q 'libfcgi\.so' || fail "libfcgi is not linked shared"
  stack_start_sim /usr/bin/velk-sim /tmp/velk-sim.log --admin-id ADMIN --admin-password secret
  port=$(stack_free_port)
  if [ $server = lighttpd ]; then
    sed -i -e "s/^server.port .*/server.port = $port/" /etc/lighttpd/lighttpd.conf
    echo 'server.bind = "127.0.0.1"' >>/etc/lighttpd/lighttpd.conf
    lighty-enable-mod korproxy >/dev/null
    lighttpd -tt -f /etc/lighttpd/lighttpd.conf
    lighttpd -D -f /etc/lighttpd/lighttpd.conf >/tmp/lighttpd-console.log 2>&1 &
  else
    [ -L /etc/apache2/conf-enabled/korproxy.conf ] || fail "apache: korproxy.conf not enabled"
    printf 'Listen 127.0.0.1:%s\n' "$port" >/etc/apache2/ports.conf
    apache2ctl configtest
    # A session of its own: Apache signals its whole process group when it stops.
    (set +u && . /etc/apache2/envvars && mkdir -p "$APACHE_RUN_DIR" "$APACHE_LOCK_DIR" &&
      exec setsid apache2 -DFOREGROUND) >/tmp/$server-console.log 2>&1 &
  fi
  STACK_PIDS+=($!)
  stack_wait_port "$port" 10 $! || { cat /tmp/$server-console.log; stack_die "$server did not start"; }
  check_server $server "$port"
  stack_stop
  purge_and_check $server
done

[ $fails -eq 0 ] || { echo "package test: $fails checks failed"; exit 1; }
echo "package test passed"
