-- wrk script: GET a random path of a list from a random client address (so the per-address rate
-- limit never caps the load) and count the answers by status; prints one line at the end:
--   statuses: 2xx=N 408=N 429=N 5xx=N other=N p99_ms=N requests=N
--   wrk -s status.lua ... -- paths.txt
local paths = {}
local threads = {}
local counts

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
  math.randomseed(os.time() + tonumber(tostring({}):sub(8), 16))
  counts = {ok = 0, t408 = 0, t429 = 0, t5xx = 0, other = 0}
end

function request()
  local ip = "10." .. math.random(0, 255) .. "." .. math.random(0, 255) .. "." .. math.random(1, 254)
  return wrk.format("GET", paths[math.random(#paths)], {["X-Forwarded-For"] = ip})
end

function response(status, headers, body)
  if status < 300 then counts.ok = counts.ok + 1
  elseif status == 408 then counts.t408 = counts.t408 + 1
  elseif status == 429 then counts.t429 = counts.t429 + 1
  elseif status >= 500 then counts.t5xx = counts.t5xx + 1
  else counts.other = counts.other + 1 end
  -- wrk reads thread globals through get(): keep them current
  ok, t408, t429, t5xx, other = counts.ok, counts.t408, counts.t429, counts.t5xx, counts.other
end

function done(summary, latency, requests)
  local sum = {ok = 0, t408 = 0, t429 = 0, t5xx = 0, other = 0}
  for _, t in ipairs(threads) do
    for k, _ in pairs(sum) do sum[k] = sum[k] + (t:get(k) or 0) end
  end
  io.write(string.format("statuses: 2xx=%d 408=%d 429=%d 5xx=%d other=%d p99_ms=%.0f requests=%d\n",
    sum.ok, sum.t408, sum.t429, sum.t5xx, sum.other, latency:percentile(99) / 1000, summary.requests))
end
