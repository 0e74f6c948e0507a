#!/usr/bin/env bash
# korproxy.exe under wine, as a CGI program and from the console, against the Linux simulator: what
# it stores lands in the (wine) registry, and every page it writes is byte for byte the page the
# Linux program writes for the same request. Runs in the wine prefix named by WINEPREFIX.
#
#   tests/wine/program.sh KORPROXY_EXE LINUX_BIN_DIR WORK_DIR
set -euo pipefail
exe=$1 linux=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/scripts/lib/stack.sh"
[ -x "$linux/korproxy" ] && [ -x "$linux/velk-sim" ] ||
  { echo "skipped: no Linux korproxy and velk-sim in $linux (build them first)"; exit 77; }

rm -rf "$work"
for side in win linux; do
  mkdir -p "$work/$side"
  cp "$root/web/pxyjump.html" "$root/web/pxycfgform.html" "$root/web/pxylogonform.html" "$root/web/prodname.txt" "$work/$side/"
done
cp "$exe" "$work/win/korproxy.exe"
trap stack_stop EXIT
trap 'exit 130' INT TERM
stack_start_sim "$linux/velk-sim" "$work/velk-sim.log" --admin-id ADMIN --admin-password SECRET1
port=$STACK_SIM_PORT
refused=$(stack_free_port)

fail() { echo "FAIL: $*" >&2; exit 1; }
# The CGI variables of the next run, none for a console run; the runs start in their own folders.
cgi=()
win() { (cd "$work/win" && env -u REQUEST_METHOD "${cgi[@]}" timeout 60 "$here/run-exe" korproxy.exe "$@"); }
lin() {
  (cd "$work/linux" && env -u REQUEST_METHOD KORPROXY_REGISTRY="$work/linux/registry.db" \
    "${cgi[@]}" timeout 60 "$linux/korproxy" "$@")
}
regq() { timeout 30 "$here/run-exe" reg query "HKLM\\SOFTWARE\\Norvane\\VELK\\CurrentVersion\\Proxy\\$1" | tr -d '\r'; }
# same NAME [ARGS...]: runs both programs with the same request (standard input from $input);
# their output and exit status must be equal.
input=/dev/null
same() {
  local name=$1 ws=0 ls=0
  shift
  win "$@" <"$input" >"$work/$name.win" || ws=$?
  lin "$@" <"$input" >"$work/$name.linux" || ls=$?
  [ "$ws" = "$ls" ] || fail "$name: korproxy.exe ended with status $ws, the Linux program with $ls;" \
    "korproxy.exe wrote $(wc -c <"$work/$name.win") bytes ($work/$name.*)"
  cmp "$work/$name.win" "$work/$name.linux" || fail "$name: the outputs differ ($work/$name.*)"
}
expect() { grep -qF -- "$2" "$work/$1.win" || fail "$1: no \"$2\" in $work/$1.win"; }
# get NAME QUERY [USER [TEXT]]: the same GET request (from the web user USER, when not empty) to
# both programs; the page must hold TEXT, when given.
get() {
  cgi=(REQUEST_METHOD=GET "QUERY_STRING=$2" SCRIPT_NAME=/cgi-bin/velkproxy ${3:+"REMOTE_USER=$3"})
  same "$1"
  [ -z "${4:-}" ] || expect "$1" "$4"
}

# Settings left by an earlier run go, and so does the trace they asked for.
win -uninstall >/dev/null
rm -f "$work/win/trace.txt"
store=(-tcps=127.0.0.1 "-tcpp=$port" -cgiUrl=/cgi-bin/velkproxy -trace=trace.txt -proxyId=ADMIN
  -proxyPassword=SECRET1)
same store "${store[@]}"
[ "$(cat "$work/store.win")" = $'Default options have been updated.\nPassword file has been updated' ] ||
  fail "store: $(cat "$work/store.win")"
