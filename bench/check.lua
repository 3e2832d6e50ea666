-- wrk script: checks every response whole (status 200, body ending with the
-- closing html tag) and reports how many were not.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  checked = 0
  bad = 0
end

function response(status, headers, body)
  checked = checked + 1
  if status ~= 200 or body:sub(-7) ~= "</html>" then
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local total_checked, total_bad = 0, 0
  for _, thread in ipairs(threads) do
    total_checked = total_checked + thread:get("checked")
    total_bad = total_bad + thread:get("bad")
  end
  local e = summary.errors
  io.write(string.format("checked %d bad %d errors %d requests %d duration_us %d p50_us %d p99_us %d\n",
    total_checked, total_bad, e.connect + e.read + e.write + e.status + e.timeout,
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(99)))
end
