#!/usr/bin/env bash
# Checks a deployment configuration of deploy/ with its real web server on 127.0.0.1: the folder URL
# forms reach the program with the query, its own folder and KORPROXY_REGISTRY; the login rule
# holds (KORPROXY_LOGIN=every: every request; settings: the setup form, storing settings and
# FORCETRACE alone); REMOTE_USER is the checked login, never a forged header's; nothing else under
# the folder reaches the program (404). Without CGI_DIR a stand-in that echoes its environment
# answers; with the installed folder, beside 8 requests held by silent servers an ordinary one gets
# its whole page within 2 seconds (velk-sim from the installation's bin folder, or KORPROXY_SIM).
#   [KORPROXY_LOGIN=settings] tests/e2e/deploy-check.sh KIND [CGI_DIR]
# KIND: lighttpd, apache, nginx (CGI), lighttpd-fastcgi, apache-fcgid, nginx-fastcgi (FastCGI).
# Exit 77 when the web server is not installed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/scripts/lib/stack.sh"
kind=${1:?usage: deploy-check.sh lighttpd|apache|nginx|lighttpd-fastcgi|apache-fcgid|nginx-fastcgi [CGI_DIR]}
scope=${KORPROXY_LOGIN:-every}
case $scope in every | settings) ;; *) stack_die "KORPROXY_LOGIN is every or settings" ;; esac
fastcgi=0
case $kind in
lighttpd) needs=(lighttpd) ;;
lighttpd-fastcgi) needs=(lighttpd) fastcgi=1 ;;
apache) needs=(apache2 htpasswd) ;;
apache-fcgid) needs=(apache2 htpasswd /usr/lib/apache2/modules/mod_fcgid.so) fastcgi=1 ;;
nginx) needs=(nginx htpasswd fcgiwrap) ;;
nginx-fastcgi) needs=(nginx htpasswd spawn-fcgi) fastcgi=1 ;;
*) stack_die "unknown web server $kind" ;;
esac
[ -n "${2:-}" ] || needs+=(cc /usr/include/fcgi_stdio.h)
for need in "${needs[@]}"; do
  [ -e "$need" ] || command -v "$need" >/dev/null || { echo "skipped: $need is not installed"; exit 77; }
done

work=$(mktemp -d /tmp/korproxy-deploy-XXXXXX)
chmod 755 "$work"
cgi=$work/cgi registry=$work/store/registry.db port=$(stack_free_port)
fails=0
fail() { echo "FAIL $kind $*"; fails=$((fails + 1)); }
# fcgiwrap's children outlive their parent: the whole group is stopped. The folder stays for its
# logs when a check failed.
group=
finish() {
  stack_stop
  [ -z "$group" ] || kill -- -"$group" 2>/dev/null || true
  [ $fails -ne 0 ] || rm -rf "$work"
}
trap finish EXIT
trap 'exit 130' INT TERM

if [ -n "${2:-}" ]; then
  installed=$(cd "$2" && pwd)
  # The web server's user must reach the program, and a checkout under a private home (/root) is out
  # of its reach: the check runs a copy of the installed folder from its own.
  cp -R "$installed" "$cgi"
  chmod -R a+rX "$cgi"
  fake=0
else
  fake=1
  mkdir -p "$cgi"
  # KORPROXY_REGISTRY comes with the request, or with the process where spawn-fcgi or mod_fcgid set
  # it (the FastCGI library gives each request the request's variables alone).
  cat >"$work/standin.c" <<'C'
#include <fcgi_stdio.h>
#include <stdlib.h>
#include <unistd.h>
static const char* var(const char* name, const char* otherwise) {
  const char* v = getenv(name);
  return v ? v : otherwise;
}
int main(void) {
  char pwd[4096];
  const char* own = var("KORPROXY_REGISTRY", "");
  while (FCGI_Accept() >= 0)
    printf("Content-type: text/plain\r\n\r\npwd=%s\nregistry=%s\nquery=%s\nuser=%s\n",
           getcwd(pwd, sizeof pwd) ? pwd : "", var("KORPROXY_REGISTRY", own),
           var("QUERY_STRING", ""), var("REMOTE_USER", ""));
  return 0;
}
C
  cc -O -o "$cgi/korproxy" "$work/standin.c" -lfcgi
  chmod 755 "$cgi/korproxy"
  echo '<html>template</html>' >"$cgi/pxyjump.html"
