#!/usr/bin/env bash
# Runs the whole benchmark: builds what it needs, makes a throwaway Wine
# prefix with the null graphics driver, measures harbinel.exe (the i686 build
# where this Wine runs 32-bit programs, else the x86_64 one) against the bare
# reference on loopback, and writes build/bench/results.md. See
# bench/README.md.
#
# Bounded: every phase has a fixed number of callers and every wait a
# deadline. Sizes can be lowered through the environment:
#   BENCH_ROUNDS (3)  BENCH_SEQ (600)  BENCH_CONC (1200)  BENCH_OVERLOAD (1000)
#   BENCH_BURST (200)  BENCH_FLOOD (100000)  BENCH_SYNS (50000)
#   BENCH_SYN_SOURCES (1000)  BENCH_SYN_RATE (3000)  BENCH_SYN_BURST (30)
#   BENCH_STEALTH_CALLERS (2000)
#   BENCH_BULK_BYTES (2 GiB)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
cd "$HARBINEL_ROOT"

rounds=${BENCH_ROUNDS:-3}
seq_count=${BENCH_SEQ:-600}
conc_count=${BENCH_CONC:-1200}
overload_count=${BENCH_OVERLOAD:-1000}
burst=${BENCH_BURST:-200}
flood=${BENCH_FLOOD:-100000}
syns=${BENCH_SYNS:-30000}
syn_rate=${BENCH_SYN_RATE:-3000}
syn_burst=${BENCH_SYN_BURST:-30}
bulk_bytes=${BENCH_BULK_BYTES:-2147483648}
syn_sources=${BENCH_SYN_SOURCES:-1000}
stealth_callers=${BENCH_STEALTH_CALLERS:-2000}
concurrency=16
sources=249 # 127.0.0.2 to 127.0.0.250

out=$HARBINEL_ROOT/build/bench
raw=$out/raw.txt
started=$SECONDS

say() { echo "==> $*"; }
record() { echo "$*" >>"$raw"; }

# ---- build --------------------------------------------------------------------

configure() {
    local dir="$1"
    shift
    cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}
tools=(harbinel bench_ctl bench_reference bench_lookup bench_handlers)

