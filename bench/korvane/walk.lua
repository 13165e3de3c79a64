-- wrk script: walk a list of paths, each thread through its own contiguous share of the list and
-- each path at most once, so a run never asks for a path twice (a cache-miss run stays all misses,
-- a warm-up asks for every path once). A thread whose share is done idles to the end of the run.
-- Each path is asked for from its own client address (X-Forwarded-For, trusted from loopback), so
-- the per-address rate limit never refuses a request. At the end it prints
-- "walk: <answered> of <listed> paths answered".
--   wrk -t THREADS ... -s walk.lua URL -- paths.txt THREADS
-- (wrk does not tell a thread how many threads there are: THREADS is given again after the file.)
local threads = {}

-- Runs in wrk's main state, once per thread before the thread's init().
function setup(thread)
  threads[#threads + 1] = thread
  thread:set("id", #threads)
end

-- The rest runs in each thread's own state. `id` is the global setup() gave this thread.
local paths = {}
listed = 0   -- paths in the whole list
first = 0    -- this thread's share: list positions first + 1 .. first + share
share = 0
granted = 0  -- requests delay() let through
taken = 0    -- paths of the share sent so far

function init(args)
  local all = {}
  for line in io.lines(args[1]) do all[#all + 1] = line end
  local count = tonumber(args[2] or "")
  assert(#all > 0, "walk.lua: the path list " .. tostring(args[1]) .. " is empty")
  assert(count and count >= id, "walk.lua: give the number of wrk threads after the path list")
  listed = #all
  first = math.floor((id - 1) * listed / count)
  share = math.floor(id * listed / count) - first
  for k = 1, math.max(share, 1) do paths[k] = all[first + k] or all[1] end
end

-- wrk asks delay() before each request of the run, so it decides whether one more is sent.
function delay()
  if granted < share then
    granted = granted + 1
    return 0
  end
  return 24 * 3600 * 1000  -- share done: this connection sends nothing more in this run
end

-- Without a grant (wrk's check of the script before the run, or a resend after a socket error)
-- the last path is given again and nothing is consumed.
function request()
  if taken < granted then taken = taken + 1 end
  local k = first + math.max(taken, 1) - 1  -- list position, from 0
  local ip = "10." .. (k % 250) .. "." .. (math.floor(k / 250) % 250) .. "." .. (math.floor(k / 62500) % 250 + 1)
  return wrk.format("GET", paths[math.max(taken, 1)], {["X-Forwarded-For"] = ip})
end

function done(summary)
  local listed_all, shares = 0, 0
  for _, thread in ipairs(threads) do
    listed_all = thread:get("listed")
    shares = shares + thread:get("share")
  end
  if shares ~= listed_all then
    io.write(string.format("walk: the shares cover %d of %d paths; the thread count after the list is wrong\n",
                           shares, listed_all))
  end
  io.write(string.format("walk: %d of %d paths answered\n", summary.requests, listed_all))
end
