-- wrk script for soak.sh: every request asks a text of its own (the slice, the wrk thread and a counter), so
-- nothing on the road can answer from what it has seen. wrk runs for its whole duration whatever its threads
-- do, so the first thread to finish its share ends the run as Ctrl+C would: wrk then reports the requests
-- completed and the time until that moment. (Not through os.execute: system() ignores SIGINT meanwhile.)
--   wrk ... -s bench/soak.lua URL -- SLICE REQUESTS_PER_THREAD
local ffi = require("ffi")
ffi.cdef("int kill(int pid, int sig); int getpid(void);")
local threads = 0

function setup(thread)
  threads = threads + 1
  thread:set("id", threads)
end

function init(args)
  slice = args[1] or "0"
  limit = tonumber(args[2] or "0")
  sent = 0
  received = 0
end

function request()
  sent = sent + 1
  return wrk.format("GET", "/linxp_translate_t?text=soak%20" .. slice .. "%20" .. id .. "%20" .. sent ..
    "&langpair=en%7Cde")
end

function response()
  received = received + 1
  if limit > 0 and received == limit then
    ffi.C.kill(ffi.C.getpid(), 2)
  end
end
