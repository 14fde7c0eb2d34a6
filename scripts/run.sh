#!/usr/bin/env bash
# Builds harbinel.exe and starts it under Wine. With $DISPLAY set Wine draws
# it on that display; without one it runs headless on the null graphics
# driver. Ends when the program exits, or on Ctrl+C or SIGTERM.
#
#   usage: scripts/run.sh [--fresh] [--desktop] [--ports PORT,PORT...]
#
# The Wine prefix is kept from one run to the next, so the settings Harbinel
# saves (and whether it was listening) are there at the next start. It lives
# in ${XDG_DATA_HOME:-~/.local/share}/harbinel/wine, or in $HARBINEL_PREFIX
# when that is set. This script makes it itself and reuses only a prefix it
# made; --fresh empties the kept prefix first and starts from a new one.
#
# --desktop (with a display) runs Harbinel inside Wine's virtual desktop, one
# window of 1024x768 with its own taskbar and tray, where every window has
# its caption and frame: a bare X server without a window manager draws
# windows without them. Runs without --desktop use ordinary windows again.
#
# --ports 12345,31337 stores that port list (each 1-65535) in the prefix's
# settings key before the start, and that Harbinel was listening, so it
# listens at once: a first run without a display can show a scan. Without
# --ports a prefix whose port list is empty is named in one line, since
# Harbinel then has nothing to listen on until ports are given (--ports, or
# Options > Port Settings in the window).
#
# One run at a time per prefix: a second run.sh on a prefix in use says so
# and ends, leaving the running copy as it is (a lock on the prefix's folder,
# held while anything this run started lives).
#
# Ctrl+C (SIGINT) or SIGTERM ends Harbinel through its own Exit command
# (File > Exit, so that it saves its settings), waits for it to end, then
# stops the prefix's wineserver. Signals that come while it does so are
# noted and change nothing: the run always ends that way.
#
# Without a display the window cannot be seen, so what Harbinel writes to
# its log file from now on is printed to the terminal (the day's file,
# harbinel-YYYY-MM-DD.log, in %LOCALAPPDATA%\Harbinel\Logs in the prefix, or
# in the folder chosen in Options > Alerts and Log). Earlier lines are not
# repeated; the output moves on to the next file when the day changes or a
# full file makes Harbinel go on in the next one.
#
# The shipped program is the 32-bit build; where this machine's Wine cannot
# run 32-bit programs, the 64-bit build of the same sources runs instead.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
cd "$HARBINEL_ROOT"

usage="usage: scripts/run.sh [--fresh] [--desktop] [--ports PORT,PORT...]"
usage_error() {
    echo "run: $*" >&2
    echo "$usage" >&2
    exit 2
}

