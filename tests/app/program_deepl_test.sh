#!/usr/bin/env bash
# DeepL through the real program, offscreen, against the fake engine's DeepL:
# - its key (from an environment variable here) goes in its header, and nowhere else: not in the log, an answer,
#   the fake's request lines and bodies, or --check-engines' table;
# - the suite's zh-TW reaches DeepL as ZH-HANT; the log says "DeepL", then "DeepL (cache)" for a repeat;
# - requests that arrive together go out in fewer calls; the call holding a text DeepL refuses fails over to Bing
#   request by request, each with its own text;
# - a used-up quota hands over to Bing and rests DeepL;
# - without its key there is no DeepL at all, even with its host named.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it.
set -uo pipefail

program=$(realpath "${1:?program}")
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
LIMIT=30
KEY=9f1c2e3d-5a6b-4c7d-8e9f-0a1b2c3d4e5f:fx

fail() {
  echo "FAIL: $*" >&2
  [[ -s ${work:-/nonexistent}/stderr.log ]] && { echo "--- program stderr:" >&2; tail -n 30 "$work/stderr.log" >&2; }
  exit 1
}
trap harness_cleanup EXIT

for tool in curl python3 openssl; do command -v "$tool" >/dev/null || fail "$tool is not installed"; done
port_taken && { echo "SKIP: port $PORT is in use by another program"; exit $SKIP; }
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
start_fake_engines || fail "the fake engines did not start"
fake="http://127.0.0.1:$http_port"
export TESSARINE_TEST_DEEPL_KEY=$KEY

# control PATH [JSON]: a control request to the fake.
control() {
  if [[ $# -gt 1 ]]; then curl -sf --max-time 10 -d "$2" "$fake$1"; else curl -sf --max-time 10 "$fake$1"; fi
}
# deepl_requests: what DeepL received so far, one JSON object a line (the body decoded, the headers joined).
deepl_requests() {
  control /_fake/requests | python3 -c '
import base64, json, sys
for r in json.load(sys.stdin):
    if r["request_line"].startswith("POST /v2/translate "):
        print(json.dumps({"headers": r["headers"], "body": json.loads(base64.b64decode(r["body_b64"]))}))'
}
# burst PAIR=TEXT...: the texts asked at once, each for its pair; prints each answer's translation on a line of its
# own, in order.
burst() {
  python3 - "$PORT" "$@" <<'EOF'
import sys, threading, urllib.parse, urllib.request
port, items = sys.argv[1], [item.partition("=")[::2] for item in sys.argv[2:]]
answers = [None] * len(items)
start = threading.Barrier(len(items))
def ask(i):
    query = urllib.parse.urlencode({"text": items[i][1], "langpair": items[i][0]})
    start.wait()
    try:
        with urllib.request.urlopen("http://127.0.0.1:%s/linxp_translate_t?%s" % (port, query), timeout=20) as reply:
            body = reply.read().decode("utf-8")
        answers[i] = body.split("<span class=hps>")[1].split("</span>")[0]
    except Exception as failure:
        answers[i] = "failed: %s" % failure
threads = [threading.Thread(target=ask, args=(i,)) for i in range(len(items))]
for thread in threads: thread.start()
for thread in threads: thread.join()
print("\n".join(answers))
EOF
}
deepl_calls_are() { [[ $(deepl_requests | wc -l) == "$1" ]]; }

bing=$(engine_host Bing)
settings=$(printf '[General]\nProxyActive=1\nGoogle=0\nDeepL=1\n[Engines]\nBing=%s\nDeepL=%s\nDeepLKey=env:TESSARINE_TEST_DEEPL_KEY\n[Cache]\nEnabled=1\n[Failover]\nEnabled=1\nOrder=Bing\n' \
  "$bing" "$fake")
start_offscreen_program "$program" "$settings"

answer=$(translate Hello 'en|zh-TW') || fail "no answer from DeepL"
[[ $answer == *'<span class=hps>ZH-HANT: HELLO</span>'* ]] || fail "DeepL answered: $answer"
request=$(deepl_requests | head -n 1)
python3 -c '
import json, sys
r = json.loads(sys.argv[1])
assert "Authorization: DeepL-Auth-Key " + sys.argv[2] in r["headers"], r["headers"]
assert r["body"] == {"text": ["Hello"], "source_lang": "EN", "target_lang": "ZH-HANT"}, r["body"]' "$request" "$KEY" ||
  fail "DeepL's request: $request"
answer=$(translate Hello 'en|zh-TW') || fail "no answer for the repeat"
[[ $answer == *'ZH-HANT: HELLO'* && $(deepl_requests | wc -l) == 1 ]] || fail "the repeat: $answer"
wait_until "$LIMIT" grep -qx 'DeepL (cache)' "$work/stderr.log" || fail "no DeepL (cache) in the log"
grep -qx 'DeepL' "$work/stderr.log" || fail "no DeepL in the log"
echo "ok: DeepL answers with its key in its header, ZH-HANT for zh-TW, and the repeat comes from the cache"

# A call holding "poison" is refused after three seconds (time for a loaded machine to send the next burst), as
# for a pair DeepL does not take. Four such calls of other pairs take every call DeepL may have at once, so the
# seven that come next all wait for the same call.
control /_fake/reset x >/dev/null
control /_fake/mode '{"engine": "deepl", "mode": "status", "code": 400, "content_type": "application/json",
  "body": "{\"message\": \"Value for '"'"'target_lang'"'"' not supported.\"}", "match": "poison", "seconds": 3}' >/dev/null
burst 'en|fr=poison-a' 'en|es=poison-b' 'en|it=poison-c' 'en|pl=poison-d' >"$work/others.txt" &
others=$!
wait_until 10 deepl_calls_are 4 || fail "the first four calls did not reach DeepL"
texts=(w1 w2 poison w3 w4 w5 w6)
mapfile -t answers < <(burst "${texts[@]/#/en|de=}")
wait "$others"
[[ $(cat "$work/others.txt") == $'fr: POISON-A\nes: POISON-B\nit: POISON-C\npl: POISON-D' ]] ||
  fail "the first four were answered $(cat "$work/others.txt")"
for i in "${!texts[@]}"; do
  [[ ${answers[i]} == "de: ${texts[i]^^}" ]] || fail "${texts[i]} was answered ${answers[i]}"
done
deepl_calls_are 5 || fail "the seven took $(($(deepl_requests | wc -l) - 4)) calls"
# The seven arrive in any order; the call must hold each of them once.
python3 -c '
import json, sys
assert sorted(json.loads(sys.argv[1])["body"]["text"]) == sorted(sys.argv[2:]), sys.argv[1]' \
  "$(deepl_requests | tail -n 1)" "${texts[@]}" || fail "the last call: $(deepl_requests | tail -n 1)"
[[ $(grep -c "^DeepL: Value for 'target_lang' not supported.$" "$work/stderr.log") -ge 11 ]] ||
  fail "each refused request is not logged"
echo "ok: seven requests waiting together went out in one call, which DeepL refused, and each was answered by Bing"

control /_fake/reset x >/dev/null
control /_fake/mode '{"engine": "deepl", "mode": "status", "code": 456, "content_type": "application/json",
  "body": "{\"message\": \"Quota exceeded\"}", "times": 1}' >/dev/null
