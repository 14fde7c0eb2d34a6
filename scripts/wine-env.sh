# Shared Wine plumbing for test.sh, run.sh and wine-run.sh; source it, don't run it.
# Finds the Wine loaders, makes and removes a throwaway prefix with its own
# persistent wineserver, and finds out whether 32-bit Windows programs run here.

HARBINEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# No Mono or Gecko prompts, and no winemenubuilder: the installer's Start menu
# shortcut would otherwise become a launcher in the Linux user's own menus.
HARBINEL_WINE_OVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Debian's /usr/bin/wine picks the 32-bit loader whenever it is installed,
# even where the kernel cannot run it, so the loaders are called directly.
wine_find_loaders() {
    HARBINEL_WINE32=""
    HARBINEL_WINE64=""
    local candidate
    for candidate in /usr/lib/wine/wine "$(command -v wine32 || true)"; do
        if [[ -n "$candidate" && -x "$candidate" ]]; then HARBINEL_WINE32="$candidate"; break; fi
    done
    for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
        if [[ -n "$candidate" && -x "$candidate" ]]; then HARBINEL_WINE64="$candidate"; break; fi
    done
    if [[ -z "$HARBINEL_WINE32" && -z "$HARBINEL_WINE64" ]]; then
        echo "wine-env: no Wine loader found (run scripts/install-deps.sh)" >&2
        return 1
    fi
    if [[ -x /usr/lib/wine/wineserver64 ]]; then
        WINESERVER=/usr/lib/wine/wineserver64
    elif [[ -x /usr/lib/wine/wineserver32 ]]; then
        WINESERVER=/usr/lib/wine/wineserver32
    else
        WINESERVER="$(command -v wineserver)"
    fi
    export WINESERVER
}

# The loader that boots prefixes: the 64-bit one when it works, since a
# 64-bit prefix also hosts 32-bit programs.
wine_boot_loader() {
    if [[ -n "$HARBINEL_WINE64" ]] && "$HARBINEL_WINE64" --version >/dev/null 2>&1; then
        echo "$HARBINEL_WINE64"
    else
        echo "$HARBINEL_WINE32"
    fi
}

# The file that marks a kept prefix as one these scripts made.
HARBINEL_PREFIX_MARK=.harbinel-prefix

# True when directory $1 is missing, empty, or a prefix these scripts made.
wine_prefix_ours() {
    [[ ! -e "$1" ]] || [[ -f "$1/$HARBINEL_PREFIX_MARK" ]] ||
        [[ -d "$1" && -z "$(ls -A "$1")" ]]
}

# Makes a prefix, starts its persistent wineserver and boots it. Arguments:
# "null" for the null graphics driver (headless) or anything else for Wine's
# default driver; then optionally a directory to use and keep: created and
# marked when missing or empty, booted again when it is one made here, and
# refused otherwise (never a prefix set up by hand). Without it a fresh one
# under /tmp is made and later removed. With HARBINEL_WINE_DESKTOP set to a
# size (1024x768) Wine draws everything inside one virtual desktop window
# of that size, which has its own captions and taskbar; a kept prefix
# without it goes back to ordinary windows. Sets WINE_PREFIX_SECONDS.
wine_prefix_create() {
    local graphics="${1:-null}" keep="${2:-}"
    local started=$SECONDS
    wine_find_loaders
    export WINEPREFIX
    if [[ -n "$keep" ]]; then
        if ! wine_prefix_ours "$keep"; then
            echo "wine-env: $keep is not a prefix these scripts made; not using it" >&2
            return 1
        fi
        mkdir -p "$keep"
        WINEPREFIX="$(cd "$keep" && pwd)"
        echo "made by Harbinel's scripts/wine-env.sh" >"$WINEPREFIX/$HARBINEL_PREFIX_MARK"
        HARBINEL_WINE_KEEP=1
    else
        WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-wine.XXXXXX")"
        HARBINEL_WINE_KEEP=0
    fi
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="$HARBINEL_WINE_OVERRIDES"
    # Marks the prefix as made here, so wine-run.sh never uses one made by hand.
    export HARBINEL_WINE_HARNESS="$WINEPREFIX"
    local loader
    loader="$(wine_boot_loader)"
    if [[ "$loader" == "$HARBINEL_WINE64" ]]; then export WINEARCH=win64; else export WINEARCH=win32; fi
    "$WINESERVER" -p
    if ! timeout 300 "$loader" wineboot -i </dev/null >/dev/null 2>&1; then
        echo "wine-env: wineboot failed in $WINEPREFIX" >&2
        return 1
    fi
    local key='HKCU\Software\Wine\Drivers'
    if [[ "$graphics" == null ]]; then
        timeout 60 "$loader" reg add "$key" /v Graphics /d null /f </dev/null >/dev/null 2>&1
    else
        timeout 60 "$loader" reg delete "$key" /v Graphics /f </dev/null >/dev/null 2>&1 || true
    fi
    local explorer='HKCU\Software\Wine\Explorer'
    if [[ -n "${HARBINEL_WINE_DESKTOP:-}" ]]; then
        timeout 60 "$loader" reg add "$explorer" /v Desktop /d Default /f </dev/null >/dev/null 2>&1
        timeout 60 "$loader" reg add "$explorer\Desktops" /v Default /d "$HARBINEL_WINE_DESKTOP" /f \
            </dev/null >/dev/null 2>&1
    elif [[ -n "$keep" ]]; then
        timeout 60 "$loader" reg delete "$explorer" /v Desktop /f </dev/null >/dev/null 2>&1 || true
    fi
    # A test prefix gets a stand-in browser, so that the web-site command
    # opens nothing and the tests can see which address it asked for.
    if [[ "${HARBINEL_FAKE_BROWSER:-0}" == 1 ]]; then
        timeout 60 "$loader" reg add 'HKCU\Software\Wine\WineBrowser' /v Browsers \
            /d "$HARBINEL_ROOT/scripts/fake-browser.sh" /f </dev/null >/dev/null 2>&1
    fi
    # The boot has already started the desktop process with the driver (and
    # the desktop) that was set before, and windows made against it fail. A fresh server (the
    # registry is saved on the way down) starts it again on first use.
    "$WINESERVER" -k
    timeout 60 "$WINESERVER" -w
    "$WINESERVER" -p
    # Start the prefix's background helpers now, detached from the caller's
    # output, so that no later program hands them its pipes.
    timeout 120 "$loader" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
    WINE_PREFIX_SECONDS=$((SECONDS - started))
}

