#!/usr/bin/env bash
# A language model through the real program, offscreen, against the fake engine's chat completions (which
# streams unless a request says "stream": false):
# - its key (from an environment variable) goes as a Bearer header only; the instructions name the languages in
#   words and, with [Protect] on, say to keep the tokens; the model's <think> block is not in the answer; the
#   log says "LLM", then "LLM (cache)";
# - requests asked at once go one text a call;
# - a spent quota hands over to Bing and rests it; the key is in no log line, request line, body or
#   --check-engines' table; without its model there is no LLM.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it.
set -uo pipefail

program=$(realpath "${1:?program}")
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
LIMIT=30
KEY=sk-proj-7e3a9c1f5b2d4e6a8c0f

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
export TESSARINE_TEST_LLM_KEY=$KEY
ROUTE=/v1/chat/completions
calls_are() { [[ $(fake_posts $ROUTE | wc -l) == "$1" ]]; }

bing=$(engine_host Bing)
settings=$(printf '[General]\nProxyActive=1\nGoogle=0\nLLM=1\n[Engines]\nBing=%s\nLLM=http://%s/v1\nLLMModel=reasoner-small\nLLMKey=env:TESSARINE_TEST_LLM_KEY\n[Cache]\nEnabled=1\n[Failover]\nEnabled=1\nOrder=Bing\n[Protect]\nEnabled=1\n' \
  "$bing" "$bing")
start_offscreen_program "$program" "$settings"

answer=$(translate 'Open %s' 'en|pt-BR') || fail "no answer from LLM"
[[ $answer == *'<span class=hps>pt-BR: OPEN %s</span>'* ]] || fail "LLM answered: $answer"
# Bing would answer the same: it must not have been asked.
fake_control /_fake/requests | grep -q ajax.svc && fail "LLM failed and Bing answered: $(grep '^LLM:' "$work/stderr.log")"
python3 -c '
import json, sys
r = json.loads(sys.argv[1])
assert "Authorization: Bearer " + sys.argv[2] in r["headers"], r["headers"]
body = r["body"]
assert body["model"] == "reasoner-small" and body["stream"] is False and len(body) == 3, body
system, user = body["messages"]
assert " from English (en) to Brazilian Portuguese (pt-BR)." in system["content"], system
assert "[X1X]" in system["content"] and user == {"role": "user", "content": "Open [X1X]"}, body' \
  "$(fake_posts $ROUTE)" "$KEY" || fail "LLM's request: $(fake_posts $ROUTE)"
answer=$(translate 'Open %s' 'en|pt-BR') || fail "no answer for the repeat"
[[ $answer == *'pt-BR: OPEN %s'* ]] && calls_are 1 || fail "the repeat: $answer"
wait_until "$LIMIT" grep -qx 'LLM (cache)' "$work/stderr.log" || fail "no LLM (cache) in the log"
grep -qx 'LLM' "$work/stderr.log" || fail "no LLM in the log"
echo "ok: LLM answers without its reasoning, the tokens kept, its key in its header, and the repeat from the cache"

fake_control /_fake/reset x >/dev/null
mapfile -t answers < <(burst_translate 'en|de=w1' 'en|de=w2' 'en|de=w3')
[[ "${answers[*]}" == 'de: W1 de: W2 de: W3' ]] || fail "asked at once: ${answers[*]}"
python3 -c '
import json, sys
users = sorted(json.loads(line)["body"]["messages"][1]["content"] for line in sys.argv[1].splitlines())
assert users == ["w1", "w2", "w3"], users' "$(fake_posts $ROUTE)" || fail "the calls: $(fake_posts $ROUTE)"
echo "ok: three requests asked at once went one text a call"

fake_control /_fake/reset x >/dev/null
fake_control /_fake/mode '{"engine": "llm", "mode": "status", "code": 429, "content_type": "application/json",
  "body": "{\"error\": {\"message\": \"You exceeded your current quota.\", \"type\": \"insufficient_quota\", \"code\": \"insufficient_quota\"}}",
  "times": 1}' >/dev/null
answer=$(translate World 'en|de') || fail "no answer with the quota spent"
[[ $answer == *'<span class=hps>de: WORLD</span>'* ]] || fail "with the quota spent: $answer"
wait_until "$LIMIT" grep -qx 'LLM: You exceeded your current quota.' "$work/stderr.log" || fail "the quota is not in the log"
answer=$(translate Again 'en|de') || fail "no answer while LLM rests"
[[ $answer == *'de: AGAIN'* ]] && calls_are 1 || fail "while LLM rests: $answer"
echo "ok: a spent quota hands over to Bing, and LLM rests"

for file in stderr.log stdout.log; do
  grep -qF "$KEY" "$work/$file" && fail "the key is in the program's $file"
done
fake_holds_no "$KEY" || fail "the key went out in a request line or a body"
stop_offscreen_program

QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
grep -qE "^LLM +127\.0\.0\.1:$http_port/v1 +de: HELLO WORLD " "$work/check.txt" || fail "--check-engines: $(cat "$work/check.txt")"
grep -qF "$KEY" "$work/check.txt" && fail "the key is in --check-engines' table"
printf '[Engines]\nBing=%s\nLLM=http://%s/v1\nLLMKey=%s\n' "$bing" "$bing" "$KEY" >"$work/setting.ini"
QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
grep -q '^LLM' "$work/check.txt" && fail "LLM without its model: $(cat "$work/check.txt")"
echo "ok: --check-engines asks LLM without showing its key, and without its model there is no LLM"
