#!/usr/bin/env bash
# Builds and tests everything: the native unit tests (sanitized), the 32-bit
# product with its import check, and the Windows and end-to-end tests under
# Wine in a throwaway prefix. Exits non-zero on any failure.
#
# The Wine tests run on the 32-bit build when this machine's Wine can run
# 32-bit programs, otherwise on a 64-bit build of the same sources.
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

report_times() {
    local rc=$?
    wine_prefix_destroy
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
    configure build/native -DCMAKE_BUILD_TYPE=Debug
    build build/native
}

mingw_build() {
    local dir="$1" arch="$2"
    configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DHARBINEL_WERROR=ON
    build "$dir" "${@:3}"
}

timed "install dependencies" bash scripts/install-deps.sh

mkdir -p build
timed "native build" native_build
timed "native tests" ctest --test-dir build/native --output-on-failure

timed "product build (i686)" mingw_build build/win32 i686 --target harbinel portable installer
timed "product check" ctest --test-dir build/win32 -L product --output-on-failure
timed "static analysis" bash scripts/analyse.sh build/win32 i686-w64-mingw32

# The test prefix opens no browser; see wine-env.sh.
export HARBINEL_FAKE_BROWSER=1
timed "wine prefix" wine_prefix_create null
wine_probe_arch build/probe
if [[ "$WINE_TEST_ARCH" == i686 ]]; then
    testdir=build/win32
    echo "==> Wine runs 32-bit programs here: the Wine tests use the i686 build"
else
    testdir=build/win64
    echo "==> Wine cannot run 32-bit programs here: the Wine tests use the x86_64 build"
fi
timed "wine test build" mingw_build "$testdir" "$WINE_TEST_ARCH"
timed "wine tests" ctest --test-dir "$testdir" -LE product --output-on-failure
