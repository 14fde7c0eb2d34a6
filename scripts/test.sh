#!/usr/bin/env bash
# Builds and tests everything: the native unit tests (sanitized), the 32-bit
# product with its import and package checks, the Windows and end-to-end
# tests under Wine in a throwaway prefix, and scripts/run.sh run headless in
# a prefix of its own. Exits non-zero on any failure.
#
# The 32-bit build always builds everything (product, packages, Wine tests,
# benchmark tools, screenshot helper), so a 32-bit-only compile error fails
# on every machine; the benchmark's scanner is built natively. The tools are
# only built, never run. The Wine tests run on that 32-bit build where this
# machine's Wine can run 32-bit programs; only where it cannot, a 64-bit
# build of the same sources is made as well and they run on that.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
cd "$HARBINEL_ROOT"

jobs="$(nproc)"
started=$SECONDS
timings=()

# Runs a step and notes how long it took.
timed() {
    local label="$1"
    shift
    local t=$SECONDS
    echo "==> $label"
    "$@"
    timings+=("$(printf '%-28s %4ds' "$label" $((SECONDS - t)))")
}

# A small disk that Save Log can fill; made where the machine lets us mount
# one (as root), otherwise that one case says it was skipped.
full_disk=""
make_full_disk() {
    local dir="$HARBINEL_ROOT/build/full-disk"
    mkdir -p "$dir"
    if mountpoint -q "$dir" || mount -t tmpfs -o size=64k tmpfs "$dir" 2>/dev/null; then
        full_disk="$dir"
        export HARBINEL_FULL_DISK="$dir"
    fi
}

report_times() {
    local rc=$?
    wine_prefix_destroy
    if [[ -n "$full_disk" ]]; then umount "$full_disk" 2>/dev/null || true; fi
    echo "==> times"
    local line
    for line in "${timings[@]}"; do echo "    $line"; done
    echo "    $(printf '%-28s %4ds' total $((SECONDS - started)))"
    if [[ $rc -ne 0 ]]; then echo "==> FAILED (exit $rc)"; else echo "==> all passed"; fi
}
trap report_times EXIT
trap 'exit 130' INT TERM

configure() {
    local dir="$1"
    shift
    cmake -S "$HARBINEL_ROOT" -B "$HARBINEL_ROOT/$dir" "$@" >"$HARBINEL_ROOT/$dir.configure.log" 2>&1 ||
        { cat "$HARBINEL_ROOT/$dir.configure.log"; return 1; }
}

build() {
    cmake --build "$HARBINEL_ROOT/$1" -j"$jobs" "${@:2}"
}

native_build() {
    configure build/native -DCMAKE_BUILD_TYPE=Debug -DHARBINEL_BENCH=ON
    build build/native
}

mingw_build() {
    local dir="$1" arch="$2"
    configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DHARBINEL_WERROR=ON -DHARBINEL_BENCH=ON
    build "$dir" "${@:3}"
}

timed "install dependencies" bash scripts/install-deps.sh
# Its decisions on a mirror out of sync, against stand-ins for apt-get.
timed "install-deps test" bash tests/scripts/install_deps_test.sh

mkdir -p build
timed "native build" native_build
timed "native tests" ctest --test-dir build/native --output-on-failure

timed "i686 build (everything)" mingw_build build/win32 i686 --target all portable
timed "product check" ctest --test-dir build/win32 -L product --output-on-failure
timed "static analysis" bash scripts/analyse.sh build/win32 i686-w64-mingw32

# The test prefix opens no browser; see wine-env.sh.
export HARBINEL_FAKE_BROWSER=1
timed "wine prefix" wine_prefix_create null
make_full_disk
wine_probe_arch build/probe
if [[ "$WINE_TEST_ARCH" == i686 ]]; then
    testdir=build/win32
    echo "==> Wine runs 32-bit programs here: the Wine tests use the i686 build"
else
    testdir=build/win64
    echo "==> Wine cannot run 32-bit programs here: the Wine tests use an x86_64 build (the i686 one is only compiled)"
    timed "x86_64 build (Wine tests)" mingw_build build/win64 x86_64 --target win_tests e2e_tests
fi
timed "wine tests" ctest --test-dir "$testdir" -LE product --output-on-failure
# scripts/run.sh headless in a prefix of its own: a scan shows, a second run
# refuses, SIGTERM ends everything through Harbinel's Exit.
timed "run.sh" bash tests/scripts/run_test.sh
