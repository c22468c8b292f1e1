#!/usr/bin/env bash
# Google Cloud Translation through the real program, offscreen, against the fake engine's, with [Protect] on:
# - its key (from an environment variable) goes in x-goog-api-key, and nowhere else;
# - the suite's zh-HK reaches it as zh-TW; a placeholder travels in a translate="no" span with format=html, and the
#   apostrophe Google's html writes as &#39; comes back as itself; the log says "GoogleCloud", then
#   "GoogleCloud (cache)" for a repeat;
# - its daily limit hands over to Bing and rests it; without its key there is no GoogleCloud.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it.
set -uo pipefail

program=$(realpath "${1:?program}")
KEY=AIzaSyB-7d1e9c3a5f0b2d4e6a8c0e2f4a6b8d0c2e4
ENGINE_PATH="/language/translate/v2 "
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/keyed_engine_test_lib.sh"
export TESSARINE_TEST_GOOGLE_CLOUD_KEY=$KEY

settings=$(printf '[General]\nProxyActive=1\nGoogle=0\nGoogleCloud=1\n[Engines]\nBing=%s\nGoogleCloud=%s\nGoogleCloudKey=env:TESSARINE_TEST_GOOGLE_CLOUD_KEY\n[Cache]\nEnabled=1\n[Failover]\nEnabled=1\nOrder=Bing\n[Protect]\nEnabled=1\n' \
  "$bing" "$fake")
start_offscreen_program "$program" "$settings"

answer=$(translate "it's {0}" 'en|zh-HK') || fail "no answer from GoogleCloud"
[[ $answer == *"<span class=hps>zh-TW: IT'S {0}</span>"* ]] || fail "GoogleCloud answered: $answer"
check_request '
assert "x-goog-api-key: " + key in r["headers"], r["headers"]
assert r["body"] == {"q": ["it'"'"'s <span translate=\"no\">{0}</span>"], "source": "en", "target": "zh-TW",
                     "format": "html"}, r["body"]'
answer=$(translate "it's {0}" 'en|zh-HK') || fail "no answer for the repeat"
[[ $answer == *"zh-TW: IT'S {0}"* ]] && engine_calls_are 1 || fail "the repeat: $answer"
wait_until "$LIMIT" grep -qx 'GoogleCloud (cache)' "$work/stderr.log" || fail "no GoogleCloud (cache) in the log"
grep -qx 'GoogleCloud' "$work/stderr.log" || fail "no GoogleCloud in the log"
echo "ok: GoogleCloud answers with its key in its header, zh-TW for zh-HK, its entities undone, the repeat cached"

control /_fake/reset x >/dev/null
control /_fake/mode '{"engine": "googlecloud", "mode": "status", "code": 403, "content_type": "application/json",
  "body": "{\"error\":{\"code\":403,\"message\":\"Daily Limit Exceeded\"}}", "times": 1}' >/dev/null
answer=$(translate World 'en|de') || fail "no answer with the daily limit reached"
[[ $answer == *'<span class=hps>de: WORLD</span>'* ]] || fail "with the daily limit reached: $answer"
wait_until "$LIMIT" grep -qx 'GoogleCloud: Daily Limit Exceeded' "$work/stderr.log" || fail "the limit is not in the log"
answer=$(translate Again 'en|de') || fail "no answer while GoogleCloud rests"
[[ $answer == *'de: AGAIN'* ]] && engine_calls_are 1 || fail "while GoogleCloud rests: $answer"
echo "ok: a daily limit hands over to Bing, and GoogleCloud rests"
stop_offscreen_program

keys_kept_in_headers GoogleCloud
