#!/usr/bin/env bash
# Runs the whole benchmark: builds what it needs, makes a throwaway Wine
# prefix with the null graphics driver, measures harbinel.exe against the
# bare reference (and the what-if copy without the routing query) on
# loopback, and writes build/bench/results.md. See bench/README.md.
#
# Bounded: every phase has a fixed number of callers and every wait a
# deadline. Sizes can be lowered through the environment:
#   BENCH_ROUNDS (3)  BENCH_SEQ (200)  BENCH_CONC (600)  BENCH_OVERLOAD (1000)
#   BENCH_MEM_SCANS (20000)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/wine-env.sh"
cd "$HARBINEL_ROOT"

rounds=${BENCH_ROUNDS:-3}
seq_count=${BENCH_SEQ:-200}
conc_count=${BENCH_CONC:-600}
overload_count=${BENCH_OVERLOAD:-1000}
mem_scans=${BENCH_MEM_SCANS:-20000}
concurrency=16

out=$HARBINEL_ROOT/build/bench
raw=$out/raw.txt
started=$SECONDS

say() { echo "==> $*"; }

# ---- build --------------------------------------------------------------------

configure() {
    local dir="$1"
    shift
    cmake -S . -B "$dir" "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
}

say "build (x86_64 program and tools, i686 program, native scanner)"
bash scripts/install-deps.sh
mkdir -p build "$out"
rm -f "$out"/*.csv "$out"/*.txt "$out"/*.out "$out"/results.md
configure build/bench-win64 -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release
cmake --build build/bench-win64 -j"$(nproc)" --target harbinel bench_ctl bench_reference \
    bench_lookup bench_handlers bench_handlers_whatif bench_harbinel_whatif >/dev/null
configure build/bench-win32 -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release
cmake --build build/bench-win32 -j"$(nproc)" --target harbinel >/dev/null
configure build/bench-native -DCMAKE_BUILD_TYPE=Release
cmake --build build/bench-native --target bench_loadgen >/dev/null

bin=$HARBINEL_ROOT/build/bench-win64/bench
loadgen=$HARBINEL_ROOT/build/bench-native/bench/bench_loadgen

# ---- Wine -----------------------------------------------------------------------

say "wine prefix (null graphics driver)"
trap wine_prefix_destroy EXIT
trap 'exit 130' INT TERM
wine_prefix_create null
wine=$HARBINEL_WINE64
# Every Windows program here is the x86_64 build (the what-if copies exist
# only there); whether this Wine could also run the i686 one goes in the report.
wine_probe_arch build/probe

# A fresh prefix maps drive Z: to the Unix root.
winpath() { echo "Z:${1//\//\\}"; }
harbinel_exe=$(winpath "$HARBINEL_ROOT/build/bench-win64/harbinel.exe")
whatif_exe=$(winpath "$bin/bench_harbinel_whatif.exe")
reference_exe=$(winpath "$bin/bench_reference.exe")

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
# The value of key $1 in the key=value line $2.
kv() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p" | head -n1; }
record() { echo "$*" >>"$raw"; }

# Linux memory of the running program's Wine process (found by its command
# line and this prefix): resident anonymous (private) and resident in all.
linux_memory() {
    local name="$1" p
    for p in /proc/[0-9]*; do
        if grep -q "$name" "$p/cmdline" 2>/dev/null &&
            tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            echo "rss_anon_kib=$(awk '/^RssAnon:/ {print $2}' "$p/status")" \
                "vm_rss_kib=$(awk '/^VmRSS:/ {print $2}' "$p/status")"
            return 0
        fi
    done
    echo "rss_anon_kib=0 vm_rss_kib=0"
}

# ---- the machine ----------------------------------------------------------------

record "machine nproc=$(nproc)"
record "cpu $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
record "wine $("$wine" --version 2>/dev/null)"
record "kernel $(uname -r)"
record "ran arch=$(pe_machine build/bench-win64/harbinel.exe) loader=$(basename "$wine")" \
    "wine_runs_i686=$([[ $WINE_TEST_ARCH == i686 ]] && echo yes || echo no)"
record "size i686_bytes=$(stat -c %s build/bench-win32/harbinel.exe)" \
    "x86_64_bytes=$(stat -c %s build/bench-win64/harbinel.exe)"

# ---- micro-benchmarks in-process -----------------------------------------------

say "lookup completion against a long log"
wrun "$bin/bench_lookup.exe" 1000 30000 | tee "$out/lookup.out"
grep '^lines=' "$out/lookup.out" | sed 's/^/lookup /' >>"$raw" || true

say "handler timing (300 sequential scans in-process)"
wrun "$bin/bench_handlers.exe" 300 | tee "$out/handlers.out"
wrun "$bin/bench_handlers_whatif.exe" 300 >"$out/handlers_whatif.out"
head -n 8 "$out/handlers_whatif.out"

# ---- load: sequential and 16 concurrent callers ------------------------------------

read -r -a ports16 <<<"$("$loadgen" freeports 16)"
ports16_csv=$(IFS=,; echo "${ports16[*]}")

# One program's share of a round: start, sequential callers, concurrent
# callers, then (for the real program and its what-if copy) the log read back
# and checked caller by caller, and Exit.
run_program() {
    local prog="$1" tag="$2" line rc
    case "$prog" in
    reference)
        line=$(ctl start-ref "$reference_exe" "${ports16[@]}") || { echo "$line"; return 1; }
        ;;
    *)
        if [[ "$prog" == harbinel ]]; then export HARBINEL_EXE=$harbinel_exe; else export HARBINEL_EXE=$whatif_exe; fi
        ctl setup "${ports16[@]}" >/dev/null
        line=$(ctl start 16) || { echo "$line"; return 1; }
        ;;
    esac
    local phase count conc
    for phase in seq conc; do
        if [[ $phase == seq ]]; then count=$seq_count conc=1; else count=$conc_count conc=$concurrency; fi
        line=$("$loadgen" run --ports "$ports16_csv" --count "$count" --concurrency "$conc" \
            --out "$out/$prog-$tag-$phase.csv") || true
        record "load prog=$prog $tag phase=$phase $line"
        echo "    $prog $phase: $line"
    done
    if [[ "$prog" == reference ]]; then
        ctl stop-ref >/dev/null
        return 0
    fi
    local lines=$((1 + 6 * (seq_count + conc_count)))
    line=$(ctl logdump "$out/$prog-$tag-log.txt" "$lines" 60000) || true
    rc=0
    line="$line $("$loadgen" check --log "$out/$prog-$tag-log.txt" "$out/$prog-$tag-seq.csv" \
        "$out/$prog-$tag-conc.csv")" || rc=$?
    record "check prog=$prog $tag $line"
    echo "    $prog log: $line"
    ctl exit >/dev/null
}

programs=(harbinel whatif reference)
for ((r = 1; r <= rounds; r++)); do
    say "round $r of $rounds"
    # Alternate who goes first.
    for ((i = 0; i < ${#programs[@]}; i++)); do
        prog=${programs[$(((i + r - 1) % ${#programs[@]}))]}
        run_program "$prog" "round=$r" || echo "    $prog: round $r failed"
    done
done

# ---- start-up with 100 ports ------------------------------------------------------

say "start-up with 100 ports"
read -r -a ports100 <<<"$("$loadgen" freeports 100)"
export HARBINEL_EXE=$harbinel_exe
for ((r = 1; r <= rounds; r++)); do
    ctl setup "${ports100[@]}" >/dev/null
    line=$(ctl start 100) || true
    record "startup prog=harbinel round=$r $line"
    ctl exit >/dev/null || true
    line=$(ctl start-ref "$reference_exe" "${ports100[@]}") || true
    record "startup prog=reference round=$r $line"
    ctl stop-ref >/dev/null || true
    echo "    round $r: $(tail -n 2 "$raw" | tr '\n' ' ')"
done

# ---- open-loop load at the reference's own rate --------------------------------

median_of() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
rate_of() { grep "^load prog=$1 .*phase=$2" "$raw" | sed 's/.* rate=\([0-9.]*\).*/\1/' | median_of; }
ref_rate=$(rate_of reference conc)
# A reference slowed by a busy wait in its accept handler to Harbinel's own
# sequential pace: whatever it loses at this load is owed to being that slow,
# not to what Harbinel does with its events.
slow_us=$(awk -v h="$(rate_of harbinel seq)" -v r="$(rate_of reference seq)" \
    'BEGIN {d = 1e6 / h - 1e6 / r; print (d > 0 ? int(d) : 0)}')