say "build (native scanner, i686 program)"
bash scripts/install-deps.sh
mkdir -p build "$out"
rm -rf "$out"/*.csv "$out"/*.txt "$out"/*.out "$out"/results.md "$out"/logfolder
configure build/bench-native -DCMAKE_BUILD_TYPE=Release
cmake --build build/bench-native --target bench_loadgen >/dev/null
loadgen=$HARBINEL_ROOT/build/bench-native/bench/bench_loadgen
configure build/bench-win32 -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release
cmake --build build/bench-win32 -j"$(nproc)" --target harbinel >/dev/null

# ---- Wine -----------------------------------------------------------------------

say "wine prefix (null graphics driver)"
trap wine_prefix_destroy EXIT
trap 'exit 130' INT TERM
wine_prefix_create null
# The i686 build where this Wine runs 32-bit programs (as scripts/test.sh
# decides), else the x86_64 build of the same sources.
wine_probe_arch build/probe
if [[ $WINE_TEST_ARCH == i686 ]]; then
    tree=build/bench-win32
else
    tree=build/bench-win64
    configure "$tree" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release
fi
say "build ($WINE_TEST_ARCH program and tools)"
cmake --build "$tree" -j"$(nproc)" --target "${tools[@]}" >/dev/null
wine=$(wine_loader_for "$tree/harbinel.exe")
bin=$HARBINEL_ROOT/$tree/bench

# A fresh prefix maps drive Z: to the Unix root.
winpath() { echo "Z:${1//\//\\}"; }
harbinel_exe=$(winpath "$HARBINEL_ROOT/$tree/harbinel.exe")
reference_exe=$(winpath "$bin/bench_reference.exe")
export HARBINEL_EXE=$harbinel_exe

# Runs a Windows tool; its output goes through a file, because a program it
# starts must not inherit a pipe of ours (Wine's helpers would hold it open).
wrun() {
    local tmp rc=0
    tmp=$(mktemp "$out/wine.XXXXXX")
    "$wine" "$@" </dev/null >"$tmp" 2>&1 || rc=$?
    tr -d '\r' <"$tmp"
    rm -f "$tmp"
    return $rc
}
ctl() { wrun "$bin/bench_ctl.exe" "$@"; }

# The Linux process of a program running in this prefix, found by the
# first word of its command line (a grep for the name has the name in its
# arguments); empty when none runs.
linux_pid() {
    local name="$1" p first
    for p in /proc/[0-9]*; do
        first=$(tr '\0' '\n' <"$p/cmdline" 2>/dev/null | head -n 1) || true
        if [[ $first == *"$name"* ]] &&
            tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            echo "${p#/proc/}"
            return 0
        fi
    done
}
# Its memory: resident anonymous (private) and resident in all, and its
# thread count.
linux_memory() {
    local pid
    pid=$(linux_pid "$1")
    if [[ -z $pid ]]; then
        echo "rss_anon_kib=0 vm_rss_kib=0 threads=0"
        return 0
    fi
    echo "rss_anon_kib=$(awk '/^RssAnon:/ {print $2}' "/proc/$pid/status")" \
        "vm_rss_kib=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")" \
        "threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")"
}
# User and system CPU time of a process so far, in milliseconds.
cpu_ms() {
    [[ -n $1 && -r /proc/$1/stat ]] || { echo 0; return 0; }
    sed 's/.*) //' "/proc/$1/stat" | awk -v hz="$(getconf CLK_TCK)" '{print ($12 + $13) * 1000 / hz}'
}
# Packets the kernel dropped because a raw TCP socket's queue was full: the
# stealth watch's, which under Wine is a socket of this kernel held by the
# program and by this prefix's wineserver (other programs on the machine may
# have raw sockets of their own, so only these are counted).
raw_drops() {
    local pid inodes=""
    for pid in "$@"; do
        [[ -n $pid ]] || continue
        inodes+=" $(ls -l "/proc/$pid/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\]$/\1/p' | tr '\n' ' ')"
    done
    awk -v inodes="$inodes" 'BEGIN {n = split(inodes, list, " "); for (i = 1; i <= n; i++) ours[list[i]] = 1}
        NR > 1 && $2 ~ /:0006$/ && ($10 in ours) {d += $NF} END {print d + 0}' /proc/net/raw
}
load() { echo "load1=$(cut -d' ' -f1 /proc/loadavg)"; }

# ---- the machine ----------------------------------------------------------------

record "machine nproc=$(nproc) uptime_load=$(cut -d' ' -f1-3 /proc/loadavg | tr ' ' ,)"
record "cpu $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
record "wine $("$wine" --version 2>/dev/null)"
record "kernel $(uname -r)"
record "ran arch=$(pe_machine "$tree/harbinel.exe") loader=$(basename "$wine")" \
    "wine_runs_i686=$([[ $WINE_TEST_ARCH == i686 ]] && echo yes || echo no)"
record "size i686_bytes=$(stat -c %s build/bench-win32/harbinel.exe)"

# ---- micro-benchmarks in-process -----------------------------------------------

say "lookup completion against a long log"
wrun "$bin/bench_lookup.exe" 1000 30000 | tee "$out/lookup.out"
grep '^lines=' "$out/lookup.out" | sed 's/^/lookup /' >>"$raw" || true

say "handler timing (300 sequential scans in-process)"
wrun "$bin/bench_handlers.exe" 300 | tee "$out/handlers.out"
say "handler timing, stealth watch on"
wrun "$bin/bench_handlers.exe" 300 watch | tee "$out/handlers-watch.out"

say "reverse lookups of 249 loopback addresses, one after another and eight at once"
line=$(ctl resolve "$sources") || true
record "resolve $line"
echo "    $line"
line=$(ctl resolve "$sources" 8) || true
record "resolve8 $line"
echo "    $line"

# ---- load: sequential, 16 concurrent, 16 concurrent from 249 addresses ------------

read -r -a ports16 <<<"$("$loadgen" freeports 16)"
ports16_csv=$(IFS=,; echo "${ports16[*]}")
logdir=$out/logfolder
mkdir -p "$logdir"

# Starts one program on the 16 ports: harbinel (log file on), nofile (log
# file off), watch (stealth watch on) or reference.
start_program() {
    case "$1" in
    reference) ctl start-ref "$reference_exe" "${ports16[@]}" ;;
    harbinel) ctl setup --folder "$(winpath "$logdir")" "${ports16[@]}" >/dev/null && ctl start 16 ;;
    nofile) ctl setup --file 0 "${ports16[@]}" >/dev/null && ctl start 16 ;;
    watch) ctl setup --file 0 --stealth 1 "${ports16[@]}" >/dev/null && ctl start 16 ;;
    esac
}
stop_program() {
    if [[ $1 == reference ]]; then ctl stop-ref >/dev/null; else ctl exit >/dev/null; fi
}

# One program's share of a round: start, the three phases, then (for
# Harbinel) the log read back and checked caller by caller, and Exit.
run_program() {
    local prog="$1" tag="$2" line
    line=$(start_program "$prog") || { echo "$line"; return 1; }
    local phase count conc extra csvs=() pid server cpu0 server0
    # CPU time as well as wall time: the machine is shared, and a busy
    # neighbour slows the wall clock far more than it changes the work done.
    pid=$(linux_pid "$([[ $prog == reference ]] && echo bench_reference.exe || echo harbinel.exe)")
    server=$(linux_pid wineserver)
    for phase in seq conc many; do
        extra=()
        case $phase in
        seq) count=$seq_count conc=1 ;;
        conc) count=$conc_count conc=$concurrency ;;
        many) count=$conc_count conc=$concurrency extra=(--sources "$sources") ;;
        esac
        cpu0=$(cpu_ms "$pid") server0=$(cpu_ms "$server")
        line=$("$loadgen" run --ports "$ports16_csv" --count "$count" --concurrency "$conc" \
            "${extra[@]}" --out "$out/$prog-$tag-$phase.csv") || true
        line="$line cpu_ms=$(($(cpu_ms "$pid") - cpu0)) server_cpu_ms=$(($(cpu_ms "$server") - server0))"
        record "load prog=$prog $tag phase=$phase $line $(load)"
        echo "    $prog $phase: $line"
        csvs+=("$out/$prog-$tag-$phase.csv")
    done
    if [[ "$prog" != reference ]]; then
        local lines=$((1 + 6 * (seq_count + 2 * conc_count)))
        [[ $prog == watch ]] && lines=$((lines + 1))
        line=$(ctl logdump "$out/$prog-$tag-log.txt" "$lines" 90000) || true
        line="$line $("$loadgen" check --log "$out/$prog-$tag-log.txt" "${csvs[@]}")" || true
        record "check prog=$prog $tag $line"
        echo "    $prog log: $line"
    fi
    stop_program "$prog"
}

programs=(harbinel nofile watch reference)
for ((r = 1; r <= rounds; r++)); do
    say "round $r of $rounds"
    # Alternate who goes first.
    for ((i = 0; i < ${#programs[@]}; i++)); do
        prog=${programs[$(((i + r - 1) % ${#programs[@]}))]}
        run_program "$prog" "round=$r" || echo "    $prog: round $r failed"
    done
done

# ---- a burst of simultaneous callers on one port -----------------------------------

say "burst: $burst callers at once on one port"
for prog in reference harbinel; do
    start_program "$prog" >/dev/null
    line=$("$loadgen" run --ports "${ports16[0]}" --count "$burst" --concurrency "$burst" \
        --timeout-ms 20000 --out "$out/$prog-burst.csv") || true
    record "burst prog=$prog $line $(load)"
    echo "    $prog: $line"
    if [[ $prog == harbinel ]]; then
        line=$(ctl logdump "$out/$prog-burst-log.txt" $((1 + 6 * burst)) 60000) || true
        line="$line $("$loadgen" check --log "$out/$prog-burst-log.txt" "$out/$prog-burst.csv")" || true
        record "check prog=$prog burst $line"
        echo "    $prog log: $line"
    fi
    stop_program "$prog"
done

# ---- start-up with 100 ports ------------------------------------------------------

say "start-up with 100 ports"
read -r -a ports100 <<<"$("$loadgen" freeports 100)"
for ((r = 1; r <= rounds; r++)); do
    for stealth in 0 1; do
        ctl setup --file 0 --stealth $stealth "${ports100[@]}" >/dev/null
        line=$(ctl start 100) || true
        record "startup prog=$([[ $stealth == 1 ]] && echo watch || echo harbinel) round=$r $line"
        ctl exit >/dev/null || true
    done
    line=$(ctl start-ref "$reference_exe" "${ports100[@]}") || true
    record "startup prog=reference round=$r $line"
    ctl stop-ref >/dev/null || true
    echo "    round $r: $(tail -n 3 "$raw" | tr '\n' ' ')"
done

# ---- open-loop load at the reference's own rate --------------------------------

median_of() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
rate_of() { grep "^load prog=$1 .*phase=$2" "$raw" | sed 's/.* rate=\([0-9.]*\).*/\1/' | median_of; }
ref_rate=$(rate_of reference conc)
say "open loop: $overload_count callers at the reference's rate of $ref_rate per second"
netstat_counters() {
    command -v nstat >/dev/null || return 0
    nstat 2>/dev/null | awk '$1 ~ /ListenOverflows|SyncookiesSent/ {printf "%s=%s ", $1, $2}'
}
for prog in reference harbinel; do
    start_program "$prog" >/dev/null
    command -v nstat >/dev/null && nstat -n
    line=$("$loadgen" run --ports "$ports16_csv" --count "$overload_count" --rate "$ref_rate" \
        --max-inflight 4000 --timeout-ms 20000 --out "$out/$prog-overload.csv") || true
    record "overload prog=$prog offered=$ref_rate $line $(netstat_counters) $(load)"
    echo "    $prog: $(tail -n 1 "$raw" | cut -d' ' -f2-)"
    if [[ $prog == harbinel ]]; then
        line=$(ctl logdump "$out/$prog-overload-log.txt" $((1 + 6 * overload_count)) 60000) || true
        line="$line $("$loadgen" check --log "$out/$prog-overload-log.txt" \
            "$out/$prog-overload.csv")" || true
        record "check prog=$prog overload $line"
        echo "    $prog log: $line"
    fi
    stop_program "$prog"
