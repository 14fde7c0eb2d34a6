#!/usr/bin/env bash
# Builds harbinel.exe and starts it under Wine in a throwaway prefix. With
# $DISPLAY set Wine draws it on that display; without one it runs headless on
# the null graphics driver. Ends when the program exits (or on Ctrl+C).
#
# The shipped program is the 32-bit build; where this machine's Wine cannot
# run 32-bit programs, the 64-bit build of the same sources runs instead.
# Set HARBINEL_PREFIX to a directory to keep the prefix (and so the settings
# in its registry) from one run to the next.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
cd "$HARBINEL_ROOT"

bash scripts/install-deps.sh

build_exe() {
    local dir="$1" arch="$2"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target harbinel
}

build_exe build/win32 i686

graphics=null
if [[ -n "${DISPLAY:-}" ]]; then
    graphics=default
fi

trap wine_prefix_destroy EXIT
trap 'exit 130' INT TERM
wine_prefix_create "$graphics" "${HARBINEL_PREFIX:-}"

wine_probe_arch build/probe
exe=build/win32/harbinel.exe
if [[ "$WINE_TEST_ARCH" != i686 ]]; then
    echo "run: Wine cannot run 32-bit programs here, so the x86_64 build runs instead"
    build_exe build/win64 x86_64
    exe=build/win64/harbinel.exe
fi

echo "run: starting $exe (graphics: $graphics, prefix: $WINEPREFIX)"
# In the background so that Ctrl+C or a kill reaches the traps at once; the
# prefix's teardown then ends the program.
"$(wine_loader_for "$exe")" "$exe" </dev/null &
rc=0
wait $! || rc=$?
echo "run: harbinel.exe ended with exit code $rc"
exit $rc
