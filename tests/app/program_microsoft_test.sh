#!/usr/bin/env bash
# Microsoft Translator through the real program, offscreen, against the fake engine's:
# - its key and region (the key from an environment variable) go in their headers, the key nowhere else;
# - the suite's zh-TW reaches it as zh-Hant; the log says "Microsoft", then "Microsoft (cache)" for a repeat;
# - its used-up free quota (403001) hands over to Bing and rests it; without its key there is no Microsoft.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it.
set -uo pipefail

program=$(realpath "${1:?program}")
KEY=6c1f0e2d9b8a47f3a5e4d3c2b1a09f8e
ENGINE_PATH="/translate?api-version=3.0"
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/keyed_engine_test_lib.sh"
export TESSARINE_TEST_MICROSOFT_KEY=$KEY

settings=$(printf '[General]\nProxyActive=1\nGoogle=0\nMicrosoft=1\n[Engines]\nBing=%s\nMicrosoft=%s\nMicrosoftKey=env:TESSARINE_TEST_MICROSOFT_KEY\nMicrosoftRegion=westeurope\n[Cache]\nEnabled=1\n[Failover]\nEnabled=1\nOrder=Bing\n' \
  "$bing" "$fake")
start_offscreen_program "$program" "$settings"

answer=$(translate Hello 'en|zh-TW') || fail "no answer from Microsoft"
[[ $answer == *'<span class=hps>zh-Hant: HELLO</span>'* ]] || fail "Microsoft answered: $answer"
check_request '
assert r["line"].startswith("POST /translate?api-version=3.0&from=en&to=zh-Hant "), r["line"]
assert "Ocp-Apim-Subscription-Key: " + key in r["headers"], r["headers"]
assert "Ocp-Apim-Subscription-Region: westeurope" in r["headers"], r["headers"]
assert r["body"] == [{"Text": "Hello"}], r["body"]'
answer=$(translate Hello 'en|zh-TW') || fail "no answer for the repeat"
[[ $answer == *'zh-Hant: HELLO'* ]] && engine_calls_are 1 || fail "the repeat: $answer"
wait_until "$LIMIT" grep -qx 'Microsoft (cache)' "$work/stderr.log" || fail "no Microsoft (cache) in the log"
grep -qx 'Microsoft' "$work/stderr.log" || fail "no Microsoft in the log"
echo "ok: Microsoft answers with its key and region in their headers, zh-Hant for zh-TW, and the repeat is cached"

control /_fake/reset x >/dev/null
control /_fake/mode '{"engine": "microsoft", "mode": "status", "code": 403, "content_type": "application/json",
  "body": "{\"error\":{\"code\":403001,\"message\":\"The subscription has exceeded its free quota.\"}}", "times": 1}' >/dev/null
answer=$(translate World 'en|de') || fail "no answer with the quota used up"
[[ $answer == *'<span class=hps>de: WORLD</span>'* ]] || fail "with the quota used up: $answer"
wait_until "$LIMIT" grep -qx 'Microsoft: The subscription has exceeded its free quota.' "$work/stderr.log" ||
  fail "the quota is not in the log"
answer=$(translate Again 'en|de') || fail "no answer while Microsoft rests"
[[ $answer == *'de: AGAIN'* ]] && engine_calls_are 1 || fail "while Microsoft rests: $answer"
echo "ok: a used-up quota hands over to Bing, and Microsoft rests"
stop_offscreen_program

keys_kept_in_headers Microsoft
