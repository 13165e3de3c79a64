-- wrk script: GET a random path of a list, each request from a random client address
-- (X-Forwarded-For, trusted from loopback), so the per-address rate limit never caps the load.
--   wrk -s hits.lua ... -- paths.txt
local paths = {}

function init(args)
  for line in io.lines(args[1]) do paths[#paths + 1] = line end
  math.randomseed(os.time() + tonumber(tostring({}):sub(8), 16))
end

function request()
  local ip = "10." .. math.random(0, 255) .. "." .. math.random(0, 255) .. "." .. math.random(1, 254)
  return wrk.format("GET", paths[math.random(#paths)], {["X-Forwarded-For"] = ip})
end
