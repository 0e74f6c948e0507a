#!/usr/bin/env bash
# korproxy as lighttpd's FastCGI application against the floor CGI program and against korproxy as
# a CGI program, side by side in one run through one lighttpd: the 1 KiB page from velk-sim, at 8
# connections (requests per second) and at one connection (median latency). The three take turns,
# round after round, so that the machine's changing speed falls on all three alike; each figure
# is the median of its rounds. The floor is korproxy-floor writing exactly the bytes korproxy
# wrote for the page. With FASTCGI_DEB=FILE (the korproxy package that scripts/debs builds), the
# package's own program takes its turns too, as FastCGI and as CGI, beside the source build.
# Prints the figures as markdown and, with FASTCGI_MARKDOWN=FILE, writes them there; with
# FASTCGI_RECORD=1 also replaces the FastCGI section of BENCHMARKS.md.
#
#   bench/fastcgi.sh [BUILD_DIR]   FASTCGI_ROUNDS=5, FASTCGI_REQUESTS=2000 (per round at 8
#                                  connections; a quarter of that at one connection)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/scripts/lib/packages.sh"
. "$root/scripts/lib/stack.sh"
ensure_packages load

build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
rounds=${FASTCGI_ROUNDS:-5}
requests=${FASTCGI_REQUESTS:-2000}
page=1024

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target korproxy velk-sim korproxy-floor >/dev/null

work="$build/fastcgi-bench"
stack_bench_site "$build" "$work"
cgi="$STACK_CGI_DIR"
registry="$work/registry.db"
query="SERVER=127.0.0.1:$STACK_SIM_PORT&URL=/size/$page"
(cd "$cgi" && env REQUEST_METHOD=GET QUERY_STRING="$query" KORPROXY_REGISTRY="$registry" ./korproxy) \
  >"$work/floor/page"
grep -q "^Content-type: text/html" "$work/floor/page" || stack_die "no page from korproxy"

# The deployment's FastCGI configuration as shipped, with the floor and the CGI program beside it.
web_port=$(stack_free_port)
printf 'setup:perf\n' >"$work/setup.users"
stack_write_lighttpd "$work/lighttpd" "$web_port" "$cgi" "$registry" "$work/setup.users" fastcgi
cat >>"$work/lighttpd/lighttpd.conf" <<CONF
server.modules += ( "mod_alias", "mod_cgi", "mod_setenv" )
\$HTTP["url"] == "/floor" {
  alias.url += ( "/floor" => "$work/floor/korproxy-floor" )
  cgi.assign = ( "/korproxy-floor" => "" )
}
\$HTTP["url"] == "/cgi/korproxy" {
  alias.url += ( "/cgi/korproxy" => "$cgi/korproxy" )
  cgi.assign = ( "/korproxy" => "" )
  setenv.add-environment = ( "KORPROXY_REGISTRY" => "$registry" )
}
CONF
kinds=(floor fastcgi cgi)
if [ -n "${FASTCGI_DEB:-}" ]; then
  # The package's program in a folder of its own with the same pages, started by lighttpd as the
  # shipped configuration starts the source build's, and by mod_cgi.
  mkdir -p "$work/deb" "$work/debdir"
  dpkg-deb -x "$FASTCGI_DEB" "$work/deb"
  cp "$work/deb/usr/lib/cgi-bin/velkproxy/korproxy" "$work/debdir/"
  cp "$cgi"/*.html "$cgi/prodname.txt" "$work/debdir/"
  sed -n '/^fastcgi.server/,/^)))/p' "$root/deploy/lighttpd/korproxy-fastcgi.conf" |
    sed -e 's#"/cgi-bin/velkproxy/korproxy"#"/deb/korproxy"#' \
      -e "s#var.korproxy_dir + \"/korproxy\"#\"$work/debdir/korproxy\"#" \
      -e "s#var.korproxy_socket#\"$work/lighttpd/deb.socket\"#" >>"$work/lighttpd/lighttpd.conf"
  cat >>"$work/lighttpd/lighttpd.conf" <<CONF
\$HTTP["url"] == "/debcgi/korproxy" {
  alias.url += ( "/debcgi/korproxy" => "$work/debdir/korproxy" )
  cgi.assign = ( "/korproxy" => "" )
  setenv.add-environment = ( "KORPROXY_REGISTRY" => "$registry" )
}
CONF
  kinds+=(deb-fastcgi deb-cgi)
fi
stack_start_lighttpd "$work/lighttpd" "$web_port"
base="http://127.0.0.1:$web_port"
declare -A url=([floor]="$base/floor?page" [fastcgi]="$base/cgi-bin/velkproxy/?$query"
  [cgi]="$base/cgi/korproxy?$query" [deb-fastcgi]="$base/deb/korproxy?$query"
  [deb-cgi]="$base/debcgi/korproxy?$query")
curl -s "${url[floor]}" >"$work/floor-body"
for kind in "${kinds[@]:1}"; do
  curl -s "${url[$kind]}" | cmp -s - "$work/floor-body" || stack_die "$kind wrote another page"
done

# wrk_run NAME URL CONNECTIONS REQUESTS FIGURE: one wrk run stopped after REQUESTS answers, every
# one of them a 200 carrying the whole page; appends its FIGURE (rps or p50_ms) to WORK/NAME.
wrk_run() {
  local out="$work/wrk-$1-c$3-$r.txt"
  KORPROXY_EXPECT="</html>" stack_wrk "$out" "$2" "$3" "$4" || stack_die "failed requests: $(cat "$out")"
  sed -n "s/.* $5=\([0-9.]*\) .*/\1/p" "$out" >>"$work/$5-$1"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for ((r = 1; r <= rounds; r++)); do
  for kind in "${kinds[@]}"; do
    wrk_run "$kind" "${url[$kind]}" 8 "$requests" rps
    wrk_run "$kind" "${url[$kind]}" 1 $((requests / 4)) p50_ms
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
declare -A rps p50
for kind in "${kinds[@]}"; do
  rps[$kind]=$(median <"$work/rps-$kind")
  p50[$kind]=$(median <"$work/p50_ms-$kind")
