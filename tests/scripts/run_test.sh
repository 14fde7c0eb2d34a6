#!/usr/bin/env bash
# scripts/run.sh as someone without a display uses it, in a prefix of its
# own: --desktop without a display is refused; --ports makes Harbinel
# listen at once and a scan shows in the terminal; a second run.sh on the
# same prefix refuses and leaves the first alone; SIGTERM, sent twice,
# ends Harbinel through its Exit and leaves no process of the prefix behind
# (Harbinel, Wine or the log follower).
# scripts/test.sh runs it; exits non-zero on the first failure.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
cd "$HARBINEL_ROOT"
wine_find_loaders

work="$(mktemp -d "${TMPDIR:-/tmp}/harbinel-run-test.XXXXXX")"
prefix="$work/prefix"
out="$work/run.out"
run_pid=""

fail() {
    echo "run_test: FAILED: $*" >&2
    echo "---- run.sh said:" >&2
    cat "$out" >&2 || true
    exit 1
}

# The processes whose environment names the test prefix: Wine's and
# Harbinel's, and run.sh's own helpers once the prefix is made.
prefix_processes() {
    local environ
    for environ in /proc/[0-9]*/environ; do
        if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
            local pid="${environ#/proc/}"
            echo "${pid%/environ}"
        fi
    done
}

cleanup() {
    if [[ -n "$run_pid" ]] && kill -0 "$run_pid" 2>/dev/null; then
        kill -TERM "$run_pid" 2>/dev/null || true
        wait "$run_pid" 2>/dev/null || true
    fi
    if [[ -d "$prefix" ]]; then
        WINEPREFIX="$prefix" "$WINESERVER" -k >/dev/null 2>&1 || true
        WINEPREFIX="$prefix" timeout 60 "$WINESERVER" -w >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Waits until `condition` (a command) succeeds, for at most $1 seconds.
wait_until() {
    local seconds="$1"
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
said() { grep -Eq "$1" "$out"; }
said_times() { [[ "$(grep -Ec "$1" "$out" || true)" -ge "$2" ]]; }
run_ended() { ! kill -0 "$run_pid" 2>/dev/null; }
prefix_empty() { [[ -z "$(prefix_processes)" ]]; }

# --desktop needs a display, and says so before it makes or locks anything.
rc=0
env -u DISPLAY HARBINEL_PREFIX="$work/unused" timeout 60 bash scripts/run.sh --desktop \
    >"$work/desktop.out" 2>&1 || rc=$?
[[ $rc -eq 2 ]] && grep -q -- "--desktop needs a display" "$work/desktop.out" ||
    fail "--desktop without a display ended with $rc: $(cat "$work/desktop.out")"
[[ ! -e "$work/unused" ]] || fail "--desktop without a display made a prefix"

# A port nothing on this machine listens on.
port=""
for ((try = 0; try < 50; try++)); do
    candidate=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then
        port=$candidate
        break
    fi
done
[[ -n "$port" ]] || fail "no free port found"
scan() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || true; }
accept="Accept: 127\.0\.0\.1:[0-9]+ -> 127\.0\.0\.1:$port"

# Headless, as over SSH. The build is already there when scripts/test.sh
# runs this, so the wait covers making the prefix and the start.
env -u DISPLAY HARBINEL_PREFIX="$prefix" bash scripts/run.sh --ports "$port" >"$out" 2>&1 &
run_pid=$!
wait_until 300 said "Listening on 1 port" || fail "Harbinel did not listen on port $port"
said "no ports are set" && fail "named an empty port list although --ports gave one"
scan
wait_until 30 said "$accept" || fail "the scan did not show"

# A second run on the same prefix refuses, at once, and the first one goes on.
rc=0
env -u DISPLAY HARBINEL_PREFIX="$prefix" timeout 60 bash scripts/run.sh >"$work/second.out" 2>&1 || rc=$?
[[ $rc -eq 1 ]] || fail "the second run.sh ended with $rc: $(cat "$work/second.out")"
grep -q "already running in $prefix" "$work/second.out" ||
    fail "the second run.sh did not say why: $(cat "$work/second.out")"
kill -0 "$run_pid" 2>/dev/null || fail "the first run.sh ended"
scan
wait_until 30 said_times "$accept" 2 || fail "Harbinel stopped answering after the second run.sh"

# SIGTERM twice: the second, sent once the Exit is under way, must not cut
# it short.
kill -TERM "$run_pid"
wait_until 30 said "asking harbinel.exe to exit" || fail "SIGTERM did not start the Exit"
kill -TERM "$run_pid" 2>/dev/null || true
wait_until 120 run_ended || fail "run.sh did not end after SIGTERM"
rc=0
wait "$run_pid" || rc=$?
run_pid=""
[[ $rc -eq 130 ]] || fail "run.sh ended with $rc after SIGTERM"
said "harbinel.exe has exited" || fail "Harbinel was not ended through its Exit"
wait_until 30 prefix_empty || fail "processes of the prefix are left: $(prefix_processes | tr '\n' ' ')"
echo "run_test: passed (port $port)"