fi
mkdir -p "$work/store" "$work/htdocs"

# The user the web server runs the program as owns the store's folder, as the deployment asks.
as_web_user() { [ "$(id -u)" -ne 0 ] || chown www-data "$@"; }

case $kind in
lighttpd*)
  echo 'setup:check-login' >"$work/users"
  login_query='^'
  [ "$scope" = every ] || login_query=$STACK_SETTINGS_LOGIN
  stack_write_lighttpd "$work/srv" "$port" "$cgi" "$registry" "$work/users" \
    "$([ $fastcgi = 1 ] && echo fastcgi || echo cgi)" "$login_query"
  stack_start_lighttpd "$work/srv" "$port"
  ;;
apache*)
  conf=korproxy.conf mods=(cgi)
  if [ $fastcgi = 1 ]; then
    conf=korproxy-fcgid.conf mods=(fcgid)
    mkdir -p "$work/fcgid"
    as_web_user "$work/fcgid"
  fi
  htpasswd -bBc "$work/users" setup check-login 2>/dev/null
  {
    printf '%s\n' "ServerName 127.0.0.1" "Listen 127.0.0.1:$port" "PidFile $work/apache.pid" \
      "ErrorLog $work/apache-error.log" "DefaultRuntimeDir $work" "Mutex file:$work default" \
      "DocumentRoot $work/htdocs" "Define KORPROXY_DIR $cgi" "Define KORPROXY_REGISTRY $registry" \
      "Define KORPROXY_USERS $work/users"
    for mod in mpm_prefork authz_core authz_user authn_core authn_file auth_basic alias env "${mods[@]}"; do
      echo "LoadModule ${mod}_module /usr/lib/apache2/modules/mod_$mod.so"
    done
    [ $fastcgi = 0 ] || printf '%s\n' "FcgidIPCDir $work/fcgid" "FcgidProcessTableFile $work/fcgid/table"
    [ "$(id -u)" -ne 0 ] || printf '%s\n' "User www-data" "Group www-data"
    [ "$scope" = every ] ||
      echo "Define KORPROXY_LOGIN \"(^|&)(setup|config|logon|forcetrace)|%(26|[4-7])\""
    echo "Include $root/deploy/apache/$conf"
  } >"$work/apache.conf"
  as_web_user "$work/store"
  apache2 -t -f "$work/apache.conf" >/dev/null 2>&1 || { apache2 -t -f "$work/apache.conf"; exit 1; }
  # A session of its own: Apache signals its whole process group when it stops.
  setsid apache2 -f "$work/apache.conf" -DFOREGROUND >"$work/apache-console.log" 2>&1 &
  STACK_PIDS+=($!)
  stack_wait_port "$port" 10 $! || { cat "$work"/apache*.log; stack_die "apache did not start"; }
  ;;
