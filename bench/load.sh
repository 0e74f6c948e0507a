#!/usr/bin/env bash
# Load: lighttpd and two simulators on 127.0.0.1, the proxy installed as the demo installs it, a
# settings store of its own with the trace on. Two bounded wrk runs of LOAD_REQUESTS requests at
# LOAD_CONNECTIONS connections each fetch the default server's start page:
#   1. alone;
#   2. while one process rewrites the default server through the command line, switching between
#      127.0.0.1:PORT_A and localhost:PORT_B, as fast as it can.
# After each run: no failed request (wrk errors, non-200 answers, error pages), the trace holds
# only whole lines, no settings read failed, and every request read one of the two whole settings
# (server and port of the same write). Prints the figures; with LOAD_MARKDOWN=FILE also writes
# them there as a table. Exits non-zero when a check fails.
#
#   bench/load.sh [BUILD_DIR]      LOAD_REQUESTS=2000 LOAD_CONNECTIONS=16
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/scripts/lib/packages.sh"
. "$root/scripts/lib/stack.sh"
ensure_packages load

build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
requests=${LOAD_REQUESTS:-2000}
connections=${LOAD_CONNECTIONS:-16}
# wrk's own bound: a run that has not finished its requests by then has failed.
wrk_seconds=${LOAD_MAX_SECONDS:-300}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target korproxy velk-sim >/dev/null

work="$build/load"
rm -rf "$work"
mkdir -p "$work"
stack_install "$build" "$work/install"
registry="$work/registry.db"
trace_name=loadtrace.txt
trace="$STACK_CGI_DIR/$trace_name"

rewriter_pid=""
cleanup() {
  [ -n "$rewriter_pid" ] && kill "$rewriter_pid" 2>/dev/null && wait "$rewriter_pid" 2>/dev/null
  stack_stop
}
trap cleanup EXIT
trap 'exit 130' INT TERM

admin_id=LOADADM
admin_password=LOADPW1
sim="$build/bin/velk-sim"
stack_start_sim "$sim" "$work/velk-sim-a.log" --admin-id "$admin_id" --admin-password "$admin_password" \
  --log "$work/velk-sim-a.txt"
port_a=$STACK_SIM_PORT
stack_start_sim "$sim" "$work/velk-sim-b.log" --admin-id "$admin_id" --admin-password "$admin_password" \
  --log "$work/velk-sim-b.txt"
port_b=$STACK_SIM_PORT
web_port=$(stack_free_port)
printf 'setup:load\n' >"$work/setup.users"
stack_write_lighttpd "$work/lighttpd" "$web_port" "$STACK_CGI_DIR" "$registry" "$work/setup.users"

# The two settings a request may read: server and port always come from the same write.
pair_a="127.0.0.1 $port_a"
pair_b="localhost $port_b"
store_pair() { stack_admin "$STACK_CGI_DIR" "$registry" -tcps="$1" -tcpp="$2"; }

stack_admin "$STACK_CGI_DIR" "$registry" -tcps=127.0.0.1 -tcpp="$port_a" \
  -cgiUrl=/cgi-bin/velkproxy -trace="$trace_name" \
  -proxyId="$admin_id" -proxyPassword="$admin_password" >/dev/null
stack_start_lighttpd "$work/lighttpd" "$web_port"
url="http://127.0.0.1:$web_port/cgi-bin/velkproxy/"

# Every line a page dump in the trace may hold: the start pages of both servers, as relayed.
fetch() { curl -sS --max-time 30 -o "$1" -w '%{http_code}' "$url"; }
[ "$(fetch "$work/page-a.html")" = 200 ] || stack_die "no start page from $pair_a"
store_pair localhost "$port_b" >/dev/null
[ "$(fetch "$work/page-b.html")" = 200 ] || stack_die "no start page from $pair_b"
store_pair 127.0.0.1 "$port_a" >/dev/null
marker="signed on as $admin_id"
grep -q "$marker" "$work/page-a.html" || stack_die "the start page lacks \"$marker\""
grep -q "$marker" "$work/page-b.html" || stack_die "the start page lacks \"$marker\""

failed=0
check() { # check NAME OK-CONDITION-RESULT DETAIL
  if [ "$2" = 0 ]; then
    printf '  ok    %s\n' "$1"
  else
    printf '  FAIL  %s: %s\n' "$1" "$3"
    failed=1
  fi
}