done
workers=$(sed -n 's/.*kDefaultFastcgiWorkers = \([0-9]*\);/\1/p' "$root/common/limits.h")
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

{
  echo "Recorded $(date -u '+%Y-%m-%d %H:%M UTC') on: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
    "$(nproc) cores$(grep -qw hypervisor /proc/cpuinfo && echo ', a virtual machine'), $(. /etc/os-release && echo "$PRETTY_NAME")," \
    "$(c++ --version | head -n1); load average $load_before before the run, $load_after after. Through lighttpd,"
  echo "the 1 KiB page, $rounds rounds taken in turn; medians of the rounds. korproxy as FastCGI runs as"
  echo "\`deploy/lighttpd/korproxy-fastcgi.conf\` ships it (one program, its $workers workers); the CGI"
  echo "programs and the floor are started by mod_cgi for every request."
  [ -z "${FASTCGI_DEB:-}" ] || echo "\"package\" is the program of $(basename "$FASTCGI_DEB"), which loads" \
    "$(ldd "$work/debdir/korproxy" | awk '$1 ~ /^lib/ { printf "%s%s", n++ ? ", " : "", $1 }');" \
    "the others are the source build ($(file -b "$cgi/korproxy" | grep -o 'static-pie linked\|dynamically linked'))."
  echo
  echo "| program | requests/s, 8 connections | × floor | median latency, 1 connection (ms) | × floor |"
  echo "|---|---|---|---|---|"
  for kind in "${kinds[@]}"; do
    case $kind in
    floor) name="floor CGI (\`korproxy-floor\`)" ;;
    deb-*) name="korproxy package, ${kind#deb-}" ;;
    *) name="korproxy, $kind" ;;
    esac
    printf '| %s | %s | %s | %s | %s |\n' "$name" "${rps[$kind]}" "$(ratio "${rps[$kind]}" "${rps[floor]}")" \
      "${p50[$kind]}" "$(ratio "${p50[$kind]}" "${p50[floor]}")"
  done
  echo
  echo "Aims: FastCGI at least 2.5 × the floor's requests per second: $(ratio "${rps[fastcgi]}" "${rps[floor]}") ×;" \
    "its median latency at one connection at most 0.6 × the floor's: $(ratio "${p50[fastcgi]}" "${p50[floor]}") ×."
} >"$work/figures.md"
cat "$work/figures.md"
[ -z "${FASTCGI_MARKDOWN:-}" ] || cp "$work/figures.md" "$FASTCGI_MARKDOWN"
if [ "${FASTCGI_RECORD:-0}" = 1 ]; then
  awk -v figures="$work/figures.md" '
    /^<!-- fastcgi-figures/ { print; while ((getline line < figures) > 0) print line; skip = 1; next }
    /^<!-- \/fastcgi-figures -->/ { skip = 0 }
    !skip { print }' "$root/BENCHMARKS.md" >"$work/doc.md"
  cp "$work/doc.md" "$root/BENCHMARKS.md"
  echo "BENCHMARKS.md: FastCGI section rewritten"
fi