# Checks a comma-separated port list and puts it in `ports`.
ports=()
parse_ports() {
    local list="$1" port
    local -a given
    local -A seen=()
    [[ -n "$list" && "$list" != *, && "$list" != ,* && "$list" != *,,* ]] ||
        usage_error "--ports takes port numbers separated by commas, such as --ports 12345,31337"
    IFS=, read -r -a given <<<"$list"
    for port in "${given[@]}"; do
        if [[ ! "$port" =~ ^[0-9]{1,5}$ ]] || ((10#$port < 1 || 10#$port > 65535)); then
            usage_error "--ports: '$port' is not a port number from 1 to 65535"
        fi
        port=$((10#$port))
        [[ -z "${seen[$port]:-}" ]] || usage_error "--ports: port $port is given twice"
        seen[$port]=1
        ports+=("$port")
    done
}

fresh=0
desktop=0
while (($# > 0)); do
    case "$1" in
        --fresh) fresh=1 ;;
        --desktop) desktop=1 ;;
        --ports)
            (($# >= 2)) || usage_error "--ports needs a list, such as --ports 12345,31337"
            parse_ports "$2"
            shift
            ;;
        --ports=*) parse_ports "${1#--ports=}" ;;
        -h | --help)
            sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
            exit 0
            ;;
        *) usage_error "unknown argument '$1'" ;;
    esac
    shift
done

if ((desktop)) && [[ -z "${DISPLAY:-}" ]]; then
    usage_error "--desktop needs a display: set DISPLAY (a run without one is headless)"
fi

prefix="${HARBINEL_PREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/harbinel/wine}"
if ! wine_prefix_ours "$prefix"; then
    echo "run: $prefix exists but is not a prefix this script made; move it away or set HARBINEL_PREFIX" >&2
    exit 1
fi

# One run per prefix. The lock is on the prefix's folder itself (which
# --fresh empties but keeps), taken before anything is built or changed, so
# a second run leaves the first one's program, prefix and exe alone. The
# descriptor is inherited by what this run starts, so the lock lasts as long
# as any of it is alive.
mkdir -p "$prefix"
exec 9<"$prefix"
if ! flock -n 9; then
    echo "run: Harbinel is already running in $prefix (started by another scripts/run.sh); leaving that one as it is" >&2
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
loader=""
settings_key='HKCU\SOFTWARE\Ferrowind\Harbinel'

# Runs a Wine command and prints its output, carriage returns dropped.
# Wine's output goes through a file: a helper it starts must not keep a pipe
# of ours open.
wine_output() {
    local out
    out="$(mktemp)"
    "$loader" "$@" </dev/null >"$out" 2>/dev/null || true
    tr -d '\r' <"$out"
    rm -f "$out"
}

# Stores the port list in the settings key, with Connected set so that
# Harbinel listens at start. One import, through a file in the prefix.
store_ports() {
    local file="$WINEPREFIX/drive_c/harbinel-ports.reg" i
    {
        printf 'REGEDIT4\r\n\r\n[%s]\r\n' "${settings_key/HKCU/HKEY_CURRENT_USER}"
        printf '"Count"=dword:%08x\r\n' "${#ports[@]}"
        for i in "${!ports[@]}"; do
            printf '"Port%d"=dword:%08x\r\n' "$i" "${ports[$i]}"
        done
        printf '"Connected"=hex:01\r\n'
    } >"$file"
    wine_output reg import 'C:\harbinel-ports.reg' >/dev/null
    rm -f "$file"
}

# A first start offers the trojan table's ports in a message box, which
# nobody can answer without a display: headless, the offer is stored as
# answered ("No") so that Harbinel does not wait on it.
store_first_run_answer() {
    local file="$WINEPREFIX/drive_c/harbinel-first.reg"
    printf 'REGEDIT4\r\n\r\n[%s]\r\n"FirstRunAsked"=hex:00\r\n' \
        "${settings_key/HKCU/HKEY_CURRENT_USER}" >"$file"
    wine_output reg import 'C:\harbinel-first.reg' >/dev/null
    rm -f "$file"
}

# Reads the settings key into settings_<name> for the values this script
# looks at (Count, LogToFile, LogFolder); missing values stay empty.
settings_Count=""
settings_LogToFile=""
settings_LogFolder=""
read_settings() {
    local line
    while IFS= read -r line; do
        if [[ "$line" =~ ^\ +(Count|LogToFile|LogFolder)\ +REG_[A-Z_]+\ *(.*)$ ]]; then
            printf -v "settings_${BASH_REMATCH[1]}" '%s' "${BASH_REMATCH[2]}"
        fi
    done < <(wine_output reg query "$settings_key")
}

# The folder of Harbinel's log files as a Unix path: the one chosen in
# Alerts and Log, or the prefix's %LOCALAPPDATA%\Harbinel\Logs.
log_folder() {
    local windows="$settings_LogFolder"
    if [[ -z "$windows" ]]; then
        windows="$(wine_output cmd /c echo %LOCALAPPDATA%)\\Harbinel\\Logs"
    fi
    wine_output winepath -u "$windows"
}

# The name of the file Harbinel writes to in folder $1: the newest of its
# log files, by date and then by number (harbinel-YYYY-MM-DD.log, then
# .1.log, .2.log...); empty when there is none.
newest_log() {
    [[ -d "$1" ]] || return 0
    find "$1" -maxdepth 1 -type f \
        -name 'harbinel-[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]*.log' -printf '%f\n' |
        sort -t. -k1,1 -k2,2n | tail -n 1
}

# Prints the whole lines of file $1 past byte log_offset, and moves
# log_offset past them. A line still being written waits for the next call.
log_offset=0
print_new_lines() {
    local file="$1" size chunk bytes
    size=$(stat -c %s "$file" 2>/dev/null) || return 0
    if ((size < log_offset)); then
        log_offset=0 # a new file of the same name
    fi
    ((size > log_offset)) || return 0
    chunk="$(tail -c +$((log_offset + 1)) "$file" | head -c $((size - log_offset)); echo .)"
    chunk="${chunk%.}"
    [[ "$chunk" == *$'\n'* ]] || return 0
    chunk="${chunk%$'\n'*}"$'\n'
    printf '%s' "$chunk" | tr -d '\r'
    bytes=$(printf '%s' "$chunk" | wc -c)
    log_offset=$((log_offset + bytes))
}

# Prints what Harbinel writes to the log files in folder $1 from now on,
# starting at the end of file $2 (the newest at the start, if any, whose
# size was $3), and moving on to each newer file as it appears. Ends after
# a last look once Harbinel has ended, or as soon as this script is gone.
follow_log() {
    local folder="$1" current="$2" newest script=$$
    log_offset="$3"
    while kill -0 "$script" 2>/dev/null; do
        local ended=0
        kill -0 "$harbinel_pid" 2>/dev/null || ended=1
        newest="$(newest_log "$folder")"
        if [[ -n "$current" ]]; then print_new_lines "$folder/$current"; fi
        if [[ -n "$newest" && "$newest" != "$current" ]]; then
            current="$newest"
            log_offset=0
            print_new_lines "$folder/$current"
        fi
        ((ended == 0)) || return 0
        sleep 0.5
    done
}

# Lets the follower print Harbinel's last lines when Harbinel has ended,
# then stops it; stops it at once otherwise.
stop_follower() {
    [[ -n "$follower" ]] || return 0
    if [[ -z "$harbinel_pid" ]] || ! kill -0 "$harbinel_pid" 2>/dev/null; then
        local deadline=$((SECONDS + 5))
        while kill -0 "$follower" 2>/dev/null && ((SECONDS < deadline)); do
            sleep 0.1 || true
        done
    fi
    kill "$follower" 2>/dev/null || true
    wait "$follower" 2>/dev/null || true
    follower=""
}

# Asks Harbinel to exit as File > Exit does (WM_COMMAND IDM_EXIT to its main
# window), so that it saves its settings, and waits for it to end. Whatever
# is still running afterwards, the prefix's teardown ends. Further signals
# meanwhile are only noted, so that a second Ctrl+C cannot cut this short.
exit_harbinel() {
    trap 'echo "run: still ending harbinel.exe through its Exit; it has up to a minute"' INT TERM
    # A terminal's Ctrl+C also ends the sleep below; that must not end this.
    set +e
    if [[ -n "$harbinel_pid" ]] && kill -0 "$harbinel_pid" 2>/dev/null; then
        echo "run: asking harbinel.exe to exit (File > Exit), so that it saves its settings"
        if ! timeout 30 "$(wine_loader_for "$helper")" "$helper" command 203 </dev/null >/dev/null 2>&1; then
            echo "run: could not reach harbinel.exe's window" >&2
        fi
        local deadline=$((SECONDS + 30))
        while kill -0 "$harbinel_pid" 2>/dev/null && ((SECONDS < deadline)); do
            sleep 0.2 || true
        done
        if kill -0 "$harbinel_pid" 2>/dev/null; then
            echo "run: harbinel.exe did not exit; stopping the prefix ends it" >&2
        else
            echo "run: harbinel.exe has exited"
        fi
    fi
    exit 130
}

# The way out, whatever the cause: the follower, then the prefix's Wine
# processes. Signals while it runs must not cut it short.
finish() {
    trap 'echo "run: stopping Wine"' INT TERM
    set +e
    stop_follower
    wine_prefix_destroy
}

trap finish EXIT
trap 'exit 130' INT TERM
if [[ $fresh -eq 1 ]]; then
    echo "run: --fresh: emptying the kept prefix $prefix"
    find "$prefix" -mindepth 1 -maxdepth 1 -exec rm -rf -- {} +
fi
if ((desktop)); then
    export HARBINEL_WINE_DESKTOP=1024x768
    echo "run: --desktop: Harbinel runs inside Wine's virtual desktop ($HARBINEL_WINE_DESKTOP)"
else
    unset HARBINEL_WINE_DESKTOP
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
loader="$(wine_loader_for "$exe")"

if ((${#ports[@]} > 0)); then
    store_ports
    echo "run: listening on port(s) ${ports[*]} from the start (--ports)"
fi
read_settings
if [[ -z "$settings_Count" && "$graphics" == null ]]; then
    store_first_run_answer
fi
if [[ ! "$settings_Count" =~ ^0x[0-9a-fA-F]+$ ]] || ((settings_Count == 0)); then
    echo "run: no ports are set, so Harbinel has nothing to listen on: give them with --ports 12345,31337, or in the window's Options > Port Settings"
fi

# Without a display, where the log file is and how far it goes now, taken
# before the start so that Harbinel's first lines are not missed.
folder=""
if [[ "$graphics" == null ]]; then
    if [[ "$settings_LogToFile" == 00 ]]; then
        echo "run: no display, and the log file is off (Options > Alerts and Log), so nothing is shown"
    else
        folder="$(log_folder)"
    fi
fi
if [[ -n "$folder" ]]; then
    start_file="$(newest_log "$folder")"
    start_size=0
    if [[ -n "$start_file" ]]; then start_size=$(stat -c %s "$folder/$start_file"); fi
fi

echo "run: starting $exe (graphics: $graphics, prefix: $WINEPREFIX)"
echo "run: Ctrl+C ends it through its own Exit, which saves its settings"
# In the background, so that Ctrl+C reaches the trap at once, and in a
# session of its own, so that the terminal's Ctrl+C reaches only this script:
# Wine would end the program on it without saving anything. A signal that
# comes before its process id is known is held until then.
signalled=0
trap 'signalled=1' INT TERM
setsid -w "$loader" "$exe" </dev/null &
harbinel_pid=$!
trap exit_harbinel INT TERM
if ((signalled)); then exit_harbinel; fi
if [[ -n "$folder" ]]; then
    echo "run: no display: Harbinel's log file follows from here on ($folder)"
    follow_log "$folder" "$start_file" "$start_size" &
    follower=$!
fi
rc=0
wait "$harbinel_pid" || rc=$?
trap 'exit 130' INT TERM
echo "run: harbinel.exe ended with exit code $rc"
exit $rc
