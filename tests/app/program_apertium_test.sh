#!/usr/bin/env bash
# The real program, offscreen, with the real Apertium service (Debian's apertium-apy and apertium-eng-spa) on
# loopback as its engine:
# - "Hello world" en|es is "Hola Mundo" with the Apertium item chosen; a Spanish sentence with accents and "¿"
#   comes back as the service translates it when asked straight; an unknown word comes back unmarked;
# - a pair that is not installed is answered with status 500 and the service's explanation;
# - with the cache on, the second identical request is answered from the cache;
# - with failover on and the chosen engine failing, Apertium answers;
# - with [Protect] on, placeholders, the product's name and the accelerator come back as they were, the service
#   gets them as tokens, and the log shows the texts, never the tokens.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it. A missing Apertium
# service fails: the install script installs it.
set -uo pipefail

program=$(realpath "${1:?program}")
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
LIMIT=30
HEAD='<div><div><div><span id=result_box class=short_text><span class=hps>'
TAIL='</span></span></div></div><div>'

fail() {
  echo "FAIL: $*" >&2
  [[ -s ${work:-/nonexistent}/stderr.log ]] && { echo "--- program stderr:" >&2; tail -n 30 "$work/stderr.log" >&2; }
  [[ -s ${work:-/nonexistent}/apertium.log ]] && { echo "--- apertium:" >&2; tail -n 10 "$work/apertium.log" >&2; }
  exit 1
}
trap harness_cleanup EXIT

for tool in curl python3; do command -v "$tool" >/dev/null || fail "$tool is not installed"; done
port_taken && { echo "SKIP: port $PORT is in use by another program"; exit $SKIP; }
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
start_apertium || fail "the Apertium service did not start (apertium-apy and apertium-eng-spa installed?)"

# ask TEXT LANGPAIR: the program's status code; the body goes to $work/body.
ask() {
  curl -s --max-time 20 -o "$work/body" -w '%{http_code}' -G "http://127.0.0.1:$PORT/linxp_translate_t" \
    --data-urlencode "text=$1" --data-urlencode "langpair=$2"
}
# expect TEXT LANGPAIR TRANSLATION: a 200 answer carrying exactly that translation.
expect() {
  local code
  code=$(ask "$1" "$2") || fail "no answer for $1"
  [[ $code == 200 && $(cat "$work/body") == "$HEAD$3$TAIL" ]] || fail "$1 ($2) answered $code: $(cat "$work/body")"
}
# straight TEXT LANGPAIR: the service's own translation, asked without the program.
# shellcheck disable=SC2154  # apertium_port is set by start_apertium
straight() {
  curl -s --max-time 20 -G "http://127.0.0.1:$apertium_port/translate" --data-urlencode "q=$1" \
    --data-urlencode "langpair=$2" --data-urlencode "markUnknown=no" |
    python3 -c 'import json, sys; sys.stdout.write(json.load(sys.stdin)["responseData"]["translatedText"])'
}

closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

start_offscreen_program "$program" "$(printf '[General]\nProxyActive=1\nGoogle=0\nApertium=1\n[Engines]\nApertium=127.0.0.1:%s\n[Cache]\nEnabled=1' \
  "$apertium_port")"
expect "Hello world" "en|es" "Hola Mundo"
echo "ok: Hello world is Hola Mundo"
sentence='¿Cuántos años tiene José? Mañana llegará a Málaga.'
direct=$(straight "$sentence" "es|en") || fail "the service did not answer straight"
[[ $direct == *José*Málaga* ]] || fail "the service translated it as: $direct"
expect "$sentence" "es|en" "$direct"
expect "The child ate an apple." "en|es" "El niño comió una manzana."
echo "ok: accents and ¿ come through as the service translates them: $direct"
expect "Open Tessarine now" "en|es" "Abierto Tessarine ahora"
echo "ok: an unknown word comes back unmarked"
code=$(ask "Hello world" "en|ru")
[[ $code == 500 && $(cat "$work/body") == "That pair is not installed" ]] ||
  fail "a missing pair answered $code: $(cat "$work/body")"
wait_until "$LIMIT" grep -q 'Apertium: That pair is not installed' "$work/stderr.log" || fail "the refusal is not in the log"
echo "ok: a missing pair answers 500 with the service's explanation"
asked=$(grep -c 'GET /translate?q=Hello%20world&langpair=en%7Ces' "$work/apertium.log")
expect "Hello world" "en|es" "Hola Mundo"
wait_until "$LIMIT" grep -q '^Apertium (cache)$' "$work/stderr.log" || fail "the repeat was not answered from the cache"
[[ $(grep -c 'GET /translate?q=Hello%20world&langpair=en%7Ces' "$work/apertium.log") == "$asked" ]] ||
  fail "the repeat reached the service"
echo "ok: the second identical request is a cache hit"
stop_offscreen_program

start_offscreen_program "$program" "$(printf '[General]\nProxyActive=1\n[Engines]\nGoogle=127.0.0.1:%s\nApertium=127.0.0.1:%s\n[Failover]\nEnabled=1\nOrder=Apertium' \
  "$closed" "$apertium_port")"
expect "Hello world" "en|es" "Hola Mundo"
wait_until "$LIMIT" grep -q '^Google: Socket Error' "$work/stderr.log" || fail "Google's failure is not in the log"
wait_until "$LIMIT" grep -q '^Apertium$' "$work/stderr.log" || fail "the log does not name Apertium as the engine that answered"
echo "ok: with failover on and Google failing, Apertium answers"
stop_offscreen_program

start_offscreen_program "$program" "$(printf '[General]\nProxyActive=1\nGoogle=0\nApertium=1\n[Engines]\nApertium=127.0.0.1:%s\n[Protect]\nEnabled=1\nTerms=Tessarine Studio' \
  "$apertium_port")"
expect "Open the file %s of Tessarine Studio" "en|es" "Abierto la lima %s de Tessarine Studio"
expect "E&xit" "en|es" "Salida(&X)"
grep -q 'GET /translate?q=Open%20the%20file%20%3Cx%20id%3D%221%22%2F%3E%20of%20%3Cx%20id%3D%222%22%2F%3E' \
  "$work/apertium.log" || fail "the service did not get the tokens: $(tail -n 3 "$work/apertium.log")"
wait_until "$LIMIT" grep -q '^Salida(&X)$' "$work/stderr.log" || fail "the answer is not in the log"
grep -q '^Open the file %s of Tessarine Studio$' "$work/stderr.log" || fail "the text is not in the log"
! grep -q 'x id=' "$work/stderr.log" || fail "the log shows tokens"
echo "ok: with [Protect] on, %s, the product's name and the accelerator are kept"
stop_offscreen_program
