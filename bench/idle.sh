#!/usr/bin/env bash
# What held connections cost: harbinel.exe under Wine (throwaway prefix,
# null driver) on one loopback port with Disconnect immediately off, rounds
# alternating between no caller held and a crowd of silent callers held
# open (1,008 by default: with the scanner's 16 at once that makes the
# program's 1,024 open at most, so every new caller is served as usual).
# Each round scans with 16 callers at once, each hanging up itself once
# warned, and notes the program's private memory before and after the crowd
# came. Prints one line per round and a summary.
#   usage: bench/idle.sh [exe]   (default build/win32/harbinel.exe)
# BENCH_IDLE_SCANS (500 a round), BENCH_IDLE_HELD (1008) and
# BENCH_IDLE_ROUNDS (3) size it. A round ends well inside the program's
# 2-minute limit on a connection.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$HARBINEL_ROOT"

exe="$(realpath "${1:-build/win32/harbinel.exe}")"
scans="${BENCH_IDLE_SCANS:-500}"
held="${BENCH_IDLE_HELD:-1008}"
rounds="${BENCH_IDLE_ROUNDS:-3}"
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-idle-bench.XXXXXX")"
key='HKCU\Software\Ferrowind\Harbinel'
crowd_pid=
ulimit -n 8192

cleanup() {
    if [[ -n "$crowd_pid" ]]; then kill "$crowd_pid" 2>/dev/null || true; fi
    wine_prefix_destroy
    rm -rf "$work"
}
trap cleanup EXIT
wine_prefix_create null
loader="$(wine_loader_for "$exe")"

port=$(python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

start_program() {
    fresh_key 00
    launch_program
}

# The crowd: `held` silent callers from 127.0.0.2-250 in turn, each held
# once its warning came (so the program has accepted it); writes "held N"
# to $work/crowd once all are in, then waits to be killed. Sets crowd_pid.
hold_crowd() {
    python3 - "$port" "$held" "$work/crowd" >/dev/null 2>&1 <<'PY' &
import socket, sys, time
port, count, out = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
deadline = time.time() + 60
socks = []
for i in range(count):
    s = socket.create_connection(("127.0.0.1", port), 10, ("127.0.0.%d" % (i % 249 + 2), 0))
    socks.append(s)
warned = 0
for s in socks:
    s.settimeout(max(0.1, deadline - time.time()))
    try:
        if s.recv(256):
            warned += 1
    except OSError:
        pass
open(out, "w").write("held %d\n" % warned)
time.sleep(600)
PY
    crowd_pid=$!
    local deadline=$((SECONDS + 90))
    while [[ ! -s "$work/crowd" ]] && ((SECONDS < deadline)); do sleep 0.2; done
}

run_round() {
    local mode="$1" got="held 0" before after
    rm -f "$work/crowd"
    start_program
    # The first scan waits for the port.
    python3 bench/scan16.py "$port" 1 --warned >/dev/null
    before=$(private_kib)
    if [[ "$mode" == held ]]; then
        hold_crowd
        got=$(cat "$work/crowd" 2>/dev/null || echo "held 0")
    fi
    after=$(private_kib)
    local ok seconds rate
    read -r ok seconds < <(python3 bench/scan16.py "$port" "$scans" --sources --warned)
    rate=$(python3 -c "print(round($ok / $seconds))")
    echo "$mode ${got#held } held, scans=$ok rate=$rate/s private KiB $before -> $after"
    if [[ -n "$crowd_pid" ]]; then
        kill "$crowd_pid" 2>/dev/null || true
        wait "$crowd_pid" 2>/dev/null || true
        crowd_pid=
    fi
    stop_program
}

for ((r = 1; r <= rounds; r++)); do
    run_round none
    run_round held
done | tee "$work/rounds.txt"
python3 - "$work/rounds.txt" <<'PY'
import re, statistics, sys
rates = {"none": [], "held": []}; grew = []
for line in open(sys.argv[1]):
    m = re.match(r"(\w+) (\d+) held, scans=(\d+) rate=(\d+)/s private KiB (\d+) -> (\d+)", line)
    rates[m[1]].append(int(m[4]))
    if m[1] == "held": grew.append(int(m[6]) - int(m[5]))
none, held = statistics.median(rates["none"]), statistics.median(rates["held"])
print(f"median scans/s: none held {none}, crowd held {held} ({held / none:.2f} of none);"
      f" private memory the crowd added, KiB: {', '.join(map(str, grew))}")
PY
