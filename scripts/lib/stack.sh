# The demo's and the end-to-end tests' shared set-up: build, install the CGI folder, run the
# simulator and lighttpd on 127.0.0.1, and stop exactly what was started.
# shellcheck shell=bash
#
# Every wait is bounded; every process started is remembered by its id and stopped by stack_stop.

STACK_PIDS=()

stack_log() { printf '%s\n' "$*" >&2; }
stack_die() { stack_log "error: $*"; exit 1; }

# stack_build ROOT BUILD: a Release build of the program and the simulator only, without the
# tests and benchmarks (nor what they need installed).
stack_build() {
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DKORPROXY_TESTS=OFF -DKORPROXY_BENCH=OFF \
    >/dev/null
  cmake --build "$2" -j"$(nproc)" --target korproxy velk-sim
}

# stack_port_free PORT: true when nothing accepts connections on 127.0.0.1:PORT.
stack_port_free() {
  ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# stack_install BUILD PREFIX: installs the program and its pages; sets STACK_CGI_DIR.
stack_install() {
  local rel
  cmake --install "$1" --prefix "$2" >/dev/null
  rel=$(sed -n 's/^KORPROXY_CGI_DIR:[A-Z]*=//p' "$1/CMakeCache.txt")
  STACK_CGI_DIR="$2/${rel:-lib/cgi-bin/velkproxy}"
  [ -x "$STACK_CGI_DIR/korproxy" ] || stack_die "no program installed in $STACK_CGI_DIR"
}

# stack_free_port: a TCP port on 127.0.0.1 that nothing listens on right now. It is taken below the
# kernel's range of outgoing ports (32768 and up), so that no client connection of a load run,
# live or lingering, holds it.
stack_free_port() {
  local p i
  for ((i = 0; i < 200; i++)); do
    p=$((20000 + RANDOM % 12000))
    if stack_port_free "$p"; then
      echo "$p"
      return 0
    fi
  done
  stack_die "no free port found"
}

# stack_wait_port PORT SECONDS PID: waits until PORT accepts connections, or fails when the time is
# up or the process PID has ended.
stack_wait_port() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# stack_start_sim SIM LOG [ARGS...]: starts the simulator on a port of its own choice and sets
# STACK_SIM_PID and STACK_SIM_PORT.
stack_start_sim() {
  local sim=$1 log=$2 i port=""
  shift 2
  "$sim" --listen 127.0.0.1:0 "$@" >"$log" 2>&1 &
  STACK_SIM_PID=$!
  STACK_PIDS+=("$STACK_SIM_PID")
  for ((i = 0; i < 100; i++)); do
    # The simulator's shell may not have created the log yet: a missing file is "not yet".
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$log" 2>/dev/null | head -n1 || true)
    [ -n "$port" ] && break
    kill -0 "$STACK_SIM_PID" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$log" >&2; stack_die "velk-sim did not start"; }
  STACK_SIM_PORT=$port
}

# The queries that ask for the web login in the deployments' alternative rule: the settings
# requests alone (the shipped rule, "^", asks on every request).
STACK_SETTINGS_LOGIN='(?i)(^|&)(setup|config|logon|forcetrace)|%(26|[4-7])'

# stack_write_lighttpd DIR PORT CGI_DIR REGISTRY USERS [MODE [LOGIN]]: writes DIR/lighttpd.conf, a
# server of its own on 127.0.0.1:PORT that includes the deployment's own lighttpd configuration, the
# CGI one or, with MODE fastcgi, the FastCGI one. LOGIN is the pattern of the queries that ask for
# the web login; by default the alternative rule's, which the end-to-end tests, the benchmarks and
# the demo run with (they fetch pages without a login).
stack_write_lighttpd() {
  local dir=$1 root conf=korproxy.conf
  [ "${6:-cgi}" = fastcgi ] && conf=korproxy-fastcgi.conf
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  mkdir -p "$dir/htdocs"
  cat >"$dir/lighttpd.conf" <<CONF
server.document-root = "$dir/htdocs"
server.bind = "127.0.0.1"
server.port = $2
server.errorlog = "$dir/lighttpd-error.log"
server.pid-file = "$dir/lighttpd.pid"
server.modules = ( "mod_access", "mod_accesslog" )
accesslog.filename = "$dir/lighttpd-access.log"
var.korproxy_dir = "$3"
var.korproxy_registry = "$4"
var.korproxy_users = "$5"
var.korproxy_auth = "plain"
var.korproxy_login = "${7-$STACK_SETTINGS_LOGIN}"
var.korproxy_socket = "$dir/korproxy.socket"
include "$root/deploy/lighttpd/$conf"
CONF
}

# stack_start_lighttpd DIR PORT: starts lighttpd with DIR/lighttpd.conf and waits for it.
stack_start_lighttpd() {
  command -v lighttpd >/dev/null || stack_die "lighttpd is not installed"
  lighttpd -tt -f "$1/lighttpd.conf" >/dev/null || stack_die "lighttpd refuses $1/lighttpd.conf"
  lighttpd -D -f "$1/lighttpd.conf" >>"$1/lighttpd-console.log" 2>&1 &
  STACK_HTTP_PID=$!
  STACK_PIDS+=("$STACK_HTTP_PID")
  # Another server that took the port meanwhile answers too: lighttpd must still be running once
  # its own bind has had time to fail.
  if ! stack_wait_port "$2" 10 "$STACK_HTTP_PID" || ! sleep 0.3 ||
    ! kill -0 "$STACK_HTTP_PID" 2>/dev/null; then
    cat "$1/lighttpd-console.log" "$1/lighttpd-error.log" >&2 2>/dev/null
    stack_die "lighttpd did not start on port $2"
  fi
}

# stack_admin CGI_DIR REGISTRY ARGS...: runs the program's own command line from its folder, as the
# web server would find it, on the store REGISTRY.
stack_admin() {
  local dir=$1 reg=$2
  shift 2
  (cd "$dir" && env -u REQUEST_METHOD KORPROXY_REGISTRY="$reg" ./korproxy "$@")
}

# stack_bench_site BUILD WORK: the benchmarks' site, afresh in WORK: the program installed (sets
# STACK_CGI_DIR), the floor CGI program in WORK/floor, velk-sim knowing the benchmark administrator
# (sets STACK_SIM_PORT), and the store WORK/registry.db holding that administrator and the
# simulator as default server, trace off. Everything started is stopped when the script exits.
stack_bench_site() {
  local build=$1 work=$2
  rm -rf "$work"
  mkdir -p "$work/floor"
  stack_install "$build" "$work/install"
  cp "$build/bin/korproxy-floor" "$work/floor/"
  trap stack_stop EXIT
  trap 'exit 130' INT TERM
  # The simulator's log goes nowhere: it writes each line with a system call of its own, several
  # on the way to every answer, which a server need not do and korproxy would wait for.
  stack_start_sim "$build/bin/velk-sim" "$work/velk-sim.log" --admin-id PERFADM \
    --admin-password PERFPW1 --log /dev/null
  stack_admin "$STACK_CGI_DIR" "$work/registry.db" -tcps=127.0.0.1 -tcpp="$STACK_SIM_PORT" \
    -cgiUrl=/cgi-bin/velkproxy -proxyId=PERFADM -proxyPassword=PERFPW1 >/dev/null
}

# stack_wrk OUT URL CONNECTIONS REQUESTS [SECONDS]: one wrk run of bench/count.lua (KORPROXY_EXPECT,
# when set, is what every answer must hold), stopped after REQUESTS answers or after SECONDS
# (default 300); its summary line lands in OUT. Fails when a request failed.
stack_wrk() {
  local out=$1 done_file="$1.done" seconds=${5:-300} i pid
  rm -f "$done_file"
  KORPROXY_REQUESTS=$4 KORPROXY_DONE_FILE="$done_file" \
    wrk -t1 -c"$3" -d"${seconds}s" --timeout 30s \
    -s "$(dirname "${BASH_SOURCE[0]}")/../../bench/count.lua" "$2" >"$out" 2>&1 &
  pid=$!
  STACK_PIDS+=("$pid") # stopped with the rest should the script end meanwhile
  for ((i = 0; i < seconds * 20; i++)); do
    [ -e "$done_file" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || true
  rm -f "$done_file"
  grep -q 'errors=0 bad_bodies=0' "$out"
}

# stack_stop: stops every process that stack_start_* started, and waits a bounded time for each.
stack_stop() {
  local pid i
  for pid in "${STACK_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || continue
    for ((i = 0; i < 50; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  STACK_PIDS=()
}
