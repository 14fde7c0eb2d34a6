#!/usr/bin/env bash
# The stealth watch under a forged SYN flood aimed at a listened port:
# harbinel.exe under Wine (throwaway prefix, null driver) with the watch on
# and its day's file in a folder of the run's own; a flood of 10,000 SYNs,
# then one of 40,000, at 2,000 a second from 10,000 forged loopback sources
# (bench_loadgen synflood --listened), with real callers on the same port
# all the while (bench/scan16.py, 16 at once). Then whether every real caller
# was served and logged, the flood lines, and the program's private memory
# (RssAnon) before and after each flood. Needs root, for the raw socket.
#   usage: bench/synflood.sh [exe]   (default build/win32/harbinel.exe)
# BENCH_SYNFLOOD_RATE (2000), BENCH_SYNFLOOD_SOURCES (10000) and
# BENCH_SYNFLOOD_COUNTS ("10000 40000") size it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$HARBINEL_ROOT"

exe="$(realpath "${1:-build/win32/harbinel.exe}")"
rate="${BENCH_SYNFLOOD_RATE:-2000}"
sources="${BENCH_SYNFLOOD_SOURCES:-10000}"
read -r -a counts <<<"${BENCH_SYNFLOOD_COUNTS:-10000 40000}"
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-synflood-bench.XXXXXX")"
key='HKCU\Software\Ferrowind\Harbinel'

bench_setup
mkdir -p "$work/logs"
reg /v Count /t REG_DWORD /d 1
reg /v Port0 /t REG_DWORD /d "$port"
reg /v Connected /t REG_BINARY /d 01
reg /v Disconnnect /t REG_BINARY /d 01
reg /v StealthWatch /t REG_BINARY /d 01
reg /v LogToFile /t REG_BINARY /d 01
reg /v LogFolder /t REG_SZ /d "Z:${work//\//\\}\\logs"
"$loader" "$exe" </dev/null >/dev/null 2>&1 &

# A Linux process of this prefix, found by the first word of its command line.
linux_pid() {
    local p
    for p in /proc/[0-9]*; do
        if tr '\0' '\n' <"$p/cmdline" 2>/dev/null | head -n 1 | grep -q "$1" &&
            tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            echo "${p#/proc/}"
            return 0
        fi
    done
}
anon() { awk '/^RssAnon:/ {print $2}' "/proc/$pid/status"; }
threads() { awk '/^Threads:/ {print $2}' "/proc/$pid/status"; }
# Packets the kernel dropped at the watch's raw socket, whose queue was full:
# under Wine a socket of this kernel held by the program or its wineserver.
raw_drops() {
    local p inodes=""
    for p in "$pid" "$server"; do
        inodes+=" $(ls -l "/proc/$p/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\]$/\1/p' | tr '\n' ' ')"
    done
    awk -v inodes="$inodes" 'BEGIN {n = split(inodes, list, " "); for (i = 1; i <= n; i++) ours[list[i]] = 1}
        NR > 1 && $2 ~ /:0006$/ && ($10 in ours) {d += $NF} END {print d + 0}' /proc/net/raw
}
day_file() { cat "$work"/logs/harbinel-*.log 2>/dev/null | tr -d '\r'; }

# The first scan waits for the port; then the watch's own start-up blocks.
read -r ok _ < <(python3 bench/scan16.py "$port" 200)
pid=$(linux_pid 'harbinel\.exe')
server=$(linux_pid wineserver)
[[ -n $pid ]] || { echo "harbinel.exe not found"; exit 1; }
served=$ok tried=201
sleep 4
echo "warm-up callers=$ok rss_anon_kib=$(anon) threads=$(threads)"

for count in "${counts[@]}"; do
    "$loadgen" synflood --count "$count" --sources "$sources" --rate "$rate" --per-source 1 \
        --listened "$port" >"$work/flood.out" 2>&1 &
    flooder=$!
    callers=0 peak=0 drops=$(raw_drops)
    while kill -0 "$flooder" 2>/dev/null; do
        read -r ok _ < <(python3 bench/scan16.py "$port" 200)
        callers=$((callers + ok)) tried=$((tried + 201))
        a=$(anon)
        ((a > peak)) && peak=$a
    done
    wait "$flooder" || true
    served=$((served + callers))
    # The last half-open records are named 3 s after their SYN, then looked up.
    sleep 8
    echo "flood syns=$count callers_served=$callers peak_rss_anon_kib=$peak" \
        "rss_anon_kib=$(anon) threads=$(threads) kernel_drops=$(($(raw_drops) - drops))" \
        "sender: $(cat "$work/flood.out")"
done

# The flood line comes at most once a minute: the second waits for it.
deadline=$((SECONDS + 75))
while (($(day_file | grep -c 'SYN flood' || true) < 2 && SECONDS < deadline)); do
    sleep 1
done

# Every caller probe of scan16.py is a scan too; each served caller has its
# one Accept line. The day's file is written at most a second late.
sleep 2
accepts=$(day_file | grep -c "   Accept: 127\.0\.0\.1:[0-9]* -> 127\.0\.0\.1:$port\$" || true)
echo "callers tried=$tried served=$served accept_lines=$accepts"
day_file | grep -E "Stealth watch: (SYN flood|[0-9,]+ (half-open|packets?))" | cut -c 1-200 || true
echo "stealth_blocks=$(day_file | grep -c '   Stealth: ' || true)"
