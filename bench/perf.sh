#!/usr/bin/env bash
# The performance record: one request of korproxy against its floor, side by side in one run.
# The floor (korproxy-floor) is a CGI program that only writes bytes it already holds; it is given
# exactly what korproxy wrote for the same page. Pages of 1 KiB, 64 KiB and 1 MiB from velk-sim:
#   - run directly as processes, side by side (korproxy-sidebyside: korproxy, the floor and desCbc
#     alone in turn, round after round; medians of wall and processor time, user + system);
#   - through lighttpd (wrk, one connection: median latency).
# Then desCbc against libcrypto (korproxy-bench), a profile of the 1 KiB and 1 MiB requests (perf,
# when the machine allows it), and the private memory at the peak of an 8 MiB page (RssAnon sampled
# while the request runs, korproxy-peakmem). Prints the figures as markdown; with
# PERF_MARKDOWN=FILE also writes them there. PERF_ONLY=memory measures and prints the memory alone.
#
#   bench/perf.sh [BUILD_DIR]      PERF_RUNS=100 (direct rounds per size), PERF_WEB=300 (requests)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$root/scripts/lib/packages.sh"
. "$root/scripts/lib/stack.sh"
ensure_packages perf

build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
runs=${PERF_RUNS:-100}
web_requests=${PERF_WEB:-300}
sizes=(1024 65536 1048576)
big=8388608

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target korproxy velk-sim korproxy-floor korproxy-bench \
  korproxy-sidebyside korproxy-peakmem >/dev/null

work="$build/perf"
stack_bench_site "$build" "$work"
cgi="$STACK_CGI_DIR"
registry="$work/registry.db"
sim_port=$STACK_SIM_PORT
web_port=$(stack_free_port)
printf 'setup:perf\n' >"$work/setup.users"
stack_write_lighttpd "$work/lighttpd" "$web_port" "$cgi" "$registry" "$work/setup.users"
cat >>"$work/lighttpd/lighttpd.conf" <<CONF
\$HTTP["url"] == "/floor" {
  alias.url += ( "/floor" => "$work/floor/korproxy-floor" )
  cgi.assign = ( "/korproxy-floor" => "" )
}
CONF
stack_start_lighttpd "$work/lighttpd" "$web_port"

query() { echo "SERVER=127.0.0.1:$sim_port&URL=/size/$1"; }
proxy() { (cd "$cgi" && env REQUEST_METHOD=GET QUERY_STRING="$(query "$1")" KORPROXY_REGISTRY="$registry" ./korproxy); }

# The floor's pages: korproxy's own output for each size, checked to be the same every time.
for n in "${sizes[@]}" "$big"; do
  proxy "$n" >"$work/floor/page-$n"
  proxy "$n" | cmp -s - "$work/floor/page-$n" || stack_die "korproxy wrote two different pages for $n"
  grep -q "^Content-type: text/html" "$work/floor/page-$n" || stack_die "no page for $n"
done

verdict() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? "met" : "missed" }'; }
# Private memory at the peak (RssAnon, sampled while the request runs): korproxy with the 8 MiB and
# the 1 KiB page, and the floor holding the same 8 MiB page. Prints the aim's line.
memory_line() {
  local peak="$build/bin/korproxy-peakmem" limit=$(((big / 1024) + 512)) proxy small floor
  proxy=$(cd "$cgi" && REQUEST_METHOD=GET QUERY_STRING="$(query "$big")" KORPROXY_REGISTRY="$registry" "$peak" ./korproxy)
  small=$(cd "$cgi" && REQUEST_METHOD=GET QUERY_STRING="$(query 1024)" KORPROXY_REGISTRY="$registry" "$peak" ./korproxy)
  floor=$("$peak" "$work/floor/korproxy-floor" "$work/floor/page-$big")
  echo "- Private memory at the peak (RssAnon, sampled while the request runs) with an 8 MiB page at" \
    "most page + 512 KiB ($limit KiB): $proxy KiB, page + $((proxy - big / 1024)) KiB" \
    "($(verdict "$proxy" "$limit")); with a 1 KiB page $small KiB; the floor holding the same 8 MiB page $floor KiB."
}
if [ "${PERF_ONLY:-}" = memory ]; then
  memory_line
  exit 0