regq Defaults >"$work/defaults.reg"
regq ProxyUserInfo >"$work/user.reg"
grep -Eq "DefaultServerPort +REG_SZ +$port\$" "$work/defaults.reg" || fail "registry: $(cat "$work/defaults.reg")"
grep -Eq 'CgiUrl +REG_SZ +/cgi-bin/velkproxy$' "$work/defaults.reg" || fail "registry: no CgiUrl"
grep -Eq 'Id +REG_SZ +ADMIN$' "$work/user.reg" || fail "registry: $(cat "$work/user.reg")"
grep -Eq 'Password +REG_BINARY +[0-9A-F]{128}$' "$work/user.reg" || fail "registry: no 64-byte Password"

get page "SERVER=127.0.0.1:$port&URL=/" "" 'Proxy: KORPROXY/'

body=$'SERVER=127.0.0.1:'$port$'&URL=/posted&note=one\r\ntwo&more=three\r\n'
input=$work/post.body
printf '%s' "$body" >"$input"
cgi=(REQUEST_METHOD=POST "CONTENT_LENGTH=${#body}" SCRIPT_NAME=/cgi-bin/velkproxy)
same post
expect post 'three'
input=/dev/null

get setup CONFIG=1 admin ADMIN

# Started in another folder, as IIS may do, the program still finds its pages in its own.
get jump JUMP=1
(cd "$work" && env "${cgi[@]}" timeout 60 "$here/run-exe" win/korproxy.exe) >"$work/jump-elsewhere.win"
cmp "$work/jump-elsewhere.win" "$work/jump.linux" || fail "started elsewhere, it did not find its pages"

get refused "SERVER=127.0.0.1:$refused&URL=/" "" "Connection to 127.0.0.1 port $refused was refused."

# Runs side by side append each trace write whole: every run's entry header is intact (a write
# may follow a line that the program leaves open, so they are not counted at line starts), and
# ends in a bare line feed as on Linux (a text-mode file would add a carriage return).
cgi=(REQUEST_METHOD=GET "QUERY_STRING=SERVER=127.0.0.1:$port&URL=/" SCRIPT_NAME=/cgi-bin/velkproxy)
pids=()
for _ in 1 2 3 4 5 6 7 8; do win >/dev/null & pids+=($!); done
for p in "${pids[@]}"; do wait "$p" || fail "a run side by side failed"; done
trace=$work/win/trace.txt
runs=$(grep -o -- '<---------------------------------------------------->$' "$trace" | wc -l)
entries=$(grep -oE 'Trace file entry generated at: [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} [0-9]{4}$' "$trace" | wc -l)
[ "$runs" = 14 ] && [ "$entries" = 14 ] || fail "trace: $runs separators, $entries entry lines, not 14"
grep -q '(tcpcomm, [0-9]*) Connected to client at address 127.0.0.1' "$trace" || fail "trace: no connect"

# The connection check: every step passes against the simulator, and a refused connection is
# step 6 (the store's place differs, so only korproxy.exe runs). Each run, the check's included,
# also sends its audit line to the event log, which may fail under wine without a word.
cgi=()
win -check >"$work/check.win" || fail "check: status $? ($work/check.win)"
expect check 'All steps passed.'
status=0
win -check=127.0.0.1:$refused >"$work/check-refused.win" || status=$?
[ "$status" = 6 ] || fail "check of a refused port: status $status, not 6"
expect check-refused "TCP connection made: FAILED: Connection to 127.0.0.1 port $refused was refused."

# Web users' own logons are keys of their own in the registry, listed in the same order, and a
# request logs on with its user's; a server off the allowed list is refused before any connect.
for user in bob alice; do same "webuser-$user" "-webUser=$user" -proxyId=ADMIN -proxyPassword=SECRET1; done
same webusers -webUsers
[ "$(cat "$work/webusers.win")" = $'alice\nbob' ] || fail "webUsers: $(cat "$work/webusers.win")"
same shared-no -sharedLogon=no "-allowServers=127.0.0.1:$port"
get own "SERVER=127.0.0.1:$port&URL=/" alice 'Proxy: KORPROXY/'
get off-list "SERVER=127.0.0.1:$refused&URL=/" alice \
  "The server 127.0.0.1:$refused is not one this proxy may connect to."
cgi=()
same open-again -sharedLogon=yes -allowServers=

win -uninstall >/dev/null
if regq "" >/dev/null 2>&1; then fail "uninstall: the Proxy key is still there"; fi
echo "wine program tests passed"
