#!/usr/bin/env bash
# A private rsyslog collector on loopback for the end-to-end tests: its own
# config, pid file and output under one folder, UDP (imudp) and TCP (imtcp)
# inputs, and every message written as one line of its parsed RFC 5424
# fields, separated by '|':
#   input|pri|timestamp|hostname|app-name|procid|msgid|structured-data|msg
#
#   syslog-collector.sh start <dir> <udp-port> <tcp-port>
#   syslog-collector.sh stop <dir>
#   syslog-collector.sh run <dir> command...   (free ports, start, run, stop)
# "run" hands the command HARBINEL_SYSLOG_UDP, HARBINEL_SYSLOG_TCP and
# HARBINEL_SYSLOG_OUT (the output file as a Windows Z: path, for Wine) and
# passes back its exit code.
set -euo pipefail

rsyslogd=/usr/sbin/rsyslogd
ready_seconds=20

write_config() {
    local dir="$1" udp="$2" tcp="$3"
    mkdir -p "$dir/work"
    cat >"$dir/rsyslog.conf" <<EOF
global(workDirectory="$dir/work")
module(load="imudp")
module(load="imtcp")
template(name="fields" type="string"
    string="%inputname%|%pri%|%timereported:::date-rfc3339%|%hostname%|%app-name%|%procid%|%msgid%|%structured-data%|%msg%\n")
ruleset(name="collect") {
    action(type="omfile" file="$dir/messages.log" template="fields" flushOnTXEnd="on" asyncWriting="off")
}
input(type="imudp" address="127.0.0.1" port="$udp" ruleset="collect")
input(type="imtcp" address="127.0.0.1" port="$tcp" ruleset="collect")
EOF
}

# Each input counts as ready once a probe sent through it is in the file.
wait_ready() {
    local dir="$1" udp="$2" tcp="$3" deadline=$((SECONDS + ready_seconds))
    local probe="<14>1 - collector - - PROBE - ready"
    while ((SECONDS < deadline)); do
        if ! kill -0 "$(cat "$dir/rsyslogd.pid" 2>/dev/null || echo 0)" 2>/dev/null; then
            sleep 0.2 # the pid file comes a moment after the start
        fi
        printf '%s udp' "$probe" >"/dev/udp/127.0.0.1/$udp" 2>/dev/null || true
        local frame="$probe tcp"
        { printf '%d %s' "${#frame}" "$frame" >"/dev/tcp/127.0.0.1/$tcp"; } 2>/dev/null || true
        if [[ -f "$dir/messages.log" ]] && grep -q 'ready udp$' "$dir/messages.log" &&
            grep -q 'ready tcp$' "$dir/messages.log"; then
            return 0
        fi
        sleep 0.2
    done
    echo "syslog-collector: rsyslogd not ready on udp $udp / tcp $tcp after ${ready_seconds}s" >&2
    cat "$dir/rsyslogd.out" >&2 || true
    return 1
}

start() {
    local dir="$1" udp="$2" tcp="$3"
    [[ -x "$rsyslogd" ]] || { echo "syslog-collector: no $rsyslogd (run scripts/install-deps.sh)" >&2; return 1; }
    write_config "$dir" "$udp" "$tcp"
    rm -f "$dir/messages.log"
    "$rsyslogd" -n -f "$dir/rsyslog.conf" -i "$dir/rsyslogd.pid" </dev/null >"$dir/rsyslogd.out" 2>&1 &
    echo $! >"$dir/rsyslogd.pid.shell"
    wait_ready "$dir" "$udp" "$tcp"
}

stop() {
    local dir="$1" pid
    pid="$(cat "$dir/rsyslogd.pid.shell" 2>/dev/null || true)"
    [[ -n "$pid" ]] || return 0
    kill "$pid" 2>/dev/null || true
    local deadline=$((SECONDS + 10))
    while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/rsyslogd.pid.shell"
}

# Two ports free on loopback now: one for UDP, one for TCP.
free_ports() {
    python3 - <<'EOF'
import socket
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0))
t = socket.socket(socket.AF_INET, socket.SOCK_STREAM); t.bind(("127.0.0.1", 0))
print(u.getsockname()[1], t.getsockname()[1])
EOF
}

run() {
    local dir="$1"
    shift
    mkdir -p "$dir"
    local udp tcp
    read -r udp tcp < <(free_ports)
    start "$dir" "$udp" "$tcp" || { stop "$dir"; return 1; }
    local rc=0
    HARBINEL_SYSLOG_UDP="$udp" HARBINEL_SYSLOG_TCP="$tcp" \
        HARBINEL_SYSLOG_OUT="Z:${dir//\//\\}\\messages.log" "$@" || rc=$?
    stop "$dir"
    return $rc
}

case "${1:-}" in
start) start "$(realpath -m "$2")" "$3" "$4" ;;
stop) stop "$(realpath -m "$2")" ;;
run)
    dir="$(realpath -m "$2")"
    shift 2
    run "$dir" "$@"
    ;;
*)
    echo "usage: $0 start <dir> <udp-port> <tcp-port> | stop <dir> | run <dir> command..." >&2
    exit 2
    ;;
esac
