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
[ $# -gt 0 ] || set -- http cli browser
suites=("$@")
. "$root/scripts/lib/stack.sh"

# A machine without the servers or the browser skips the tests (status 77) rather than failing.
export E2E_CHROMIUM=${E2E_CHROMIUM:-/usr/bin/chromium}
for tool in lighttpd node npm "$E2E_CHROMIUM"; do
  command -v "$tool" >/dev/null || { echo "e2e skipped: $tool is not installed" \
    "(scripts/test installs lighttpd, chromium and npm as root)"; exit 77; }
done
for program in korproxy velk-sim; do
  [ -x "$build/bin/$program" ] || stack_die "no $build/bin/$program: build first"
done

# The tests use Node's own test runner and a playwright-core pinned for Debian 12's Node.js 18.
node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
[ "$node_major" -ge 18 ] || { echo "e2e skipped: the end-to-end tests need Node.js 18 or newer;" \
  "this machine has $(node --version 2>/dev/null || echo 'a node that does not run')"; exit 77; }

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

# The site's simulator knows a second administrator: the one a web user stores as their own logon.
export E2E_ADMIN_ID=E2EADMIN E2E_ADMIN_PASSWORD=E2EPASS1 E2E_OWN_ID=E2EOWN E2E_OWN_PASSWORD=E2EOWNPW
export E2E_SETUP_USER=setup E2E_SETUP_PASSWORD=e2e-login E2E_WORK=$work E2E_CGI_DIR=$STACK_CGI_DIR
export E2E_REGISTRY=$work/registry.db
sim=$build/bin/velk-sim
admin=(--admin-id "$E2E_ADMIN_ID" --admin-password)
stack_start_sim "$sim" "$work/velk-sim.log" "${admin[@]}" "$E2E_ADMIN_PASSWORD" \
  --admin "$E2E_OWN_ID:$E2E_OWN_PASSWORD"
export E2E_SIM_PORT=$STACK_SIM_PORT
stack_start_sim "$sim" "$work/velk-sim-noproxy.log" "${admin[@]}" "$E2E_ADMIN_PASSWORD" --no-proxy
export E2E_NO_PROXY_PORT=$STACK_SIM_PORT
stack_start_sim "$sim" "$work/velk-sim-otherpw.log" "${admin[@]}" OTHERPW9
export E2E_OTHER_PASSWORD_PORT=$STACK_SIM_PORT E2E_REFUSED_PORT=$(stack_free_port)
printf '%s:%s\n' "$E2E_SETUP_USER" "$E2E_SETUP_PASSWORD" >"$work/setup.users"

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
[ ${#failed[@]} -eq 0 ] || { echo "e2e failed: ${failed[*]} (logs in $work)" >&2; exit 1; }
echo "e2e passed"