answer=$(translate World 'en|de') || fail "no answer with the quota used up"
[[ $answer == *'<span class=hps>de: WORLD</span>'* ]] || fail "with the quota used up: $answer"
wait_until "$LIMIT" grep -qx 'DeepL: Quota exceeded' "$work/stderr.log" || fail "the quota is not in the log"
answer=$(translate Again 'en|de') || fail "no answer while DeepL rests"
[[ $answer == *'de: AGAIN'* && $(deepl_requests | wc -l) == 1 ]] || fail "while DeepL rests: $answer"
echo "ok: a used-up quota hands over to Bing, and DeepL rests"

for file in stderr.log stdout.log; do
  grep -qF "$KEY" "$work/$file" && fail "the key is in the program's $file"
done
control /_fake/requests | python3 -c '
import base64, json, sys
for r in json.load(sys.stdin):
    assert sys.argv[1] not in r["request_line"] + base64.b64decode(r["body_b64"]).decode("utf-8", "replace")' "$KEY" ||
  fail "the key went out in a request line or a body"
stop_offscreen_program

QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
grep -qE "^DeepL +127\.0\.0\.1:$http_port +DE: HELLO WORLD " "$work/check.txt" || fail "--check-engines: $(cat "$work/check.txt")"
grep -qF "$KEY" "$work/check.txt" && fail "the key is in --check-engines' table"
printf '[Engines]\nBing=%s\nDeepL=%s\n' "$bing" "$fake" >"$work/setting.ini"
QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
grep -q '^DeepL' "$work/check.txt" && fail "DeepL without its key: $(cat "$work/check.txt")"
echo "ok: --check-engines asks DeepL without showing its key, and without the key there is no DeepL"