done

# ---- a bulk transfer over loopback while the window is probed ----------------------

say "bulk: $bulk_bytes bytes over loopback, the window probed every 10 ms, watch off / on"
for ((r = 1; r <= rounds; r++)); do
    for stealth in $( ((r % 2)) && echo 1 0 || echo 0 1); do
        prog=$([[ $stealth == 1 ]] && echo watch || echo nofile)
        start_program "$prog" >/dev/null
        pid=$(linux_pid harbinel.exe)
        server=$(linux_pid wineserver)
        stop=$out/probe.stop
        rm -f "$stop"
        wrun "$bin/bench_ctl.exe" probe "$(winpath "$out/probe-$prog-$r.csv")" "$(winpath "$stop")" \
            10 120000 >"$out/probe-$prog-$r.out" &
        prober=$!
        sleep 2 # the prober's own start, then some idle samples
        cpu0=$(cpu_ms "$pid") server0=$(cpu_ms "$server") drops0=$(raw_drops "$pid" "$server")
        line=$("$loadgen" bulk --bytes "$bulk_bytes") || true
        cpu1=$(cpu_ms "$pid") server1=$(cpu_ms "$server") drops1=$(raw_drops "$pid" "$server")
        sleep 1
        touch "$stop"
        wait "$prober" || true
        wall0=$(sed -n 's/.*wall_start_us=\([0-9]*\).*/\1/p' <<<"$line")
        wall1=$(sed -n 's/.*wall_end_us=\([0-9]*\).*/\1/p' <<<"$line")
        stats=$(python3 bench/probestats.py "$out/probe-$prog-$r.csv" "${wall0:-0}" "${wall1:-0}") || true
        record "bulk prog=$prog round=$r $line cpu_ms=$((cpu1 - cpu0))" \
            "wineserver_cpu_ms=$((server1 - server0)) raw_drops=$((drops1 - drops0))" \
            "$stats $(tr -d '\r' <"$out/probe-$prog-$r.out" | tail -n 1 | sed 's/\([a-z0-9_]*\)=/probe_\1=/g') $(load)"
        echo "    round $r $prog: $(tail -n 1 "$raw" | cut -d' ' -f2-)"
        stop_program "$prog"
    done
