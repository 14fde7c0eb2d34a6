# Shared by the separate benchmark scripts (source it after wine-env.sh).

# The program's private memory: the resident anonymous memory of its Wine
# process, found by its command line and this prefix (other prefixes may
# run a harbinel.exe of their own). Wine's own PrivateUsage counter reads 0.
private_kib() {
    local p
    for p in /proc/[0-9]*; do
        if grep -q harbinel.exe "$p/cmdline" 2>/dev/null &&
            tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
            awk '/^RssAnon:/ {print $2}' "$p/status"
            return 0
        fi
    done
    echo 0
}

# The program's settings key made afresh: listening on $port, Disconnect
# immediately as $1 (00 or 01). Needs $loader and $key; reg adds more.
reg() { "$loader" reg add "$key" /f "$@" >/dev/null 2>&1; }
fresh_key() {
    "$loader" reg delete "$key" /f >/dev/null 2>&1 || true
    reg /v Count /t REG_DWORD /d 1
    reg /v Port0 /t REG_DWORD /d "$port"
    reg /v Connected /t REG_BINARY /d 01
    reg /v Disconnnect /t REG_BINARY /d "$1"
}

# Starts $exe in the background (its pid in $pid); stop_program ends it
# with the prefix's wineserver.
launch_program() {
    "$loader" "$exe" </dev/null >/dev/null 2>&1 &
    pid=$!
}
stop_program() {
    WINEPREFIX="$HARBINEL_WINE_HARNESS" "$WINESERVER" -k >/dev/null 2>&1 || true
    wait "$pid" 2>/dev/null || true
}

# The benchmark's common start: the load generator built natively
# ($loadgen), a throwaway prefix with $loader for $exe, and a free loopback
# port ($port). The prefix goes at exit, and $work with it unless
# BENCH_KEEP is set.
bench_cleanup() {
    WINEPREFIX="$HARBINEL_WINE_HARNESS" "$WINESERVER" -k >/dev/null 2>&1 || true
    wine_prefix_destroy
    [[ -n ${BENCH_KEEP:-} ]] || rm -rf "$work"
}
bench_setup() {
    trap bench_cleanup EXIT
    cmake -S . -B build/bench-native -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build build/bench-native --target bench_loadgen >/dev/null
    loadgen=$HARBINEL_ROOT/build/bench-native/bench/bench_loadgen
    wine_prefix_create null
    loader="$(wine_loader_for "$exe")"
    port=$(python3 -c '
import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
}
