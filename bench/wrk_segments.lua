-- Segment GETs for wrk: every request asks for the segment named in the file
-- $QB_NAME_FILE, which the benchmark rewrites as the live playlist moves on
-- (a live player always fetches the newest segment). done() prints one
-- machine-readable line.
local nameFile = os.getenv("QB_NAME_FILE")
local path = "/"
local sinceRead = 0
-- Re-reading the file on every request would cost wrk more than the GET.
local kRequestsPerRead = 16

local function readName()
  local file = io.open(nameFile, "r")
  if not file then return end
  local name = file:read("*l")
  file:close()
  if name and #name > 0 then path = "/" .. name end
end

request = function()
  if sinceRead == 0 then readName() end
  sinceRead = (sinceRead + 1) % kRequestsPerRead
  return wrk.format("GET", path)
end

done = function(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "QBWRK requests=%d bytes=%d duration_us=%d connect=%d read=%d write=%d status=%d timeout=%d p50_us=%d p99_us=%d\n",
    summary.requests, summary.bytes, summary.duration, e.connect, e.read, e.write, e.status, e.timeout,
    latency:percentile(50), latency:percentile(99)))
end