done
rm -f "$out/probe.stop"

# ---- stealth watch under a SYN flood ---------------------------------------------

say "stealth watch: $syns SYNs at $syn_rate/s from $syn_sources forged sources, $stealth_callers real callers meanwhile"
start_program watch >/dev/null
count_lines() { ctl count "$1" "${2:-10000}" | sed -n 's/.*lines=\([0-9]*\).*/\1/p'; }
# Warm-up without a flood: the first scans start the lookup threads and the
# heap's first blocks. Then two floods, each with real callers meanwhile.
line=$("$loadgen" run --ports "$ports16_csv" --count "$stealth_callers" --concurrency "$concurrency") || true
record "stealth phase=warmup $line"
lines=$(count_lines $((2 + 6 * stealth_callers)) 60000)
for flood_round in 1 2; do
    sleep 1
    before=$(count_lines 1)
    record "stealth phase=before$flood_round lines=$before $(linux_memory harbinel.exe)"
    pid=$(linux_pid harbinel.exe)
    server=$(linux_pid wineserver)
    drops0=$(raw_drops "$pid" "$server")
    # The first flood's sources take turns, one SYN each: more of them than
    # the sweep table holds. In the second each sends its SYNs in a row.
    per_source=$([[ $flood_round == 1 ]] && echo 1 || echo "$syn_burst")
    "$loadgen" synflood --count "$syns" --sources "$syn_sources" --rate "$syn_rate" \
        --per-source "$per_source" >"$out/synflood.out" 2>&1 &
    flooder=$!
    line=$("$loadgen" run --ports "$ports16_csv" --count "$stealth_callers" \
        --concurrency "$concurrency" --out "$out/stealth-callers$flood_round.csv") || true
    # The highest private memory and thread count while the flood goes on.
    peak_anon=0 peak_threads=0
    while kill -0 "$flooder" 2>/dev/null; do
        read -r anon threads < <(linux_memory harbinel.exe |
            sed 's/rss_anon_kib=\([0-9]*\).*threads=\([0-9]*\)/\1 \2/')
        ((anon > peak_anon)) && peak_anon=$anon
        ((threads > peak_threads)) && peak_threads=$threads
        sleep 0.5
    done
    wait "$flooder" || true
    record "stealth phase=peak$flood_round peak_rss_anon_kib=$peak_anon peak_threads=$peak_threads" \
        "raw_drops=$(($(raw_drops "$pid" "$server") - drops0))"
    record "stealth phase=callers$flood_round $line $(load)"
    record "stealth phase=sender$flood_round $(cat "$out/synflood.out")"
    # Sweep blocks settle 0.5 s after their burst and the watch's timer runs
    # every 0.5 s: wait for the real callers' lines, then 3 s for the sweeps.
    count_lines $((before + 6 * stealth_callers)) 60000 >/dev/null || true
    sleep 3
    after=$(count_lines 1)
    record "stealth phase=after$flood_round lines=$after gained=$((after - before))" \
        "real_lines=$((6 * stealth_callers)) $(linux_memory harbinel.exe)"