nginx*)
  if [ $fastcgi = 1 ]; then
    # As the deployment's comment says: the program in its own folder, on its own socket.
    sock="$work/fastcgi.sock" conf=korproxy-fastcgi.conf
    user=()
    [ "$(id -u)" -ne 0 ] || user=(-u www-data -g www-data)
    as_web_user "$work/store"
    env KORPROXY_REGISTRY="$registry" spawn-fcgi -n -s "$sock" -M 0666 "${user[@]}" -d "$cgi" \
      -- "$cgi/korproxy" >"$work/spawn-fcgi.log" 2>&1 &
    STACK_PIDS+=($!)
  else
    sock="$work/fcgiwrap.sock" conf=korproxy.conf
    # As many children as the deployment's systemd drop-in gives fcgiwrap.
    children=$(sed -n 's/.* -c \([0-9]*\).*/\1/p' "$root/deploy/nginx/fcgiwrap.conf")
    setsid fcgiwrap -c "${children:?}" -s "unix:$sock" >"$work/fcgiwrap.log" 2>&1 &
    group=$!
    STACK_PIDS+=($!)
  fi
  htpasswd -bBc "$work/users" setup check-login 2>/dev/null
  mkdir -p "$work/tmp"
  # The alternative rule: the map's first line gives way to the three commented ones.
  rule=()
  [ "$scope" = every ] || rule=(-e '/^  default  *"korproxy";/d' -e 's/^  # \(default  *off;\|"~\)/  \1/')
  sed -e '' "${rule[@]}" "$root/deploy/nginx/korproxy-http.conf" >"$work/korproxy-http.conf"
  for ((i = 0; i < 50; i++)); do [ -S "$sock" ] && break; sleep 0.1; done
  chmod 666 "$sock"
  sed -e "s#/usr/local/lib/cgi-bin/velkproxy#$cgi#" -e "s#/var/lib/korproxy/registry.db#$registry#" \
    -e "s#/etc/nginx/korproxy.users#$work/users#" \
    -e "s#unix:/run/fcgiwrap.socket#unix:$sock#" -e "s#unix:/run/korproxy/fastcgi.socket#unix:$sock#" \
    "$root/deploy/nginx/$conf" >"$work/korproxy.conf"
  cat >"$work/nginx.conf" <<CONF
daemon off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
  access_log off;
$(for t in client_body fastcgi proxy uwsgi scgi; do echo "  ${t}_temp_path $work/tmp/$t;"; done)
  include $work/korproxy-http.conf;
  server {
    listen 127.0.0.1:$port;
    root $work/htdocs;
    include $work/korproxy.conf;
  }
}
CONF
  nginx -t -c "$work/nginx.conf" >/dev/null 2>&1 || { nginx -t -c "$work/nginx.conf"; exit 1; }
  nginx -c "$work/nginx.conf" >"$work/nginx-console.log" 2>&1 &
  STACK_PIDS+=($!)
  stack_wait_port "$port" 10 $! || { cat "$work"/nginx*.log; stack_die "nginx did not start"; }
  ;;
esac

