# shellcheck shell=bash disable=SC2154
# What the whole-road tests of the keyed engines share (program_microsoft_test.sh, program_google_cloud_test.sh):
# the start with the fake engines, their control, what one engine received, and the checks that its key went
# nowhere but its header. Source it after setting $program, $KEY and $ENGINE_PATH (what the engine's request
# lines start with).

SKIP=77
# shellcheck source=/dev/null
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/program_harness.sh"
LIMIT=30

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
bing=$(engine_host Bing)

# control PATH [JSON]: a control request to the fake.
control() {
  if [[ $# -gt 1 ]]; then curl -sf --max-time 10 -d "$2" "$fake$1"; else curl -sf --max-time 10 "$fake$1"; fi
}
# engine_requests: what the engine received so far, one JSON object a line ({"line", "headers", "body"}).
engine_requests() {
  control /_fake/requests | python3 -c '
import base64, json, sys
for r in json.load(sys.stdin):
    if r["request_line"].startswith("POST " + sys.argv[1]):
        print(json.dumps({"line": r["request_line"], "headers": r["headers"],
                          "body": json.loads(base64.b64decode(r["body_b64"]))}))' "$ENGINE_PATH"
}
engine_calls_are() { [[ $(engine_requests | wc -l) == "$1" ]]; }
# check_request PYTHON: the first request the engine received, as r, passes the assertions.
check_request() {
  python3 -c "import json, sys
r = json.loads(sys.argv[1])
key = sys.argv[2]
$1" "$(engine_requests | head -n 1)" "$KEY" || fail "the engine's request: $(engine_requests | head -n 1)"
}

# keys_kept_in_headers NAME: after the program stopped, its key is in none of its logs, request lines or bodies, and
# --check-engines asks the engine without showing it; without its key there is no such engine.
keys_kept_in_headers() {
  local file
  for file in stderr.log stdout.log; do grep -qF "$KEY" "$work/$file" && fail "the key is in the program's $file"; done
  control /_fake/requests | python3 -c '
import base64, json, sys
for r in json.load(sys.stdin):
    assert sys.argv[1] not in r["request_line"] + base64.b64decode(r["body_b64"]).decode("utf-8", "replace")' "$KEY" ||
    fail "the key went out in a request line or a body"
  QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
  grep -qE "^$1 +127\.0\.0\.1:$http_port +de: HELLO WORLD " "$work/check.txt" ||
    fail "--check-engines: $(cat "$work/check.txt")"
  grep -qF "$KEY" "$work/check.txt" && fail "the key is in --check-engines' table"
  printf '[Engines]\nBing=%s\n%s=%s\n' "$bing" "$1" "$fake" >"$work/setting.ini"
  QT_QPA_PLATFORM=offscreen "$program" --check-engines --settings "$work/setting.ini" >"$work/check.txt" 2>&1
  grep -q "^$1 " "$work/check.txt" && fail "$1 without its key: $(cat "$work/check.txt")"
  echo "ok: the key stays in its header, --check-engines asks $1 without showing it, and without it there is no $1"
}
