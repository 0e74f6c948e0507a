-- wrk script for one wrk thread: after KORPROXY_REQUESTS responses it creates the file
-- KORPROXY_DONE_FILE, and the calling script interrupts wrk (wrk itself only knows durations). It
-- counts the answers that are not 200 or whose body lacks KORPROXY_EXPECT (an error page is a 200
-- answer too), and the summary prints one line of figures for the calling script:
--   requests=N seconds=S rps=R p50_ms=A p99_ms=B mean_ms=M errors=E bad_bodies=K
local total = tonumber(os.getenv("KORPROXY_REQUESTS") or "2000")
local expect = os.getenv("KORPROXY_EXPECT") or ""
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  seen = 0
  bad = 0
end

function response(status, headers, body)
  seen = seen + 1
  if status ~= 200 or (expect ~= "" and not string.find(body, expect, 1, true)) then
    bad = bad + 1
  end
  if seen == total then
    local flag = io.open(os.getenv("KORPROXY_DONE_FILE"), "w")
    if flag then flag:close() end
  end
end

function done(summary, latency, requests)
  local bad = 0
  for _, thread in ipairs(threads) do
    bad = bad + thread:get("bad")
  end
  local e = summary.errors
  local errors = e.connect + e.read + e.write + e.status + e.timeout
  local seconds = summary.duration / 1e6
  io.write(string.format(
    "requests=%d seconds=%.3f rps=%.1f p50_ms=%.2f p99_ms=%.2f mean_ms=%.2f errors=%d bad_bodies=%d\n",
    summary.requests, seconds, summary.requests / seconds, latency:percentile(50) / 1000,
    latency:percentile(99) / 1000, latency.mean / 1000, errors, bad))
end