base="http://127.0.0.1:$port"
login=(-u setup:check-login)
forged=(-H "Authorization: Basic $(printf 'forged-admin:x' | base64)")
# expect STATUS PATH [curl options]: the answer's status, and for the stand-in its environment:
# REMOTE_USER is the checked login's name with that login, empty without.
expect() {
  local want=$1 path=$2 got body user=
  shift 2
  [[ " $* " != *" ${login[*]} "* ]] || user=setup
  body=$(curl -s -m 30 -o - -w '\n%{http_code}' "$@" "$base$path") || true
  got=${body##*$'\n'}
  body=${body%$'\n'*}
  body=${body%$'\n'}
  [ "$got" = "$want" ] || { fail "$path $*: status $got, expected $want"; return; }
  local q=${path#*\?}
  [ "$q" != "$path" ] || q=
  if [ "$want" = 200 ] && [ $fake = 1 ] &&
    [ "$body" != "$(printf 'pwd=%s\nregistry=%s\nquery=%s\nuser=%s' "$cgi" "$registry" "$q" "$user")" ]; then
    fail "$path $*: program saw"$'\n'"$body"
    return
  fi
  echo "ok   $kind $path $* -> $got"
}

# Pages that are not settings: every one asks for the login under the shipped rule; under the
# alternative one they answer without, and a forged Authorization header names no user.
page=200 auth=()
[ "$scope" = every ] && page=401 auth=("${login[@]}")
for p in /cgi-bin/velkproxy /cgi-bin/velkproxy/ /cgi-bin/velkproxy/korproxy; do
  expect 200 "$p" "${auth[@]}"
  expect 200 "$p?SERVER=h%3A1500&URL=%2Fobject%2Fa.b" "${auth[@]}"
  expect $page "$p?JUMP=1"
  expect $page "$p?JUMP=1" "${forged[@]}"
done
expect $page "/cgi-bin/velkproxy/" -d 'SERVER=h%3A1500&URL=%2F'
for q in CONFIG=1 config=1 'SETUP=SETUP&ID=a' 'FORCETRACE=1&JUMP=1' 'JUMP=1&%26CONFIG=1' LOGON=1 \
  'x=1&%43ONFIG=1' 'x=1&%66orcetrace=1'; do
  expect 401 "/cgi-bin/velkproxy/?$q"
  expect 401 "/cgi-bin/velkproxy/?$q" "${forged[@]}"
done
# The program decodes SETU%5z to SETUP: an escape need not be well formed to spell a name. The
# rule must ask for the login, unless the web server re-escapes the stray "%" before the rule and
# the program see it (lighttpd passes SETU%255z on, which decodes to no name).
bypass='SETU%5z=SETUP&DADDRESS=h&ID=a'
answer=$(curl -s -m 30 -w '\n%{http_code}' "$base/cgi-bin/velkproxy/?$bypass") || true
if [ "${answer##*$'\n'}" = 401 ]; then
  echo "ok   $kind ?$bypass -> 401"
elif [ $fake = 1 ] && [[ $answer == *"query=SETU%255z=SETUP&"* ]]; then
  echo "ok   $kind ?$bypass -> re-escaped before the rule"
elif [ $fake = 0 ]; then
  echo "--   $kind ?$bypass: re-escaping shows only with the stand-in"
else
  fail "?$bypass: neither asked for the login nor re-escaped"
fi
expect 200 "/cgi-bin/velkproxy/?CONFIG=1" "${login[@]}"
expect 200 "/cgi-bin/velkproxy?SETUP=SETUP&DPORT=1500" "${login[@]}"
# Nothing else under the folder is served, nor reaches the program.
for p in /cgi-bin/velkproxy/pxyjump.html /cgi-bin/velkproxy/korproxyX /cgi-bin/velkproxy/korproxy/x \
  /cgi-bin/velkproxy/k%6Froxy/x; do
  expect 404 "$p" "${login[@]}"
  expect 404 "$p?JUMP=1"
done

# held_check: with the real program, 8 requests held by silent servers and an ordinary one beside
# them, which must get its whole page within 2 seconds.
held_check() {
  local sim=${KORPROXY_SIM:-$installed/../../../bin/velk-sim} i held took page
  [ -x "$sim" ] || { fail "no velk-sim for the held requests ($sim)"; return; }
  stack_start_sim "$sim" "$work/sim.log" --admin-id ADMIN --admin-password secret
  local normal=$STACK_SIM_PORT
  stack_start_sim "$sim" "$work/silent.log" --silent
  local silent=$STACK_SIM_PORT silent_pid=$STACK_SIM_PID
  stack_admin "$cgi" "$registry" -proxyId=ADMIN -proxyPassword=secret -tcps=127.0.0.1 \
    -tcpp="$normal" >/dev/null
  as_web_user "$work/store" "$work/store"/*
  local pids=()
  for ((i = 0; i < 8; i++)); do
    curl -s -m 90 "${login[@]}" -o /dev/null "$base/cgi-bin/velkproxy/?SERVER=127.0.0.1:$silent&URL=/" &
    pids+=($!)
  done
  for ((i = 0; i < 100; i++)); do
    held=$(ss -Htn state established "( sport = :$silent )" | wc -l)
    [ "$held" -ge 8 ] && break
    sleep 0.1
  done
  took=$(curl -s -m 10 "${login[@]}" -o "$work/page" -w '%{time_total}' \
    "$base/cgi-bin/velkproxy/?SERVER=127.0.0.1:$normal&URL=/size/1024") || true
  kill "$silent_pid"  # the held requests end with their error pages
  wait "${pids[@]}" 2>/dev/null || true
  page=$(cat "$work/page" 2>/dev/null || true)
  if [ "$held" -lt 8 ]; then
    fail "only $held requests held by the silent server"
  elif [[ $page != *"1024 bytes"*"</html>"* ]] || awk -v t="$took" 'BEGIN { exit !(t >= 2) }'; then
    fail "beside 8 held requests the page took ${took}s:"$'\n'"$page"
  else
    echo "ok   $kind page beside 8 held requests in ${took}s"
  fi
}
[ $fake = 1 ] || held_check
[ $fails -eq 0 ] || { echo "$kind: $fails checks failed (logs in $work)"; exit 1; }
echo "$kind ($scope login): deployment checks passed"
