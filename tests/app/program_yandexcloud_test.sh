#!/usr/bin/env bash
# Yandex Cloud through the real program, offscreen, against the fake engine's:
# - its key (from an environment variable) goes in its header only, the folder in the body; zh-TW reaches it as
#   zh; the log says "YandexCloud", then "YandexCloud (cache)";
# - texts waiting together split at its 10,000 characters;
# - a refused key hands over to Bing and rests it; the key is in no log line, answer, request line, body or
#   --check-engines' table; without its key there is no YandexCloud.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it.
set -uo pipefail

program=$(realpath "${1:?program}")
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
LIMIT=30
KEY=AQVN3f9c2e1d5a6b4c7d8e9f0a1b2c3d4e5f

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
export TESSARINE_TEST_YANDEX_CLOUD_KEY=$KEY
ROUTE=/translate/v2/translate
calls_are() { [[ $(fake_posts $ROUTE | wc -l) == "$1" ]]; }

bing=$(engine_host Bing)
settings=$(printf '[General]\nProxyActive=1\nGoogle=0\nYandexCloud=1\n[Engines]\nBing=%s\nYandexCloud=http://%s\nYandexCloudKey=env:TESSARINE_TEST_YANDEX_CLOUD_KEY\nYandexCloudFolder=b1gfolder\n[Cache]\nEnabled=1\n[Failover]\nEnabled=1\nOrder=Bing\n' \
  "$bing" "$bing")
start_offscreen_program "$program" "$settings"

answer=$(translate Hello 'en|zh-TW') || fail "no answer from YandexCloud"
[[ $answer == *'<span class=hps>zh: HELLO</span>'* ]] || fail "YandexCloud answered: $answer"
python3 -c '
import json, sys
r = json.loads(sys.argv[1])
assert "Authorization: Api-Key " + sys.argv[2] in r["headers"], r["headers"]
assert r["body"] == {"sourceLanguageCode": "en", "targetLanguageCode": "zh", "texts": ["Hello"],
                     "folderId": "b1gfolder"}, r["body"]' "$(fake_posts $ROUTE)" "$KEY" ||
  fail "YandexCloud's request: $(fake_posts $ROUTE)"
answer=$(translate Hello 'en|zh-TW') || fail "no answer for the repeat"
[[ $answer == *'zh: HELLO'* ]] && calls_are 1 || fail "the repeat: $answer"
wait_until "$LIMIT" grep -qx 'YandexCloud (cache)' "$work/stderr.log" || fail "no YandexCloud (cache) in the log"
grep -qx 'YandexCloud' "$work/stderr.log" || fail "no YandexCloud in the log"
echo "ok: YandexCloud answers with its key in its header, zh for zh-TW, and the repeat comes from the cache"

# Four calls of other pairs held for three seconds take every call it may have at once; the three long texts
# that come next wait together and go out in as few calls as its 10,000 characters allow.
fake_control /_fake/reset x >/dev/null
fake_control /_fake/mode '{"engine": "yandexcloud", "mode": "stall", "seconds": 3, "match": "hold"}' >/dev/null
burst_translate 'en|fr=hold-a' 'en|es=hold-b' 'en|it=hold-c' 'en|pl=hold-d' >"$work/others.txt" &
others=$!
wait_until 10 calls_are 4 || fail "the first four calls did not reach YandexCloud"
filler=$(printf 'w%.0s' {1..3499})
texts=("a$filler" "b$filler" "c$filler")
mapfile -t answers < <(burst_translate "${texts[@]/#/en|de=}")
wait "$others"
[[ $(cat "$work/others.txt") == $'fr: HOLD-A\nes: HOLD-B\nit: HOLD-C\npl: HOLD-D' ]] ||
  fail "the first four were answered $(cat "$work/others.txt")"
for i in "${!texts[@]}"; do
  [[ ${answers[i]} == "de: ${texts[i]^^}" ]] || fail "${texts[i]:0:9}... was answered ${answers[i]:0:40}"
done
python3 -c '
import json, sys
calls = [json.loads(line)["body"]["texts"] for line in sys.argv[1].splitlines()[4:]]
assert sorted(len(texts) for texts in calls) == [1, 2], [len(t) for t in calls]
assert all(sum(map(len, texts)) <= 10000 for texts in calls)' "$(fake_posts $ROUTE)" ||
  fail "the long texts' calls: $(fake_posts $ROUTE | tail -n +5 | cut -c1-200)"
echo "ok: three texts of 3,500 characters waiting together went out as two and one"

fake_control /_fake/reset x >/dev/null
fake_control /_fake/mode '{"engine": "yandexcloud", "mode": "status", "code": 401, "content_type": "application/json",
  "body": "{\"code\": 16, \"message\": \"Unknown api key\", \"details\": []}", "times": 1}' >/dev/null
answer=$(translate World 'en|de') || fail "no answer with the key refused"
[[ $answer == *'<span class=hps>de: WORLD</span>'* ]] || fail "with the key refused: $answer"
wait_until "$LIMIT" grep -qx 'YandexCloud: Unknown api key' "$work/stderr.log" || fail "the refusal is not in the log"
answer=$(translate Again 'en|de') || fail "no answer while YandexCloud rests"
[[ $answer == *'de: AGAIN'* ]] && calls_are 1 || fail "while YandexCloud rests: $answer"
echo "ok: a refused key hands over to Bing, and YandexCloud rests"

for file in stderr.log stdout.log; do
  grep -qF "$KEY" "$work/$file" && fail "the key is in the program's $file"
done
fake_holds_no "$KEY" || fail "the key went out in a request line or a body"
stop_offscreen_program

QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
grep -qE "^YandexCloud +127\.0\.0\.1:$http_port +de: HELLO WORLD " "$work/check.txt" ||
  fail "--check-engines: $(cat "$work/check.txt")"
grep -qF "$KEY" "$work/check.txt" && fail "the key is in --check-engines' table"
printf '[Engines]\nBing=%s\nYandexCloud=%s\nYandexCloudFolder=b1gfolder\n' "$bing" "$bing" >"$work/setting.ini"
QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
grep -q '^YandexCloud' "$work/check.txt" && fail "YandexCloud without its key: $(cat "$work/check.txt")"
echo "ok: --check-engines asks YandexCloud without showing its key, and without the key there is no YandexCloud"