fi

# Side by side: korproxy, the floor and desCbc alone in turn, round after round, so that the
# machine's changing speed falls on all three alike. One line of medians per size (name=value).
declare -A side web
for n in "${sizes[@]}"; do
  line=$(cd "$cgi" && REQUEST_METHOD=GET QUERY_STRING="$(query "$n")" KORPROXY_REGISTRY="$registry" \
    "$build/bin/korproxy-sidebyside" "$runs" "$n" -- ./korproxy -- "$work/floor/korproxy-floor" "$work/floor/page-$n")
  echo "$line" >"$work/direct-$n.txt"
  for pair in $line; do side[${pair%%=*}-$n]=${pair#*=}; done
done

# Through lighttpd: one connection, so each figure is the latency of one request.
web_run() { # web_run NAME URL REQUESTS
  stack_wrk "$work/wrk-$1.txt" "$2" 1 "$3" || stack_die "failed requests: $(cat "$work/wrk-$1.txt")"
  sed -n 's/.* p50_ms=\([0-9.]*\) .*/\1/p' "$work/wrk-$1.txt"
}
for n in "${sizes[@]}"; do
  count=$((n >= 1048576 ? web_requests / 3 : web_requests))
  web[proxy-$n]=$(web_run "proxy-$n" "http://127.0.0.1:$web_port/cgi-bin/velkproxy/?$(query "$n")" "$count")
  web[floor-$n]=$(web_run "floor-$n" "http://127.0.0.1:$web_port/floor?page-$n" "$count")
done

# desCbc against libcrypto, side by side in one benchmark run (1 MiB each way and the key schedule,
# median processor time of five): the three speed ratios, libcrypto's time over desCbc's.
"$build/bin/korproxy-bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_color=false --benchmark_out="$work/des.csv" --benchmark_out_format=csv >"$work/des.txt" 2>&1
des_ratio() { sed -n "s/.*$1: libcrypto CPU time \/ desCbc CPU time = //p" "$work/des.txt"; }
des_key=$(des_ratio "key schedule")
des_enc=$(des_ratio "encipher 1 MiB")
des_dec=$(des_ratio "decipher 1 MiB")
[ -n "$des_dec" ] && [ -n "$des_enc" ] && [ -n "$des_key" ] || stack_die "no desCbc ratios in $work/des.txt"
des_bench=$(awk -F, '$1 ~ /BM_desCbcDecipher_median/ { printf "%.2f", $4 / 1000 }' "$work/des.csv")
lib_bench=$(awk -F, '$1 ~ /BM_libcryptoDecipher_median/ { printf "%.2f", $4 / 1000 }' "$work/des.csv")

memory=$(memory_line)

# Profiles: where a request's processor time goes (by part, then symbols above 1 %).
profile() { # profile SIZE
  local data="$work/perf-$1.data"
  (cd "$cgi" && REQUEST_METHOD=GET QUERY_STRING="$(query "$1")" KORPROXY_REGISTRY="$registry" \
    perf record -q -F 10000 -g -o "$data" -- sh -c 'i=0; while [ $i -lt 100 ]; do ./korproxy >/dev/null; i=$((i + 1)); done') \
    >/dev/null 2>&1 || return 1
  perf report -i "$data" --comm korproxy --no-children --percentage relative --sort dso,sym --stdio \
    -g none 2>/dev/null >"$data.txt"
  awk '/^ +[0-9.]+%/ { share[$2] += $1 } END { for (p in share) printf "%.1f%% %s\n", share[p], p }' \
    "$data.txt" | sort -rn | awk '{ parts = parts (parts ? ", " : "") $2 " " $1 } END { print "    by part: " parts; print "" }'
  awk '/^ +[0-9.]+%/ && $1 + 0 >= 1 { $1 = $1; print "    " $0 }' "$data.txt" | head -n 15
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ldd_line() { ldd "$1" 2>&1 | sed 's/ (0x[0-9a-f]*)//; s/^[[:space:]]*//' | paste -sd ';' | sed 's/;/; /g'; }
floor_ldd=$(ldd_line "$work/floor/korproxy-floor")
proxy_ldd=$(ldd_line "$cgi/korproxy")
m=1048576

out="$work/figures.md"
{
  echo "Direct runs, side by side ($runs rounds of korproxy, the floor and desCbc alone in turn," \
    "korproxy-sidebyside; medians, ms; processor = user + system; ratios are medians of each round's):"
  echo
  echo "| page | korproxy wall | floor wall | ratio | korproxy processor | floor processor | ratio |"
  echo "|---|---:|---:|---:|---:|---:|---:|"
  for n in "${sizes[@]}"; do
    printf '| %s | %s | %s | %s | %s | %s | %s |\n' "$((n / 1024)) KiB" "${side[proxy_wall-$n]}" \
      "${side[floor_wall-$n]}" "${side[wall_ratio-$n]}" "${side[proxy_cpu-$n]}" "${side[floor_cpu-$n]}" \
      "${side[cpu_ratio-$n]}"
  done
  echo
  echo "Through lighttpd (wrk, one connection, $web_requests requests, a third of that for 1 MiB; median latency, ms):"
  echo
  echo "| page | korproxy | floor | ratio |"
  echo "|---|---:|---:|---:|"
  for n in "${sizes[@]}"; do
    printf '| %s | %s | %s | %s |\n' "$((n / 1024)) KiB" "${web[proxy-$n]}" "${web[floor-$n]}" \
      "$(ratio "${web[proxy-$n]}" "${web[floor-$n]}")"
  done
  echo
  echo "The floor is \`korproxy-floor\` (C, -O2); its \`ldd\`: $floor_ldd. korproxy's: $proxy_ldd."
  echo
  echo "Aims:"
  echo
  echo "- 1 KiB page at most 2 × the floor, wall and processor time: wall ${side[wall_ratio-1024]} ×" \
    "($(verdict "${side[wall_ratio-1024]}" 2)), processor ${side[cpu_ratio-1024]} ×" \
    "($(verdict "${side[cpu_ratio-1024]}" 2)); through lighttpd $(ratio "${web[proxy-1024]}" "${web[floor-1024]}") ×."
  echo "- desCbc against libcrypto in one benchmark run (libcrypto's processor time over desCbc's," \
    "medians of five): deciphering 1 MiB $des_dec × (at least 4: $(verdict 4 "$des_dec"); $des_bench ms" \
    "against $lib_bench ms), enciphering 1 MiB $des_enc × (at least 1.2: $(verdict 1.2 "$des_enc"))," \
    "key schedule $des_key × (at least 1: $(verdict 1 "$des_key"))."
  echo "- 1 MiB page: in the same rounds desCbc alone took ${side[des_cpu-$m]} ms and korproxy's" \
    "processor time beyond the floor's ${side[beyond_cpu-$m]} ms; besides deciphering, korproxy adds" \
    "${side[rest_cpu-$m]} ms. Wall time beyond the floor is" \
    "$(awk -v a="${side[proxy_wall-$m]}" -v b="${side[floor_wall-$m]}" 'BEGIN { printf "%.2f", a - b }') ms;" \
    "it also holds the simulator enciphering the same MiB before it sends it."
  echo "$memory"
  for n in 1024 1048576; do
    echo
    echo "Profile of korproxy, $((n / 1024)) KiB page (perf, 100 requests; share of the process's samples, symbols ≥ 1 %):"
    echo
    profile "$n" || echo "    (perf could not record here)"
  done
} >"$out"
cat "$out"
[ -z "${PERF_MARKDOWN:-}" ] || cp "$out" "$PERF_MARKDOWN"