done
ctl logdump "$out/stealth-log.txt" 1 10000 >/dev/null || true
record "stealth phase=log sweep_lines=$(grep -c '^Port sweep from' "$out/stealth-log.txt" || true)" \
    "went_on=$(grep -c 'went on' "$out/stealth-log.txt" || true)" \
    "stealth_scans=$(grep -c '^   Stealth: ' "$out/stealth-log.txt" || true)" \
    "scans=$(grep -c '^Scan detected' "$out/stealth-log.txt" || true)" \
    "too_busy_lines=$(grep -c 'packets not examined' "$out/stealth-log.txt" || true)" \
    "not_examined=$(sed -n 's/^Stealth watch: \([0-9]*\) packets not examined.*/\1/p' \
        "$out/stealth-log.txt" | awk '{s += $1} END {print s + 0}')" \
    "try_again=$(grep -c 'Try again' "$out/stealth-log.txt" || true)" \
    "threads_at_end=$(linux_memory harbinel.exe | sed 's/.*threads=//')"
grep '^stealth' "$raw" | sed 's/^/    /'
stop_program watch

# ---- a flood of scans with the default window cap; log file rotation ----------------

say "flood: $flood scans, default LogLines, log file on"
# Older days' files (sparse: no disk used) that fill the folder cap, so the
# first rotation must delete the oldest of them.
floodlogs=$out/floodlogs
rm -rf "$floodlogs"
mkdir -p "$floodlogs"
for d in 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16; do
    truncate -s 16M "$floodlogs/harbinel-2020-01-$d.log"