say "open loop: $overload_count callers at the reference's rate of $ref_rate per second"
netstat_counters() {
    command -v nstat >/dev/null || return 0
    nstat 2>/dev/null | awk '$1 ~ /ListenOverflows|SyncookiesSent/ {printf "%s=%s ", $1, $2}'
}
for prog in reference slowref harbinel; do
    case $prog in
    reference) ctl start-ref "$reference_exe" "${ports16[@]}" >/dev/null ;;
    slowref) ctl start-ref "$reference_exe" "-d$slow_us" "${ports16[@]}" >/dev/null ;;
    harbinel)
        ctl setup "${ports16[@]}" >/dev/null
        ctl start 16 >/dev/null
        ;;
    esac
    command -v nstat >/dev/null && nstat -n
    line=$("$loadgen" run --ports "$ports16_csv" --count "$overload_count" --rate "$ref_rate" \
        --max-inflight 4000 --timeout-ms 20000 --out "$out/$prog-overload.csv") || true
    record "overload prog=$prog offered=$ref_rate accept_delay_us=$([[ $prog == slowref ]] && echo "$slow_us" || echo 0) $line $(netstat_counters)"
    echo "    $prog: $(tail -n 1 "$raw" | cut -d' ' -f2-)"
    if [[ $prog != harbinel ]]; then
        ctl stop-ref >/dev/null
    else
        line=$(ctl logdump "$out/$prog-overload-log.txt" $((1 + 6 * overload_count)) 60000) || true
        line="$line $("$loadgen" check --log "$out/$prog-overload-log.txt" \
            "$out/$prog-overload.csv")" || true
        record "check prog=$prog overload $line"
        echo "    $prog log: $line"
        ctl exit >/dev/null
    fi