# check_trace RUN: the trace lines of one run, in $work/trace-RUN.txt.
check_trace() {
  local file="$work/trace-$1.txt" torn pairs failures
  # A line is a trace line "(source, N) ...", a line a trace line continues on (the banner, the
  # date, the command text of "With the following request", an empty line, a line of a relayed
  # page, the command line's own lines), or a line closing a command text followed by the next trace line. A second "(source, N)"
  # anywhere else means two writes met within one line.
  torn=$(awk -v pages="$work/page-a.html $work/page-b.html" '
    BEGIN {
      n = split(pages, files, " ")
      for (i = 1; i <= n; i++) while ((getline line < files[i]) > 0) page[line] = 1
    }
    function known(s) {
      return s ~ /^\([a-z_-]+, [0-9]+\)/ || s ~ /^<-+>$/ || s ~ /^Trace file entry generated at: / ||
             s ~ /^We are open and ready to recieve data from the other side$/ ||
             s ~ /^With the following request \(HTML \/ PROXYURL=\/cgi-bin\/velkproxy$/ || s == "" ||
             s == "." || s ~ /^Processing command option \(-[A-Za-z]+=[^)]*\) i = [0-9]+$/ ||
             (s in page)
    }
    {
      line = $0
      if (substr(line, 1, 1) == ")") line = substr(line, 2)
      rest = line
      sub(/^\([a-z_-]+, [0-9]+\)/, "", rest)
      if (!known(line) || rest ~ /\([a-z_-]+, [0-9]+\)/ && !(line in page)) { print NR ": " $0; bad++ }
    }
    END { exit bad > 0 }' "$file" | head -n 5) || true
  check "trace holds only whole lines" "$([ -z "$torn" ] && echo 0 || echo 1)" "$torn"
  failures=$(grep -cE 'settings store|psReadDefaultFile\(\)|Unable to read password file' "$file" || true)
  check "every settings read succeeded" "$([ "$failures" = 0 ] && echo 0 || echo 1)" \
    "$failures failure lines in $file"
  pairs=$(sed -n 's/^(korproxy, [0-9]*) optsP -> server (\([^)]*\)) port (\([^)]*\)) traceFile (\([^)]*\)) cgiUrl (\([^)]*\))$/\1 \2|\3|\4/p' "$file" |
    sort | uniq -c | sed 's/^ *//')
  local torn_pairs
  torn_pairs=$(printf '%s\n' "$pairs" | awk -v a="$pair_a|$trace_name|/cgi-bin/velkproxy" \
    -v b="$pair_b|$trace_name|/cgi-bin/velkproxy" '{ c = $1; $1 = ""; sub(/^ /, "") } $0 != a && $0 != b { print c " x " $0 }')
  check "no setting torn" "$([ -z "$torn_pairs" ] && echo 0 || echo 1)" "$torn_pairs"
  printf '        settings read: %s\n' "$(printf '%s' "$pairs" | tr '\n' ';')"
}

# run NAME: one wrk run, interrupted once the requests are answered (or after wrk_seconds);
# sets FIGURES.
run() {
  local name=$1 i
  : >"$trace"
  # Failed requests are counted below, not fatal here.
  KORPROXY_EXPECT="$marker" stack_wrk "$work/wrk-$name.txt" "$url" "$connections" "$requests" \
    "$wrk_seconds" || true
  # Requests cut off by the interruption may still be running: their trace lines count too.
  for ((i = 0; i < 100; i++)); do
    pgrep -f "^$STACK_CGI_DIR/korproxy" >/dev/null || break
    sleep 0.1
  done
  FIGURES=$(grep '^requests=' "$work/wrk-$name.txt" | tail -n1)
  [ -n "$FIGURES" ] || stack_die "wrk printed no figures: $(cat "$work/wrk-$name.txt")"
  cp "$trace" "$work/trace-$name.txt"
}

figure() { printf '%s\n' "$FIGURES" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
report_run() {
  local done_requests errors bad
  done_requests=$(figure requests)
  errors=$(figure errors)
  bad=$(figure bad_bodies)
  printf '  %s requests in %s s: %s requests/s, p50 %s ms, p99 %s ms\n' "$done_requests" \
    "$(figure seconds)" "$(figure rps)" "$(figure p50_ms)" "$(figure p99_ms)"
  check "all $requests requests answered" "$([ "$done_requests" -ge "$requests" ] && echo 0 || echo 1)" \
    "only $done_requests"
  check "no failed request" "$([ "$errors" = 0 ] && [ "$bad" = 0 ] && echo 0 || echo 1)" \
    "$errors socket/status errors, $bad error pages"
}

echo "== load: $requests requests, $connections connections, trace on"
run alone
report_run
check_trace alone
figures_alone=$FIGURES

echo "== load with the settings rewritten meanwhile"
touch "$work/rewriting"
(
  # Bounded: stops when the parent removes the flag file, or after 100000 rewrites.
  n=0
  while [ -e "$work/rewriting" ] && [ "$n" -lt 100000 ]; do
    if [ $((n % 2)) = 0 ]; then set -- localhost "$port_b"; else set -- 127.0.0.1 "$port_a"; fi
    reply=$(store_pair "$1" "$2" 2>&1) || true
    case "$reply" in
      *"Default options have been updated."*) echo ok ;;
      *) echo "failed: $reply" ;;
    esac
    n=$((n + 1))
  done >"$work/rewrites.txt"
) &
rewriter_pid=$!
run rewriting
rm -f "$work/rewriting"
wait "$rewriter_pid" || true
rewriter_pid=""
report_run
rewrites=$(grep -c '^ok$' "$work/rewrites.txt" || true)
rewrite_failures=$(grep -c '^failed' "$work/rewrites.txt" || true)
check "every rewrite stored ($rewrites done)" \
  "$([ "$rewrite_failures" = 0 ] && [ "$rewrites" -gt 0 ] && echo 0 || echo 1)" \
  "$rewrite_failures failed: $(grep -m1 '^failed' "$work/rewrites.txt" || echo none done)"
check_trace rewriting
figures_rewriting=$FIGURES

if [ -n "${LOAD_MARKDOWN:-}" ]; then
  {
    echo "| run | requests | requests/s | p50 ms | p99 ms | failed |"
    echo "|---|---:|---:|---:|---:|---:|"
    for r in alone rewriting; do
      FIGURES=$([ $r = alone ] && echo "$figures_alone" || echo "$figures_rewriting")
      label=$([ $r = alone ] && echo "start page, trace on" ||
        echo "same, settings rewritten meanwhile ($rewrites rewrites)")
      printf '| %s | %s | %s | %s | %s | %s |\n' "$label" "$(figure requests)" "$(figure rps)" \
        "$(figure p50_ms)" "$(figure p99_ms)" "$(($(figure errors) + $(figure bad_bodies)))"
    done
    echo
    echo "$connections connections; checks: $([ $failed = 0 ] && echo "all passed" || echo "FAILED")."
  } >"$LOAD_MARKDOWN"
fi
[ "$failed" = 0 ] || { echo "load: checks failed (logs in $work)" >&2; exit 1; }
echo "load: all checks passed"