done
# --lines 0: no LogLines value, so the program's default window cap holds.
ctl setup --lines 0 --folder "$(winpath "$floodlogs")" "${ports16[@]}" >/dev/null
ctl start 16 >/dev/null
record "flood scans=0 $(linux_memory harbinel.exe)"
done_scans=0
for n in 10000 40000 50000; do
    n=$((n * flood / 100000))
    line=$("$loadgen" run --ports "$ports16_csv" --count "$n" --concurrency "$concurrency") || true
    done_scans=$((done_scans + n))
    sleep 2
    record "flood scans=$done_scans $(linux_memory harbinel.exe) $line $(ctl count 1 10000) $(load)"
    echo "    after $done_scans scans: $(tail -n 1 "$raw" | cut -c1-200)"
done
stop_program harbinel
ls -l "$floodlogs" >"$out/floodlogs.txt"
record "logfiles count=$(ls "$floodlogs" | wc -l) old_left=$(ls "$floodlogs" | grep -c '^harbinel-2020' || true)" \
    "today=$(ls "$floodlogs" | grep -vc '^harbinel-2020' || true)" \
    "total_bytes=$(du -b --apparent-size -c "$floodlogs"/*.log | tail -n 1 | cut -f1)" \
    "largest_bytes=$(stat -c %s "$floodlogs"/*.log | sort -n | tail -n 1)" \
    "today_lines=$(cat $(ls -d "$floodlogs"/* | grep -v 'harbinel-2020') | wc -l)"
tail -n 1 "$raw"
cat "$out/floodlogs.txt"

# ---- report -------------------------------------------------------------------------

record "elapsed seconds=$((SECONDS - started)) uptime_load=$(cut -d" " -f1-3 /proc/loadavg | tr " " ,)"
python3 bench/summarize.py "$raw" "$out" >"$out/results.md"
say "results ($out/results.md)"
cat "$out/results.md"