done

# ---- memory over 20,000 scans -------------------------------------------------------

say "memory over $mem_scans scans"
for prog in harbinel reference; do
    if [[ $prog == reference ]]; then
        ctl start-ref "$reference_exe" "${ports16[@]}" >/dev/null
        name=bench_reference.exe
    else
        ctl setup "${ports16[@]}" >/dev/null
        ctl start 16 >/dev/null
        name=harbinel.exe
    fi
    done_scans=0
    record "memory prog=$prog scans=0 $(linux_memory $name)"
    for step in 1 2 3 4; do
        n=$((mem_scans / 4))
        line=$("$loadgen" run --ports "$ports16_csv" --count "$n" --concurrency "$concurrency") || true
        done_scans=$((done_scans + n))
        count=""
        if [[ $prog == harbinel ]]; then
            # Wait for every lookup's line, so that nothing is still pending.
            count=$(ctl count $((1 + 6 * done_scans)) 120000) || true
        fi
        record "memory prog=$prog scans=$done_scans $(linux_memory $name) $line $count"
        echo "    $prog after $done_scans scans: $(tail -n 1 "$raw" | cut -c1-160)"
    done
    if [[ $prog == harbinel ]]; then
        # After Clear Log the freed lines make room for new ones: the next
        # scans must not make the process grow.
        ctl clear >/dev/null
        n=$((mem_scans / 10))
        line=$("$loadgen" run --ports "$ports16_csv" --count "$n" --concurrency "$concurrency") || true
        count=$(ctl count $((6 * n)) 120000) || true
        record "memory prog=$prog scans=cleared+$n $(linux_memory $name) $line $count"
        echo "    $prog after Clear Log and $n scans: $(tail -n 1 "$raw" | cut -c1-160)"
        ctl exit >/dev/null
    else
        ctl stop-ref >/dev/null
    fi
done

# ---- report -------------------------------------------------------------------------

record "elapsed seconds=$((SECONDS - started))"
python3 bench/summarize.py "$raw" "$out" >"$out/results.md"
say "results ($out/results.md)"
cat "$out/results.md"
