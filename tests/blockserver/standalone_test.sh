#!/usr/bin/env bash
# The stand-alone server: serves a rule file (read as the engine reads a configuration), prints
# its URLs, stops cleanly on SIGTERM, and refuses a broken or missing rule file.
set -euo pipefail
program=$1
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

echo '{broken' >"$work/broken.json"
if "$program" "$work/broken.json" 2>"$work/err"; then fail "a broken rule file was accepted"; fi
grep -q "broken.json: not valid JSON" "$work/err" || fail "no clear error: $(cat "$work/err")"
if "$program" "$work/missing.json" 2>/dev/null; then fail "a missing rule file was accepted"; fi

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
echo '{"blockedDomains": [" Video.Example ", 7], "allWebsitesBlocked": false}' >"$work/rules.json"
"$program" --port "$port" "$work/rules.json" >"$work/out" 2>&1 &
server=$!
for _ in $(seq 100); do grep -q "/blocked" "$work/out" && break; sleep 0.05; done
for path in proxy.pac config.json blocked; do
    grep -qx "  http://127.0.0.1:$port/$path" "$work/out" || fail "URL of /$path not printed"
done
curl -s "http://127.0.0.1:$port/config.json" |
    grep -q '"allWebsitesBlocked":false,.*"blockedDomains":\["video.example"\]' || fail "rules not served"

kill -TERM "$server"
wait "$server" || fail "exit status $? after SIGTERM"
server=""
echo "ok"
