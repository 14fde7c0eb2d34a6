#!/usr/bin/env bash
# Builds harbinel.exe and starts it under Wine. With $DISPLAY set Wine draws
# it on that display; without one it runs headless on the null graphics
# driver. Ends when the program exits, or on Ctrl+C.
#
#   usage: scripts/run.sh [--fresh]
#
# The Wine prefix is kept from one run to the next, so the settings Harbinel
# saves at Exit (and whether it was listening) are there at the next start.
# It lives in ${XDG_DATA_HOME:-~/.local/share}/harbinel/wine, or in
# $HARBINEL_PREFIX when that is set. This script makes it itself and reuses
# only a prefix it made; --fresh removes the kept prefix first and starts
# from a new one.
#
# Ctrl+C ends Harbinel through its own Exit command (File > Exit, so that it
# saves its settings), waits for it to end, then stops the prefix's
# wineserver.
#
# Without a display the window cannot be seen, so the day's log file
# (%LOCALAPPDATA%\Harbinel\Logs\harbinel-YYYY-MM-DD.log in the prefix) is
# printed to the terminal as it grows.
#
# The shipped program is the 32-bit build; where this machine's Wine cannot
# run 32-bit programs, the 64-bit build of the same sources runs instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
cd "$HARBINEL_ROOT"

fresh=0
for arg in "$@"; do
    case "$arg" in
        --fresh) fresh=1 ;;
        -h | --help)
            sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
            exit 0
            ;;
        *)
            echo "usage: scripts/run.sh [--fresh]" >&2
            exit 2
            ;;
    esac
done

prefix="${HARBINEL_PREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/harbinel/wine}"
if ! wine_prefix_ours "$prefix"; then
    echo "run: $prefix exists but is not a prefix this script made; move it away or set HARBINEL_PREFIX" >&2
    exit 1
fi

bash scripts/install-deps.sh

# The program, and the helper that asks it to exit (docs/tools/shoot.cpp).
build_exe() {
    local dir="$1" arch="$2"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target harbinel shoot
}

build_exe build/win32 i686

graphics=null
if [[ -n "${DISPLAY:-}" ]]; then
    graphics=default
fi

harbinel_pid=""
helper=""
follower=""

# The prefix's %LOCALAPPDATA%\Harbinel\Logs as a Unix path. Wine's output
# goes through a file: a helper it starts must not keep a pipe of ours open.
log_folder() {
    local loader out
    loader="$(wine_loader_for "$exe")"
    out="$(mktemp)"
    "$loader" cmd /c echo %LOCALAPPDATA% </dev/null >"$out" 2>/dev/null || true
    local windows
    windows="$(tr -d '\r' <"$out")"
    "$loader" winepath -u "$windows\\Harbinel\\Logs" </dev/null >"$out" 2>/dev/null || true
    tr -d '\r' <"$out"
    rm -f "$out"
}

# Prints the day's log file as it grows, moving on to the next day's file
# at midnight.
follow_log() {
    local folder="$1" day file tailer
    while true; do
        day="$(date +%F)"
        file="$folder/harbinel-$day.log"
        tail -n +1 -F "$file" 2>/dev/null &
        tailer=$!
        while [[ "$(date +%F)" == "$day" ]]; do sleep 5; done
        kill "$tailer" 2>/dev/null || true
    done
}

stop_follower() {
    if [[ -n "$follower" ]]; then
        pkill -P "$follower" 2>/dev/null || true
        kill "$follower" 2>/dev/null || true
        follower=""
    fi
}

# Asks Harbinel to exit as File > Exit does (WM_COMMAND IDM_EXIT to its main
# window), so that it saves its settings, and waits for it to end. Whatever
# is still running afterwards, the prefix's teardown ends.
exit_harbinel() {
    trap 'exit 130' INT TERM
    if [[ -n "$harbinel_pid" ]] && kill -0 "$harbinel_pid" 2>/dev/null; then
        echo "run: asking harbinel.exe to exit (File > Exit), so that it saves its settings"
        if ! timeout 30 "$(wine_loader_for "$helper")" "$helper" command 203 </dev/null >/dev/null 2>&1; then
            echo "run: could not reach harbinel.exe's window" >&2
        fi
        local deadline=$((SECONDS + 30))
        while kill -0 "$harbinel_pid" 2>/dev/null && ((SECONDS < deadline)); do
            sleep 0.2
        done
        if kill -0 "$harbinel_pid" 2>/dev/null; then
            echo "run: harbinel.exe did not exit; stopping the prefix ends it" >&2
        else
            echo "run: harbinel.exe has exited"
        fi
    fi
    exit 130
}

trap 'stop_follower; wine_prefix_destroy' EXIT
trap 'exit 130' INT TERM
if [[ $fresh -eq 1 && -e "$prefix" ]]; then
    echo "run: --fresh: removing the kept prefix $prefix"
    rm -rf "$prefix"
fi
wine_prefix_create "$graphics" "$prefix"
if [[ "$graphics" != null ]]; then
    wine_prefix_fonts
fi

wine_probe_arch build/probe
dir=build/win32
if [[ "$WINE_TEST_ARCH" != i686 ]]; then
    echo "run: Wine cannot run 32-bit programs here, so the x86_64 build runs instead"
    build_exe build/win64 x86_64
    dir=build/win64
fi
exe="$dir/harbinel.exe"
helper="$dir/docs/tools/shoot.exe"

echo "run: starting $exe (graphics: $graphics, prefix: $WINEPREFIX)"
echo "run: Ctrl+C ends it through its own Exit, which saves its settings"
# In the background, so that Ctrl+C reaches the trap at once, and in a
# session of its own, so that the terminal's Ctrl+C reaches only this script:
# Wine would end the program on it without saving anything.
setsid -w "$(wine_loader_for "$exe")" "$exe" </dev/null &
harbinel_pid=$!
trap exit_harbinel INT TERM
if [[ "$graphics" == null ]]; then
    folder="$(log_folder)"
    if [[ -n "$folder" ]]; then
        echo "run: no display: the day's log file follows ($folder), unless Alerts and Log chose another folder"
        follow_log "$folder" &
        follower=$!
    fi
fi
rc=0
wait "$harbinel_pid" || rc=$?
trap 'exit 130' INT TERM
echo "run: harbinel.exe ended with exit code $rc"
exit $rc