# Copies the fonts Debian's Wine ships (fonts-wine) into the prefix's Fonts
# folder. Debian's Wine does not pick them up from /usr/share/wine/fonts, and
# on a display the caption buttons and menu arrows (drawn from Marlett) would
# show as letters such as "r", and dialogs in a stand-in face.
wine_prefix_fonts() {
    local fonts=/usr/share/wine/fonts
    if [[ ! -f "$fonts/marlett.ttf" ]]; then
        echo "wine-env: no $fonts/marlett.ttf (run scripts/install-deps.sh)" >&2
        return 1
    fi
    cp "$fonts"/*.ttf "$fonts"/*.fon "$WINEPREFIX/drive_c/windows/Fonts/"
}

# Stops the prefix's wineserver (and every Wine process in it) and removes
# the prefix unless it was one to keep. Safe to call twice or when nothing
# was created.
wine_prefix_destroy() {
    if [[ -z "${HARBINEL_WINE_HARNESS:-}" || ! -d "$HARBINEL_WINE_HARNESS" ]]; then
        return 0
    fi
    WINEPREFIX="$HARBINEL_WINE_HARNESS" "$WINESERVER" -k >/dev/null 2>&1 || true
    WINEPREFIX="$HARBINEL_WINE_HARNESS" timeout 60 "$WINESERVER" -w >/dev/null 2>&1 || true
    if [[ "${HARBINEL_WINE_KEEP:-0}" != 1 ]]; then
        rm -rf "$HARBINEL_WINE_HARNESS"
    fi
    unset HARBINEL_WINE_HARNESS
}

# Prints the machine of a PE file: i686, x86_64 or unknown.
pe_machine() {
    local offset machine
    offset=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$1" | tr -d ' ')
    case "$machine" in
        014c) echo i686 ;;
        8664) echo x86_64 ;;
        *) echo unknown ;;
    esac
}

# The loader for a PE file's machine.
wine_loader_for() {
    case "$(pe_machine "$1")" in
        i686) echo "${HARBINEL_WINE32:-$HARBINEL_WINE64}" ;;
        *) echo "$HARBINEL_WINE64" ;;
    esac
}

# Decides which Windows architecture the Wine-run layers use: builds a tiny
# 32-bit console program and runs it in the current prefix; if it comes back
# with its exit code, 32-bit Wine works. Sets WINE_TEST_ARCH to i686 or x86_64.
wine_probe_arch() {
    local dir="$1"
    WINE_TEST_ARCH=x86_64
    [[ -n "$HARBINEL_WINE32" ]] || return 0
    mkdir -p "$dir"
    printf 'int main(void) { return 42; }\n' >"$dir/probe32.c"
    i686-w64-mingw32-gcc-posix -static -o "$dir/probe32.exe" "$dir/probe32.c" || return 0
    local rc=0
    timeout 60 "$HARBINEL_WINE32" "$dir/probe32.exe" >/dev/null 2>&1 || rc=$?
    if [[ $rc -eq 42 ]]; then
        WINE_TEST_ARCH=i686
    fi
}
