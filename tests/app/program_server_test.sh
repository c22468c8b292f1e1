#!/usr/bin/env bash
# The real program, offscreen, as a localization tool meets it:
# - an engine that cannot be reached (a closed port) is answered with status 500 and the connection's error, the
#   log (--log) says so, and with failover on the next engine answers;
# - without [Server] Address the server listens on every IPv4 and IPv6 address; with Address=127.0.0.1 on that
#   address only;
# - started with a soft open-file limit of 1024 under a higher hard one, it raises the soft one; a long text within
#   the request line's limit translates, a longer one gets 414 and a log line that does not repeat the text.
# Uses port 8888 like the other program runs; skipped (77) when another program holds it.
set -uo pipefail

program=$(realpath "${1:?program}")
SKIP=77
# shellcheck source=/dev/null
source "$(dirname "$(realpath "$0")")/../../tools/program_harness.sh"
LIMIT=30

fail() {
  echo "FAIL: $*" >&2
  [[ -s ${work:-/nonexistent}/stderr.log ]] && { echo "--- program stderr:" >&2; tail -n 30 "$work/stderr.log" >&2; }
  exit 1
}
trap harness_cleanup EXIT

for tool in curl ss python3 openssl; do command -v "$tool" >/dev/null || fail "$tool is not installed"; done
port_taken && { echo "SKIP: port $PORT is in use by another program"; exit $SKIP; }
work=$(mktemp -d)
# shellcheck disable=SC2034  # read by the harness
harness_work=$work
start_fake_engines || fail "the fake engines did not start"

# listeners: the local addresses listening on the port, sorted, one line.
listeners() { ss -Hltn "sport = :$PORT" | awk '{ print $4 }' | sort | tr '\n' ' '; }

# A port of this machine that nobody listens on.
closed=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
bing=$(engine_host Bing)

start_offscreen_program "$program" "$(printf '[General]\nProxyActive=1\n[Engines]\nGoogle=127.0.0.1:%s\nBing=%s' "$closed" "$bing")"
code=$(curl -s --max-time 20 -o "$work/body" -w '%{http_code}' \
  "http://127.0.0.1:$PORT/linxp_translate_t?text=Hello&langpair=en%7Cde") || fail "no answer for an unreachable engine"
[[ $code == 500 && $(cat "$work/body") == $'Socket Error # 10061\r\nConnection refused.' ]] ||
  fail "unreachable engine answered $code: $(cat -A "$work/body")"
wait_until "$LIMIT" grep -q 'Google: Socket Error # 10061' "$work/stderr.log" || fail "the failure is not in the log"
echo "ok: an unreachable engine is answered with 500 and the error, and logged"
[[ $(listeners) == "*:$PORT [::]:$PORT " || $(listeners) == "0.0.0.0:$PORT [::]:$PORT " ]] ||
  fail "default listeners: $(listeners)"
echo "ok: without [Server] Address it listens on every address: $(listeners)"
stop_offscreen_program

start_offscreen_program "$program" "$(printf '[General]\nProxyActive=1\n[Engines]\nGoogle=127.0.0.1:%s\nBing=%s\n[Failover]\nEnabled=1\n[Server]\nAddress=127.0.0.1' \
  "$closed" "$bing")"
answer=$(translate Hello en\|de) || fail "no answer with failover"
[[ $answer == *'de: HELLO'* ]] || fail "failover answered: $answer"
echo "ok: with failover on, the next engine answers"
[[ $(listeners) == "127.0.0.1:$PORT " ]] || fail "listeners with Address=127.0.0.1: $(listeners)"
echo "ok: with [Server] Address=127.0.0.1 it listens there only"
stop_offscreen_program

hard=$(ulimit -Hn)
ulimit -Sn 1024
start_offscreen_program "$program" "$(settings_file Google=1)"
limits=$(grep '^Max open files' "/proc/$program_pid/limits")
[[ $(awk '{ print $4 }' <<<"$limits") == "$hard" ]] || fail "open-file limit not raised to $hard: $limits"
echo "ok: the soft open-file limit is raised to the hard one ($hard)"
# 39 bytes a word once percent-encoded: 400 words make a request line of 15,654 bytes, 600 one of 23,454.
words() { python3 -c 'import sys; print("Привет " * int(sys.argv[1]), end="")' "$1"; }
answer=$(translate "$(words 400)" 'ru|en') || fail "no answer for a long text"
[[ $answer == *'<span class=hps>en: Привет Привет'* ]] || fail "long text answered: ${answer:0:200}"
echo "ok: a text of 400 Cyrillic words translates"
code=$(curl -s --max-time 20 -o "$work/body" -w '%{http_code}' -G "http://127.0.0.1:$PORT/linxp_translate_t" \
  --data-urlencode "text=$(words 600)" --data-urlencode 'langpair=ru|en') || fail "no answer for a text over the limit"
[[ $code == 414 ]] || fail "a text over the limit answered $code"
wait_until "$LIMIT" grep -q 'Request refused: request line longer than 16384 bytes (414)' "$work/stderr.log" ||
  fail "the refusal is not in the log"
[[ $(grep -c 'Request refused' "$work/stderr.log") == 1 && $(grep 'Request refused' "$work/stderr.log") != *'%D0'* ]] ||
  fail "the refusal's log line: $(grep 'Request refused' "$work/stderr.log")"
echo "ok: a text over the limit gets 414 and one log line"
stop_offscreen_program
ulimit -Sn "$hard"
