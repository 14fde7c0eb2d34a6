#!/usr/bin/env bash
# Makes the pictures in docs/ from the real harbinel.exe: builds it, starts it
# under Wine on a private Xvfb display in a throwaway prefix, works it through
# docs/tools/shoot.exe (window messages and a real TCP caller on loopback) and
# photographs each window with ImageMagick's import. Run it again after any
# change to the program to bring the pictures up to date.
#
#   docs/main-window.png    the main window after a scan
#   docs/tray-menu.png      the tray menu over the tray icon
#   docs/message.png        the Message dialog
#   docs/trojan-ports.png   the Trojan Ports dialog
#   docs/statistics.png     the Statistics window after the scan
#   docs/port-settings.png  the Port Settings dialog
#   docs/add-port.png       the Add Port dialog over Port Settings
#   docs/main-window-144dpi.png  the main window at 150 % (144 DPI)
#   docs/statistics-144dpi.png   the Statistics window at 144 DPI
#
# Wine runs as a virtual desktop, which gives it a taskbar with a
# notification area, so the tray icon is in the picture too. Every wait is
# for a condition with a deadline: a window shown, the log holding the scan,
# two captures in a row alike.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
cd "$HARBINEL_ROOT"

# ---- What it needs --------------------------------------------------------

# On top of the build's needs: an X server without a screen, xwininfo to find
# Wine's desktop on it and ImageMagick to photograph it. The install script
# takes them with its own, and copes with a mirror out of sync.
bash scripts/install-deps.sh xvfb x11-utils imagemagick

# ---- Clean-up, whatever happens -------------------------------------------

started=$SECONDS
work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-shots.XXXXXX")"
xvfb_pid=""

cleanup() {
    local rc=$?
    # Ends harbinel.exe, the desktop and every other Wine process of the prefix.
    wine_prefix_destroy
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    if [[ $rc -eq 0 ]]; then
        echo "screenshots: done in $((SECONDS - started))s"
    else
        echo "screenshots: FAILED (exit $rc)" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls a command until it succeeds or `seconds` pass; false on timeout.
wait_until() {
    local seconds="$1"
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        if ((SECONDS >= deadline)); then return 1; fi
        sleep 0.1
    done
}

# ---- The display ----------------------------------------------------------

# The desktop size; Xvfb's screen is made the same so nothing lies outside it.
desktop_size=1024x768

# Xvfb picks a free display number itself and writes it to the descriptor
# once it accepts clients.
Xvfb -displayfd 3 -screen 0 "${desktop_size}x24" -nolisten tcp \
    3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
xvfb_ready() {
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; return 2; }
    [[ -s "$work/display" ]]
}
wait_until 30 xvfb_ready || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
DISPLAY=":$(tr -d '\n' <"$work/display")"
export DISPLAY
echo "screenshots: Xvfb on $DISPLAY"

# ---- Prefix and build -----------------------------------------------------

wine_prefix_create default
wine_probe_arch build/probe
arch="$WINE_TEST_ARCH"
if [[ "$arch" == i686 ]]; then
    build_dir=build/win32
else
    build_dir=build/win64
    echo "screenshots: Wine cannot run 32-bit programs here, so the x86_64 build is shown"
fi

cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$HARBINEL_ROOT/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target harbinel shoot
exe="$build_dir/harbinel.exe"
helper="$build_dir/docs/tools/shoot.exe"
loader="$(wine_loader_for "$exe")"

# ---- The prefix's settings ------------------------------------------------

# The fonts Wine ships, for the dialogs' face and the caption buttons.
wine_prefix_fonts

