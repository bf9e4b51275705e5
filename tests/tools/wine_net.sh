#!/usr/bin/env bash
# Signs on the network under Wine: radar-sign.exe reaching the native
# sign-sim on a pseudo-terminal through the native ser2net in front of it
# (tests/support/ser2net_front: ser2net on free ports of 127.0.0.1 only,
# killed at the end), as rfc2217://127.0.0.1:P and tcp://127.0.0.1:Q. Wine's
# sockets are the host's: Winsock under Wine reaches the same loopback server.
# No COM name is mapped, none may be.
#
# Cases: read-time on both names (status, result line, the frame the sign
# received); the server killed while the command waits for the answer (status
# 3, "the device server ... closed the connection", long before the answer's
# time-out); an rfc2217:// name pointing at the raw accepter, which never
# negotiates (status 3, timed out at --connect-timeout).
#
# usage: wine_net.sh NATIVE_BIN_DIR RADAR_SIGN_EXE WORK_DIR
# environment: WINEPREFIX, a prefix in which no COM name is mapped; WINE, the
# loader. NATIVE_BIN_DIR holds sign-sim and ser2net_front; ser2net itself is
# found as the tests find it (RC_SER2NET, else scripts/setup's cache).
set -euo pipefail

# native_bin, exe, work and dosdevices
. "$(dirname "$0")/wine_sims.sh" "$@"
export RADAR_SIGN_PC_CLOCK="2026-12-08 15:30:00"
clock="2026-12-08 15:30:00"
T=$'\t'

require_no_com_names wine_net
rm -rf "$work"
mkdir -p "$work"
failures=0
sim=
front=

stop_all() {
    if [ -n "$front" ]; then
        kill "$front" 2>/dev/null || true
        wait "$front" 2>/dev/null || true
        front=
    fi
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
        sim=
    fi
}
trap stop_all EXIT

now_ms() { date +%s%3N; }

# serve DIR SIM_OPTIONS...: a sign-sim and ser2net in front of it; sets
# rfc2217 and raw to the port names. Returns 1 when either did not start.
serve() {
    local dir=$1
    shift
    mkdir -p "$dir"
    local rc=0
    start_sign_sim "$dir/sim.out" "$dir/sim.log" "$@" || rc=$?
    sim=$sim_pid
    if [ "$rc" -ne 0 ]; then
        echo "sign-sim did not start" >&2
        return 1
    fi
    coproc FRONT { exec "$native_bin/ser2net_front" "$sim_slave" 2>"$dir/front.err"; }
    front=$FRONT_PID
    rfc2217='' raw=''
    read -r -t 20 rfc2217 <&"${FRONT[0]}" || true
    read -r -t 5 raw <&"${FRONT[0]}" || true
    case "$rfc2217 $raw" in
    rfc2217://127.0.0.1:*" tcp://127.0.0.1:"*) return 0 ;;
    esac
    echo "ser2net did not start: $(cat "$dir/front.err")" >&2
    return 1
}

# expect CASE DIR STATUS LINE: the status and the one result line (without
# the time taken) of the run kept in DIR.
expect() {
    local name=$1 dir=$2 status=$3 line=$4
    local got_status got_line
    got_status=$(cat "$dir/status")
    got_line=$(tr -d '\r' <"$dir/out" | sed 's/\t[0-9]* ms\t/\t/')
    if [ "$got_status" = "$status" ] && [ "$got_line" = "$line" ]; then
        return 0
    fi
    echo "FAILED $name: status $got_status (expected $status)"
    diff -u <(echo "$line") <(echo "$got_line") | sed 's/^/    /' || true
    sed 's/^/    stderr: /' "$dir/err"
    failures=$((failures + 1))
    return 1
}

# read-time on either name: the sign answers, the frame as sent.
for kind in rfc2217 raw; do
    dir=$work/read-time-$kind
    if serve "$dir" --clock "$clock"; then
        name=${!kind}
        rc=0
        started=$(now_ms)
        timeout 120 "$WINE" "$exe" read-time "$name" >"$dir/out" 2>"$dir/err" || rc=$?
        took=$(($(now_ms) - started))
        echo "$rc" >"$dir/status"
        if expect "read-time on $kind" "$dir" 0 "$name${T}read-time${T}ok 12/08 2026  15:30${T}1 try${T}0" &&
            [ "$(grep -c ' rx F7 8C 8D 8A 03 7F (read time)' "$dir/sim.log")" -eq 1 ]; then
            echo "ok     read-time on $name under Wine ($took ms)"
        elif [ "$(cat "$dir/status")" = 0 ]; then
            echo "FAILED read-time on $kind: the sign did not receive the frame once"
            sed 's/^/    sign: /' "$dir/sim.log"
            failures=$((failures + 1))
        fi
    else
        echo "FAILED read-time on $kind: nothing to reach"
        failures=$((failures + 1))
    fi
    stop_all
done

# The server killed while the command waits: the sign is silent, the answer's
# time-out 15 s, and the command ends soon after the kill.
dir=$work/server-gone
if serve "$dir" --silent; then
    "$WINE" "$exe" read-time "$raw" --tries 3 --timeout 15000 >"$dir/out" 2>"$dir/err" &
    run=$!
    for ((i = 0; i < 400; i++)); do
        grep -q 'not answered' "$dir/sim.log" 2>/dev/null && break
        sleep 0.05
    done
    killed=$(now_ms)
    kill "$front"
    wait "$front" 2>/dev/null || true
    front=
    rc=0
    wait "$run" || rc=$?
    took=$(($(now_ms) - killed))
    echo "$rc" >"$dir/status"
    address=${raw#tcp://}
    if expect "server gone" "$dir" 3 \
        "$raw${T}read-time${T}the device server at $address closed the connection${T}1 try${T}"; then
        if [ "$took" -lt 10000 ]; then
            echo "ok     server gone mid-command: status 3 under Wine, $took ms after the kill"
        else
            echo "FAILED server gone: ended $took ms after the kill, by the answer's time-out"
            failures=$((failures + 1))
        fi
    fi
else
    echo "FAILED server gone: nothing to reach"
    failures=$((failures + 1))
fi
stop_all

# rfc2217:// at the raw accepter: nothing negotiates; --connect-timeout 1 ends it.
dir=$work/never-negotiates
if serve "$dir" --clock "$clock"; then
    name=rfc2217://${raw#tcp://}
    rc=0
    started=$(now_ms)
    timeout 120 "$WINE" "$exe" read-time "$name" --connect-timeout 1 >"$dir/out" 2>"$dir/err" || rc=$?
    took=$(($(now_ms) - started))
    echo "$rc" >"$dir/status"
    if expect "never negotiates" "$dir" 3 \
        "$name${T}read-time${T}timed out connecting to ${raw#tcp://} (connect time-out 1 s) (WSAETIMEDOUT, OS error 10060)${T}0 tries${T}"; then
        echo "ok     an rfc2217:// server that never negotiates: status 3 under Wine in $took ms"
    fi
else
    echo "FAILED never negotiates: nothing to reach"
    failures=$((failures + 1))
fi
stop_all

if [ -n "$(find "$dosdevices" -maxdepth 1 -iname 'com*' -print -quit)" ]; then
    echo "wine_net: COM names appeared in the prefix" >&2
    failures=$((failures + 1))
fi
echo "wine_net: $failures cases failed"
[ "$failures" -eq 0 ]
