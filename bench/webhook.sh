#!/usr/bin/env bash
# What posting every scan to a web hook costs: harbinel.exe under Wine
# (throwaway prefix, null driver) on one loopback port, scanned by a small
# native scanner from 249 loopback addresses (so the per-caller minute lets
# most scans through) with the hook off and on (a local python3 HTTP
# server), rounds alternating; then a flood with the hook server down, and
# the program's private memory after 1,000 scans and after the flood. Prints
# one line per round and a summary.
#   usage: bench/webhook.sh [exe]   (default build/win32/harbinel.exe)
# BENCH_HOOK_SCANS (500 a round), BENCH_HOOK_ROUNDS (3) and BENCH_HOOK_FLOOD
# (100000) size it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$HARBINEL_ROOT"

exe="$(realpath "${1:-build/win32/harbinel.exe}")"
scans="${BENCH_HOOK_SCANS:-500}"
rounds="${BENCH_HOOK_ROUNDS:-3}"
flood="${BENCH_HOOK_FLOOD:-100000}"
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-webhook-bench.XXXXXX")"
key='HKCU\Software\Ferrowind\Harbinel'
hook_pid=

cleanup() {
    [[ -n "$hook_pid" ]] && kill "$hook_pid" 2>/dev/null
    wine_prefix_destroy
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix_create null
loader="$(wine_loader_for "$exe")"

read -r port hookport downport < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')

# The hook server writes the count of posts it answered to $work/count.
python3 - "$hookport" "$work/count" <<'EOF' &
import http.server, sys
port, out = int(sys.argv[1]), sys.argv[2]
count = [0]
class Hook(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", "0")))
        count[0] += 1
        open(out, "w").write(str(count[0]))
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(("127.0.0.1", port), Hook).serve_forever()
EOF
hook_pid=$!

# Scans `count` times, 16 callers at once from 127.0.0.2-250 in turn, each
# waiting for its warning and hang-up; prints "<ok> <seconds>". The first
# connect waits for the port.
scan() {
    python3 "$HARBINEL_ROOT/bench/scan16.py" "$port" "$1" --sources
}

start_program() {
    fresh_key 01
    if [[ -n "$1" ]]; then reg /v WebhookUrl /t REG_SZ /d "$1"; fi
    launch_program
}

run_round() {
    local mode="$1" url=""
    [[ "$mode" == on ]] && url="http://127.0.0.1:$hookport/hook"
    # The server's count runs on from round to round.
    local first
    first=$(cat "$work/count" 2>/dev/null || echo 0)
    start_program "$url"
    local ok seconds rate got=-
    read -r ok seconds < <(scan "$scans")
    rate=$(python3 -c "print(round($ok / $seconds))")
    if [[ "$mode" == on ]]; then
        # Posts go once the caller's name is known, or after 5 s.
        local deadline=$((SECONDS + 30)) last=-1
        while ((SECONDS < deadline)); do
            got=$(($(cat "$work/count" 2>/dev/null || echo 0) - first))
            ((got == last)) && ((got > 0)) && break
            last=$got
            sleep 6
        done
    fi
    echo "$mode scans=$ok rate=$rate/s at-hook=$got"
    stop_program
}

for ((r = 1; r <= rounds; r++)); do
    run_round off
    run_round on
done | tee "$work/rounds.txt"
((rounds == 0)) || python3 - "$work/rounds.txt" <<'EOF'
import re, statistics, sys
rates = {"off": [], "on": []}; posts = []
for line in open(sys.argv[1]):
    m = re.match(r"(\w+) scans=(\d+) rate=(\d+)/s at-hook=(\S+)", line)
    rates[m[1]].append(int(m[3]))
    if m[1] == "on": posts.append(f"{m[4]} of {m[2]}")
off, on = statistics.median(rates["off"]), statistics.median(rates["on"])
print(f"median scans/s: off {off}, on {on} ({on / off:.2f} of off); posts at the hook: {', '.join(posts)}")
EOF

# The flood: nobody answers at the hook, so the queue fills and drops.
start_program "http://127.0.0.1:$downport/down"
read -r ok seconds < <(scan 1000)
before=$(private_kib)
read -r ok2 seconds2 < <(scan "$flood")
after=$(private_kib)
echo "flood: $((ok + ok2)) scans in $(python3 -c "print(round($seconds + $seconds2))") s;" \
    "private (resident anonymous) KiB after 1,000: $before, after the flood: $after"
stop_program