# Two ports from the Trojan Ports table that nothing here listens on.
port_free() {
    ! timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null
}
ports=()
for port in 12345 31337 12346 31338 20034 54320; do
    if port_free "$port"; then ports+=("$port"); fi
    if [[ ${#ports[@]} -eq 2 ]]; then break; fi
done
if [[ ${#ports[@]} -lt 2 ]]; then
    echo "screenshots: not enough free ports among the trojan ports" >&2
    exit 1
fi

# The virtual desktop, and Harbinel's own key: the two ports, listening from
# the start, callers kept connected (so that what they send is logged).
printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Explorer]' '"Desktop"="Default"' '' \
    '[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]' "\"Default\"=\"$desktop_size\"" '' \
    '[HKEY_CURRENT_USER\SOFTWARE\Ferrowind\Harbinel]' \
    '"Count"=dword:00000002' \
    "$(printf '"Port0"=dword:%08x' "${ports[0]}")" \
    "$(printf '"Port1"=dword:%08x' "${ports[1]}")" \
    '"Connected"=hex:01' '"Disconnnect"=hex:00' '' \
    >"$WINEPREFIX/drive_c/shots.reg"
"$loader" regedit /S 'C:\shots.reg' </dev/null >/dev/null 2>&1

# The desktop process is already running as a plain one; a fresh wineserver
# starts it again, now as the virtual desktop (the registry is saved first).
"$WINESERVER" -k
timeout 60 "$WINESERVER" -w
"$WINESERVER" -p
timeout 120 "$loader" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true

# ---- Working the program --------------------------------------------------

"$loader" "$exe" </dev/null >"$work/harbinel.log" 2>&1 &
harbinel_pid=$!

# Runs one step of the helper and prints what it printed (rectangles, one
# "left top right bottom" a line). Its output goes through a file: Wine's
# background processes would otherwise hold a pipe open.
shoot() {
    if ! "$loader" "$helper" "$@" </dev/null >"$work/shoot.out" 2>"$work/shoot.err"; then
        echo "screenshots: step '$*' failed: $(tr -d '\r' <"$work/shoot.err")" >&2
        return 1
    fi
    tr -d '\r' <"$work/shoot.out"
}

# Where Wine's desktop window sits on the X screen: Windows coordinates are
# relative to it.
desktop_offset() {
    local info
    info="$(xwininfo -name 'Default - Wine desktop' 2>/dev/null)" || return 1
    desktop_x="$(awk '/Absolute upper-left X:/ { print $4 }' <<<"$info")"
    desktop_y="$(awk '/Absolute upper-left Y:/ { print $4 }' <<<"$info")"
}

# The X geometry (WxH+X+Y) around the given rectangles, with a margin (8
# pixels unless given), kept inside the desktop.
geometry() {
    local margin="${2:-8}" width="${desktop_size%x*}" height="${desktop_size#*x}"
    awk -v m="$margin" -v w="$width" -v h="$height" -v dx="$desktop_x" -v dy="$desktop_y" '
        NF == 4 {
            if (n++ == 0) { l = $1; t = $2; r = $3; b = $4 }
            if ($1 < l) l = $1; if ($2 < t) t = $2
            if ($3 > r) r = $3; if ($4 > b) b = $4
        }
        END {
            if (n == 0) exit 1
            l -= m; t -= m; r += m; b += m
            if (l < 0) l = 0; if (t < 0) t = 0
            if (r > w) r = w; if (b > h) b = h
            printf "%dx%d+%d+%d\n", r - l, b - t, l + dx, t + dy
        }' <<<"$1"
}

# Photographs the screen area `geometry` into docs/`name` once two captures
# in a row are alike, so that the windows have finished painting.
capture() {
    local name="$1" geometry="$2" deadline=$((SECONDS + 20)) previous=""
    local n=0 shot
    while :; do
        shot="$work/capture.$((n++ % 2)).ppm"
        import -window root -crop "$geometry" +repage "$shot"
        if [[ -n "$previous" ]] && cmp -s "$previous" "$shot"; then break; fi
        if ((SECONDS >= deadline)); then
            echo "screenshots: $name never came to rest" >&2
            return 1
        fi
        previous="$shot"
        sleep 0.2
    done
    # Without the time chunks an unchanged picture gives an unchanged file.
    convert "$shot" -strip -define png:exclude-chunks=date,time "docs/$name"
    echo "screenshots: docs/$name ($geometry)"
}

# The main window starts hidden; Restore shows it.
shoot command 902 >/dev/null
main="$(shoot main)"
wait_until 30 desktop_offset || { echo "screenshots: no Wine desktop window" >&2; exit 1; }

# A scanner knocks on the first port and says hello.
shoot scan "${ports[0]}" hello
# The scan's notification, while it is up; not every desktop draws one.
if balloon="$(shoot balloon)"; then
    capture balloon.png "$(geometry "$balloon" 8)"
else
    echo "screenshots: this desktop shows no balloon; docs/balloon.png is left as it is"
fi
capture main-window.png "$(geometry "$main")"

# The tray menu, opened as by a right click on the icon, with a stretch of
# the taskbar round it.
capture tray-menu.png "$(geometry "$(shoot tray-menu)" 40)"
shoot close-menu

# Dialogs open over the main window, so each picture holds both.
dialog_shot() {
    local command="$1" title="$2" name="$3"
    shoot command "$command"
    capture "$name" "$(geometry "$(shoot main)"$'\n'"$(shoot window "$title")")"
    shoot close "$title"
}
dialog_shot 212 Message message.png
dialog_shot 221 "Trojan Ports" trojan-ports.png
dialog_shot 215 "Alerts and Log" alerts-and-log.png
dialog_shot 225 Statistics statistics.png

# A larger window: the log fills it and scrolls sideways to its widest line.
resized="$(shoot resize 460 320)"
capture main-window-resized.png "$(geometry "$resized")"
shoot resize 240 234 >/dev/null

# The port list can be changed only while Harbinel is not listening, so it
# stops first, as a user would have to.
shoot listen off
shoot command 211
settings="$(shoot window "Port Settings")"
capture port-settings.png "$(geometry "$(shoot main)"$'\n'"$settings")"
shoot click "Port Settings" 403 # Add...
capture add-port.png "$(geometry "$(shoot main)"$'\n'"$settings"$'\n'"$(shoot window "Add Port")")"
shoot close "Add Port"
shoot close "Port Settings"

# File > Exit; the clean-up ends whatever is left.
harbinel_gone() { ! kill -0 "$harbinel_pid" 2>/dev/null; }
exit_harbinel() {
    shoot command 203
    wait_until 30 harbinel_gone || echo "screenshots: harbinel.exe did not exit; the clean-up ends it"
}
exit_harbinel

# The main window at 150 % (144 DPI) after a scan. Wine takes a program's
# DPI from LogPixels when the program starts, so only Harbinel (and the
# helper) see the new one; the desktop, which draws the notification, stays
# at 96. Notifications are off for this run: one would lie over the window.
"$loader" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f \
    </dev/null >/dev/null 2>&1
"$loader" reg add 'HKCU\SOFTWARE\Ferrowind\Harbinel' /v Balloons /t REG_BINARY /d 00 /f \
    </dev/null >/dev/null 2>&1
"$loader" "$exe" </dev/null >>"$work/harbinel.log" 2>&1 &
harbinel_pid=$!
shoot command 902 >/dev/null
shoot listen on
shoot scan "${ports[0]}" hello
capture main-window-144dpi.png "$(geometry "$(shoot main)")"
dialog_shot 225 Statistics statistics-144dpi.png
exit_harbinel
