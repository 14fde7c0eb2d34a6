#!/usr/bin/env bash
# What sending every scan to a syslog collector costs: harbinel.exe under
# Wine (throwaway prefix, null driver) on one loopback port, scanned by a
# small native scanner with the collector off and on (TCP to a private
# rsyslog, scripts/syslog-collector.sh), rounds alternating; then whether
# every scan reached the collector. Prints one line per round and a summary.
#   usage: bench/syslog.sh [exe]   (default build/win32/harbinel.exe)
# BENCH_SYSLOG_SCANS (500 a round) and BENCH_SYSLOG_ROUNDS (3) size it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
cd "$HARBINEL_ROOT"

exe="$(realpath "${1:-build/win32/harbinel.exe}")"
scans="${BENCH_SYSLOG_SCANS:-500}"
rounds="${BENCH_SYSLOG_ROUNDS:-3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-syslog-bench.XXXXXX")"
collector="$work/collector"
key='HKCU\Software\Ferrowind\Harbinel'

cleanup() {
    bash scripts/syslog-collector.sh stop "$collector" || true
    wine_prefix_destroy
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix_create null
loader="$(wine_loader_for "$exe")"

read -r port udp tcp < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
mkdir -p "$collector"
bash scripts/syslog-collector.sh start "$collector" "$udp" "$tcp"

reg() { "$loader" reg add "$key" /f "$@" >/dev/null 2>&1; }

# Scans `count` times, 16 callers at once, each waiting for its warning and
# hang-up; prints "<ok> <seconds>". The first connect waits for the port.
scan() {
    python3 "$HARBINEL_ROOT/bench/scan16.py" "$port" "$1"
}

run_round() {
    local mode="$1"
    "$loader" reg delete "$key" /f >/dev/null 2>&1 || true
    reg /v Count /t REG_DWORD /d 1
    reg /v Port0 /t REG_DWORD /d "$port"
    reg /v Connected /t REG_BINARY /d 01
    reg /v Disconnnect /t REG_BINARY /d 01
    if [[ "$mode" == on ]]; then
        reg /v SyslogServer /t REG_SZ /d "127.0.0.1:$tcp"
        reg /v SyslogTcp /t REG_BINARY /d 01
    fi
    : >"$collector/messages.log"
    "$loader" "$exe" </dev/null >/dev/null 2>&1 &
    local pid=$!
    local ok seconds
    read -r ok seconds < <(scan "$scans")
    local rate
    rate=$(python3 -c "print(round($ok / $seconds))")
    local got=-
    if [[ "$mode" == on ]]; then
        local deadline=$((SECONDS + 30))
        while ((SECONDS < deadline)); do
            got=$(grep -c '|SCAN|' "$collector/messages.log" || true)
            ((got >= ok)) && break
            sleep 0.5
        done
    fi
    echo "$mode scans=$ok rate=$rate/s at-collector=$got"
    WINEPREFIX="$HARBINEL_WINE_HARNESS" "$WINESERVER" -k >/dev/null 2>&1 || true
    wait "$pid" 2>/dev/null || true
}

for ((r = 1; r <= rounds; r++)); do
    run_round off
    run_round on
done | tee "$work/rounds.txt"
python3 - "$work/rounds.txt" <<'EOF'
import re, statistics, sys
rates = {"off": [], "on": []}; lost = 0
for line in open(sys.argv[1]):
    m = re.match(r"(\w+) scans=(\d+) rate=(\d+)/s at-collector=(\S+)", line)
    rates[m[1]].append(int(m[3]))
    if m[1] == "on": lost += int(m[2]) - int(m[4])
off, on = statistics.median(rates["off"]), statistics.median(rates["on"])
print(f"median scans/s: off {off}, on {on} ({on / off:.2f} of off); scans not at the collector: {lost}")
EOF
