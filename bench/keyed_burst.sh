#!/usr/bin/env bash
# Requests gathered into engine calls, through the real program (offscreen) against the fake engine's DeepL:
# - a burst: 32 requests of one pair at once while DeepL answers each call after 200 ms; prints how long the last
#   answer took, how many calls reached DeepL, and whether every request got its own text back;
# - a request alone: the time of one request through the program against the same request sent straight to the
#   stand-in (what the program adds, waiting for company included), with no delay at the stand-in.
#
#   bench/keyed_burst.sh [PROGRAM]      (PROGRAM=build/tessarine-proxy, ROUNDS=5 by default; uses port 8888)
#   ENGINE=YandexCloud or ENGINE=LLM runs the same against that engine's stand-in instead of DeepL's.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$ROOT/build/tessarine-proxy}")
ROUNDS=${ROUNDS:-5}
# shellcheck source=/dev/null
source "$ROOT/tools/program_harness.sh"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
trap harness_cleanup EXIT
port_taken && fail "port $PORT is in use by another program"
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
start_fake_engines || fail "the fake engines did not start"
fake="http://127.0.0.1:$http_port"
ENGINE=${ENGINE:-DeepL}
case $ENGINE in
  DeepL) route=/v2/translate engines="DeepL=http://127.0.0.1:$http_port\nDeepLKey=bench-key:fx" ;;
  YandexCloud) route=/translate/v2/translate engines="YandexCloud=http://127.0.0.1:$http_port\nYandexCloudKey=bench-key" ;;
  LLM) route=/v1/chat/completions engines="LLM=http://127.0.0.1:$http_port/v1\nLLMModel=bench" ;;
  *) fail "ENGINE is DeepL, YandexCloud or LLM" ;;
esac
export ENGINE
control() { curl -sf --max-time 10 -d "$2" "$fake$1" >/dev/null; }
deepl_calls() {
  curl -sf --max-time 10 "$fake/_fake/requests" | python3 -c '
import json, sys
print(sum(r["request_line"].startswith("POST " + sys.argv[1] + " ") for r in json.load(sys.stdin)))' "$route"
}

settings=$(printf "[General]\nProxyActive=1\nGoogle=0\n$ENGINE=1\n[Engines]\n$engines\n")
start_offscreen_program "$program" "$settings"

echo "Load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| round | burst of 32: last answer | $ENGINE calls | own texts | alone through the program p50 / max | straight to the stand-in p50 / max |"
echo "|---|---|---|---|---|---|"
for round in $(seq "$ROUNDS"); do
  control /_fake/reset x
  control /_fake/mode "{\"engine\": \"${ENGINE,,}\", \"mode\": \"stall\", \"seconds\": 0.2}"
  burst=$(python3 - "$PORT" "$round" <<'EOF'
import os, sys, threading, time, urllib.parse, urllib.request
port, round_ = sys.argv[1], sys.argv[2]
texts = ["r%s text %d" % (round_, i) for i in range(32)]
answers = [None] * len(texts)
start = threading.Barrier(len(texts) + 1)
def ask(i):
    query = urllib.parse.urlencode({"text": texts[i], "langpair": "en|de"})
    start.wait()
    with urllib.request.urlopen("http://127.0.0.1:%s/linxp_translate_t?%s" % (port, query), timeout=20) as reply:
        answers[i] = reply.read().decode("utf-8").split("<span class=hps>")[1].split("</span>")[0]
threads = [threading.Thread(target=ask, args=(i,)) for i in range(len(texts))]
for thread in threads: thread.start()
start.wait()
began = time.monotonic()
for thread in threads: thread.join()
took = time.monotonic() - began
target = "DE: " if os.environ["ENGINE"] == "DeepL" else "de: "
own = all(answers[i] == target + texts[i].upper() for i in range(len(texts)))
print("%.0f ms|%s" % (took * 1000, "yes" if own else "NO"))
EOF
)
  calls=$(deepl_calls)
  control /_fake/reset x
  alone=$(python3 - "$PORT" "$http_port" <<'EOF'
import http.client, json, os, statistics, sys, time, urllib.parse
port, fake = int(sys.argv[1]), int(sys.argv[2])
def timed(host_port, method, target, body=None, headers={}):
    connection = http.client.HTTPConnection("127.0.0.1", host_port, timeout=20)
    began = time.monotonic()
    connection.request(method, target, body, headers)
    connection.getresponse().read()
    took = time.monotonic() - began
    connection.close()
    return took * 1000
through, straight = [], []
for i in range(20):
    query = urllib.parse.urlencode({"text": "alone %d" % i, "langpair": "en|de"})
    through.append(timed(port, "GET", "/linxp_translate_t?" + query))
    engine, text = os.environ["ENGINE"], "alone %d" % i
    if engine == "DeepL":
        route, auth = "/v2/translate", "DeepL-Auth-Key bench-key:fx"
        body = {"text": [text], "source_lang": "EN", "target_lang": "DE"}
    elif engine == "YandexCloud":
        route, auth = "/translate/v2/translate", "Api-Key bench-key"
        body = {"sourceLanguageCode": "en", "targetLanguageCode": "de", "texts": [text]}
    else:
        route, auth = "/v1/chat/completions", "Bearer bench-key"
        body = {"model": "bench", "stream": False, "messages": [
            {"role": "system", "content": "Translate from English (en) to German (de)."},
            {"role": "user", "content": text}]}
    straight.append(timed(fake, "POST", route, json.dumps(body),
                          {"Authorization": auth, "Content-Type": "application/json"}))
print("%.1f / %.1f ms|%.1f / %.1f ms" % (statistics.median(through), max(through), statistics.median(straight),
                                          max(straight)))
EOF
)
  IFS='|' read -r took own <<<"$burst"
  IFS='|' read -r through straight <<<"$alone"
  echo "| $round | $took | $calls | $own | $through | $straight |"
done
echo
echo "Load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
stop_offscreen_program
