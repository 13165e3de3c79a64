-- wrk script: walk a list of paths in order, each thread its own share, each path at most once
-- per thread (then it starts over), each request from its own client address.
--   wrk -s walk.lua ... -- paths.txt
local paths = {}
local n = 0
local i = 0
local threads = 0
local id = 0
local counter = 0

function setup(thread)
  counter = counter + 1
  thread:set("id", counter)
end

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
  n = #paths
  i = 0
end

function request()
  local p = paths[((i * 16 + (id or 1)) % n) + 1]
  i = i + 1
  local k = i * 16 + (id or 1)
  local ip = "10." .. (k % 250) .. "." .. (math.floor(k / 250) % 250) .. "." .. (math.floor(k / 62500) % 250 + 1)
  return wrk.format("GET", p, {["X-Forwarded-For"] = ip})
end
