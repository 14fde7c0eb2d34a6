#!/usr/bin/env bash
# Runs one Windows program under Wine and passes its exit code back; ctest
# calls this for every Wine-run test. Inside scripts/test.sh it uses the
# harness's prefix and wineserver; called on its own it makes a throwaway
# prefix for this one run. The loader matches the program's machine.
#   usage: wine-run.sh program.exe [arguments...]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

exe="$1"
shift

if [[ -z "${HARBINEL_WINE_HARNESS:-}" || ! -d "${HARBINEL_WINE_HARNESS}" ]]; then
    unset HARBINEL_WINE_HARNESS
    trap wine_prefix_destroy EXIT
    HARBINEL_FAKE_BROWSER=1 wine_prefix_create null
else
    wine_find_loaders
    export WINEPREFIX="$HARBINEL_WINE_HARNESS"
    export WINEDEBUG="${WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="$HARBINEL_WINE_OVERRIDES"
fi
loader="$(wine_loader_for "$exe")"

# Wine starts long-lived helpers (services, the desktop process) on demand,
# and they inherit the stdout and stderr of the program that needed them.
# Were those ctest's pipes (or a command substitution's), the reader would
# wait for the helpers to close them and time out, so all Wine output goes
# through a file.
output="$(mktemp "${TMPDIR:-/tmp}/harbinel-run.XXXXXX")"

# The end-to-end driver is handed the Windows paths of the program and the
# installer under test, of the stand-in netsh.exe and schtasks.exe the
# install tests use, and of the file its Wine output goes to: the programs
# it starts print their Wine debug channels there too, and the Event Log
# tests read them back.
export HARBINEL_WINE_OUTPUT="$output"
for var in HARBINEL_EXE HARBINEL_SETUP HARBINEL_FULL_DISK HARBINEL_FAKE_NETSH HARBINEL_FAKE_SCHTASKS \
    HARBINEL_WINE_OUTPUT; do
    if [[ "${!var:-}" == /* ]]; then
        "$loader" winepath -w "${!var}" </dev/null >"$output" 2>/dev/null
        printf -v "$var" '%s' "$(tr -d '\r' <"$output")"
        export "${var?}"
    fi
done

rc=0
"$loader" "$exe" "$@" </dev/null >"$output" 2>&1 || rc=$?
cat "$output"
rm -f "$output"
exit $rc
