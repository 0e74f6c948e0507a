#!/usr/bin/env bash
# End-to-end tests: installs the built program like the demo does, starts the simulator (three of
# them: the site, one without the proxy capability, one with another administrator password) and
# lighttpd with the deployment's own configuration on 127.0.0.1, on a store of their own, then runs
# the HTTP, command-line and browser tests; then the HTTP and browser tests once more with the
# program as lighttpd's FastCGI application. Stops everything it started, whatever happens.
#
#   tests/e2e/run.sh [BUILD_DIR] [http|cli|browser ...]
# E2E_MODES names the run modes (default "cgi fastcgi").
# Screenshots land in BUILD_DIR/e2e-shots/, logs and the store in BUILD_DIR/e2e/.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
suites=("$@")
[ ${#suites[@]} -gt 0 ] || suites=(http cli browser)
. "$root/scripts/lib/stack.sh"

# A machine without the servers or the browser skips the tests (status 77) rather than failing.
export E2E_CHROMIUM=${E2E_CHROMIUM:-/usr/bin/chromium}
for tool in lighttpd node npm "$E2E_CHROMIUM"; do
  if ! command -v "$tool" >/dev/null; then
    echo "e2e skipped: $tool is not installed (scripts/test installs lighttpd, chromium and npm as root)"
    exit 77
  fi
done
[ -x "$build/bin/korproxy" ] || stack_die "no $build/bin/korproxy: build first"
[ -x "$build/bin/velk-sim" ] || stack_die "no $build/bin/velk-sim: build first"

# The tests use Node's own test runner and a playwright-core pinned for Debian 12's Node.js 18.
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if [ "$node_major" -lt 18 ]; then
  echo "e2e skipped: the end-to-end tests need Node.js 18 or newer; this machine has" \
    "$(node --version 2>/dev/null || echo 'a node that does not run')"
  exit 77
fi

# The one npm package, from the lock file; never a browser download (playwright-core has none).
pinned=$(sed -n 's/.*"playwright-core": "\(.*\)".*/\1/p' "$here/package.json")
installed=$(node -p 'require(process.argv[1]).version' \
  "$here/node_modules/playwright-core/package.json" 2>/dev/null || true)
if [ "$installed" != "$pinned" ]; then
  (cd "$here" && timeout 300 npm ci --no-audit --no-fund >/dev/null) ||
    (cd "$here" && timeout 300 npm install --no-audit --no-fund >/dev/null) ||
    stack_die "npm could not install playwright-core"
fi

work="$build/e2e"
rm -rf "$work" "$build/e2e-shots"
mkdir -p "$work"
stack_install "$build" "$work/install"

trap stack_stop EXIT
trap 'exit 130' INT TERM

admin_id=E2EADMIN
admin_password=E2EPASS1
# A second administrator of the site's server: the one a web user stores as their own logon.
own_id=E2EOWN
own_password=E2EOWNPW
sim="$build/bin/velk-sim"
stack_start_sim "$sim" "$work/velk-sim.log" --admin-id "$admin_id" --admin-password "$admin_password" \
  --admin "$own_id:$own_password"
sim_port=$STACK_SIM_PORT
stack_start_sim "$sim" "$work/velk-sim-noproxy.log" --admin-id "$admin_id" \
  --admin-password "$admin_password" --no-proxy
noproxy_port=$STACK_SIM_PORT
stack_start_sim "$sim" "$work/velk-sim-otherpw.log" --admin-id "$admin_id" \
  --admin-password OTHERPW9
otherpw_port=$STACK_SIM_PORT

printf 'setup:e2e-login\n' >"$work/setup.users"

export E2E_CGI_DIR="$STACK_CGI_DIR"
export E2E_REGISTRY="$work/registry.db" E2E_SIM="$sim" E2E_SIM_LOG="$work/velk-sim.log"
export E2E_SIM_PORT=$sim_port E2E_NOPROXY_PORT=$noproxy_port E2E_OTHERPW_PORT=$otherpw_port
export E2E_REFUSED_PORT=$(stack_free_port)
export E2E_ADMIN_ID=$admin_id E2E_ADMIN_PASSWORD=$admin_password
export E2E_OWN_ID=$own_id E2E_OWN_PASSWORD=$own_password
export E2E_SETUP_USER=setup E2E_SETUP_PASSWORD=e2e-login
export E2E_WORK="$work"

failed=()
for mode in ${E2E_MODES:-cgi fastcgi}; do
  # Each mode starts from an empty store and a lighttpd of its own.
  rm -f "$work/registry.db"*
  web_port=$(stack_free_port)
  stack_write_lighttpd "$work/lighttpd-$mode" "$web_port" "$STACK_CGI_DIR" "$work/registry.db" \
    "$work/setup.users" "$mode"
  stack_start_lighttpd "$work/lighttpd-$mode" "$web_port"
  export E2E_BASE="http://127.0.0.1:$web_port" E2E_SHOTS="$build/e2e-shots/$mode"
  for s in "${suites[@]}"; do
    # The command line runs no web server: once is enough.
    [ "$mode" = cgi ] || [ "$s" != cli ] || continue
    echo "== e2e ($mode): $s"
    timeout 600 node --test --test-reporter=spec "$here/$s.test.mjs" || failed+=("$mode/$s")
  done
  kill "$STACK_HTTP_PID" 2>/dev/null || true
  wait "$STACK_HTTP_PID" 2>/dev/null || true
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "e2e failed: ${failed[*]} (logs in $work)" >&2
  exit 1
fi
echo "e2e passed"
