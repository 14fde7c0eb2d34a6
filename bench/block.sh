#!/usr/bin/env bash
# Block Scanners under a burst: harbinel.exe under Wine (throwaway prefix,
# null driver) on one loopback port, Disconnect immediately on, the day's
# file in a folder of the run's own; 1,000 distinct callers (127.0.0.2 on,
# each bound to its own source address by bench_loadgen run --sources) as
# fast as 16 at once allow, first with Block Scanners off, then on. Then the
# rates of the two rounds, the "Blocked for" lines in the day's file, and
# the firewall rule's writes as Wine's hnetcfg channel prints them (Wine
# keeps no rule, so the loopback callers are served all along).
#   usage: bench/block.sh [exe]   (default build/win32/harbinel.exe)
# BENCH_BLOCK_CALLERS (1000) and BENCH_BLOCK_CONCURRENCY (16) size it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$HARBINEL_ROOT"

exe="$(realpath "${1:-build/win32/harbinel.exe}")"
callers="${BENCH_BLOCK_CALLERS:-1000}"
concurrency="${BENCH_BLOCK_CONCURRENCY:-16}"
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-block-bench.XXXXXX")"
key='HKCU\Software\Ferrowind\Harbinel'

bench_setup

# One round: a fresh key with Block as $1 (00 or 01), the program started
# with the hnetcfg channel into $work/wine-$1.txt, the burst (paced at $2 a
# second when given), and its lines. Wine prints at most a few hundred
# characters of each address list, so the count of blocked callers is read
# from the key's "Blocked", which is written with each rule.
round() {
    local block=$1 logs="$work/logs-$1"
    local pace=()
    [[ -n ${2:-} ]] && pace=(--rate "$2" --max-inflight "$concurrency")
    rm -rf "$logs"
    mkdir -p "$logs"
    fresh_key 01
    reg /v Block /t REG_BINARY /d "$block"
    reg /v LogToFile /t REG_BINARY /d 01
    reg /v LogFolder /t REG_SZ /d "Z:${logs//\//\\}"
    WINEDEBUG=-all,fixme+hnetcfg "$loader" "$exe" </dev/null >/dev/null 2>"$work/wine-$block.txt" &
    pid=$!
    # The first caller waits for the port; it is one of the burst's own.
    local deadline=$((SECONDS + 60))
    until python3 -c "import socket,sys; socket.create_connection(('127.0.0.1', $port), 1)" \
        2>/dev/null; do
        ((SECONDS < deadline)) || { echo "harbinel.exe did not listen"; exit 1; }
        sleep 0.5
    done
    sleep 2
    local begin=$SECONDS
    local result
    result=$("$loadgen" run --ports "$port" --count "$callers" --concurrency "$concurrency" \
        --sources "$callers" "${pace[@]}" || true)
    # The rule is written on the next tick or two; the file a second late.
    sleep 3
    local seconds=$((SECONDS - begin))
    local day
    day=$(cat "$logs"/harbinel-*.log 2>/dev/null | tr -d '\r')
    local writes
    writes=$(grep -c 'netfw_rule_put_RemoteAddresses' "$work/wine-$block.txt" || true)
    local stored
    stored=$( ("$loader" reg query "$key" /v Blocked 2>/dev/null || true) |
        { grep -o '127\.[0-9.]* [0-9]*' || true; } | wc -l)
    echo "block=$block $result accept_lines=$(grep -c '   Accept: ' <<<"$day" || true)" \
        "blocked_lines=$(grep -c '   Blocked for 60 minutes' <<<"$day" || true)" \
        "not_blocked=$(grep -c '   Not blocked: ' <<<"$day" || true)" \
        "rule_writes=$writes seconds=$seconds stored_blocked=$stored" \
        "errors=$(grep -c 'Block error' <<<"$day" || true)"
    stop_program
}

for _ in 1 2 3; do
    round 00
    round 01
done
# Spread over about four seconds, to see the writes batched once a second.
round 01 250
