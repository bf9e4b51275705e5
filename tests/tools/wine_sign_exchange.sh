#!/usr/bin/env bash
# The sign commands of radar-sign.exe under Wine, on COM names mapped to
# pseudo-terminals whose far ends are the native sign-sim, beside the native
# radar-sign against the same simulators on the same kind of line. For every
# case the sign's log (each frame it received and sent, and what it did with
# it), the result lines (without the port and the time taken) and the exit
# status must be the same on both systems, and the same as written here.
# Both read the PC's clock as RADAR_SIGN_PC_CLOCK (for the offset column).
#
# usage: wine_sign_exchange.sh NATIVE_BIN_DIR RADAR_SIGN_EXE WORK_DIR
# environment: WINEPREFIX, a prefix in which no COM name is mapped but by this
# script (it maps com43 and com44 and removes them again); WINE, the loader.
set -euo pipefail

# native_bin, exe, work and dosdevices
. "$(dirname "$0")/wine_sims.sh" "$@"
com_names=(com43 com44)
export RADAR_SIGN_PC_CLOCK="2026-12-08 15:30:00"
# The native program's audit log in a folder of the test's own, not the
# user's (the Windows one writes into the prefix's LOCALAPPDATA).
export XDG_DATA_HOME=$work/data-home

require_no_com_names wine_sign_exchange
rm -rf "$work"
mkdir -p "$work"
failures=0
sims=()

stop_sims() {
    local pid
    for pid in "${sims[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    sims=()
    local c
    for c in "${com_names[@]}"; do
        rm -f "$dosdevices/$c"
    done
}
trap stop_sims EXIT

# Starts a simulator with the options in $2 (separated by |) and sets
# sim_slave to its terminal. Not in a subshell: the pid must reach sims.
start_sim() {
    local dir=$1 n=$3
    local -a options=()
    [ -z "$2" ] || IFS='|' read -ra options <<<"$2"
    local rc=0
    start_sign_sim "$dir/sim$n.out" "$dir/sim$n.log" "${options[@]}" || rc=$?
    sims+=("$sim_pid")
    [ "$rc" -eq 0 ] || echo "sign-sim did not start" >&2
    return "$rc"
}

# run_side SIDE CASE SIGNS SIM_OPTIONS ARGS...: @1, @2 in ARGS name the signs'
# ports; @0 a port that does not exist.
run_side() {
    local side=$1 name=$2 signs=$3 sim_options=$4
    shift 4
    local dir=$work/$side/$name
    mkdir -p "$dir"
    local -a ports=()
    local n slave
    for ((n = 1; n <= signs; n++)); do
        start_sim "$dir" "$sim_options" "$n"
        slave=$sim_slave
        if [ "$side" = windows ]; then
            ln -s "$slave" "$dosdevices/${com_names[n - 1]}"
            ports[n]=${com_names[n - 1]^^}
        else
            ports[n]=$slave
        fi
    done
    if [ "$side" = windows ]; then
        ports[0]=COM49
    else
        ports[0]=rc-no-such-port # /dev/rc-no-such-port, as radar-sign names it
    fi
    local -a args=()
    local a
    for a in "$@"; do
        case "$a" in
        @[0-9]) args+=("${ports[${a#@}]}") ;;
        *) args+=("$a") ;;
        esac
    done
    local rc=0
    if [ "$side" = windows ]; then
        timeout 120 "$WINE" "$exe" "${args[@]}" >"$dir/raw.out" 2>"$dir/stderr" || rc=$?
    else
        timeout 120 "$native_bin/radar-sign" "${args[@]}" >"$dir/raw.out" 2>"$dir/stderr" || rc=$?
    fi
    stop_sims
    echo "$rc" >"$dir/status"
    if [ -n "$(jobs -pr)" ]; then
        echo "wine_sign_exchange: a simulator did not end" >&2
        exit 1
    fi
    # The port as @N, without the time taken (the field before the offset);
    # the lines in a fixed order.
    local script=""
    for n in "${!ports[@]}"; do
        script+="s|^${ports[n]}\t|@$n\t|;"
    done
    tr -d '\r' <"$dir/raw.out" | sed -e "$script" -e 's/\t[0-9]* ms\t/\t/' | sort >"$dir/result"
    # The sign's log without the times and the terminal's name.
    : >"$dir/sign"
    for ((n = 1; n <= signs; n++)); do
        sed -e '/listening on /d' -e '/stopped by SIGTERM/d' -e 's/^ *[0-9.]* //' -e "s/^/@$n /" "$dir/sim$n.log" >>"$dir/sign"
    done
}

# check CASE SIGNS SIM_OPTIONS ARGS... (SIM_OPTIONS separated by |) ; then on stdin: the expected status,
# the result lines (tab-separated), a line "--", the sign's log.
check() {
    local name=$1 signs=$2 sim_options=$3
    shift 3
    local expected
    expected=$(cat)
    run_side linux "$name" "$signs" "$sim_options" "$@"
    run_side windows "$name" "$signs" "$sim_options" "$@"
    local side got bad=0
    for side in linux windows; do
        got=$(
            cat "$work/$side/$name/status"
            cat "$work/$side/$name/result"
            echo --
            cat "$work/$side/$name/sign"
        )
        if [ "$got" != "$expected" ]; then
            echo "FAILED $name on $side:"
            diff -u <(echo "$expected") <(echo "$got") | sed 's/^/    /' || true
            sed 's/^/    stderr: /' "$work/$side/$name/stderr"
            bad=1
        fi
    done
    if [ "$bad" -eq 0 ]; then
        echo "ok     $name: the same on Linux and under Wine"
    fi
    failures=$((failures + bad))
}

T=$'\t'

check read-time 1 "--clock|2026-12-08 15:30:00" read-time @1 <<EOF
0
@1${T}read-time${T}ok 12/08 2026  15:30${T}1 try${T}0
--
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx F7 8C 8D 8A 83 26 12 08 15 30 00 E6
EOF

# A clock 133 s behind, over the limit.
check clock-off 1 "--clock|2026-12-08 15:27:47" read-time @1 --max-offset 60 <<EOF
4
@1${T}read-time${T}clock off by more than 60 s: 12/08 2026  15:27, 2 min 13 s behind this PC${T}1 try${T}-133
--
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx F7 8C 8D 8A 83 26 12 08 15 27 47 B6
EOF

# The clock read back after setting it: a second transaction on the port.
check send-time-verify 1 "--clock|2026-12-08 15:30:00" send-time @1 --verify --at "2026-12-08 15:30:05" <<EOF
0
@1${T}send-time${T}ok${T}2 tries${T}+5
--
@1 rx F7 8C 8D 8A 01 26 12 08 15 30 05 61 (set time 2026-12-08 15:30:05)
@1 clock set: 2026-12-08 15:30:05 (stopped by --clock)
@1 tx F7 8C 8D 8A 81 FD
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx F7 8C 8D 8A 83 26 12 08 15 30 05 E3
EOF

# A sign that acknowledges the set but keeps its own clock: the clock read
# back is held against the time sent.
check send-time-not-taken 1 "--keep-clock|--clock|2026-12-08 15:00:00" send-time @1 --verify \
    --at "2026-12-08 15:30:00" <<EOF
4
@1${T}send-time${T}the sign did not take the time: it reads 2026-12-08T15:00:00, 30 min 0 s behind the time sent${T}2 tries${T}-1800
--
@1 rx F7 8C 8D 8A 01 26 12 08 15 30 00 64 (set time 2026-12-08 15:30:00)
@1 clock not set (--keep-clock): 2026-12-08 15:30:00
@1 tx F7 8C 8D 8A 81 FD
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx F7 8C 8D 8A 83 26 12 08 15 00 00 D6
EOF

check send-time 1 "--clock|2026-12-08 15:30:00" send-time @1 --at "2026-12-24 18:05:09" <<EOF
0
@1${T}send-time${T}ok${T}1 try${T}
--
@1 rx F7 8C 8D 8A 01 26 12 24 18 05 09 79 (set time 2026-12-24 18:05:09)
@1 clock set: 2026-12-24 18:05:09 (stopped by --clock)
@1 tx F7 8C 8D 8A 81 FD
EOF

check download 1 "" download @1 --morning 07:30-09:00 --afternoon 14:00-16:30 \
    --morning-speed 25 --afternoon-speed 30 --regular-speed 50 --rate 1 <<EOF
0
@1${T}download${T}ok${T}1 try${T}
--
@1 rx F7 8C 8D 8A 02 07 1E 09 00 19 0E 00 10 1E 1E 32 01 5A (download)
@1 table: morning 07:30-09:00 at 25, afternoon 14:00-16:30 at 30, regular 50, rate 1Hz
@1 tx F7 8C 8D 8A 82 FE
EOF

# The first frame unanswered: the same frame again after the wait. The PC's
# clock reads RADAR_SIGN_PC_CLOCK at the first write and runs on: at the
# reply, a second later, it is 15:30:01.
check second-try 1 "--ignore|1|--clock|2000-01-01 00:00:00" read-time @1 --iso <<EOF
0
@1${T}read-time${T}ok 2000-01-01T00:00:00${T}2 tries${T}-850059001
--
@1 rx F7 8C 8D 8A 03 7F (read time) ignored, 1 of 1
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx F7 8C 8D 8A 83 00 01 01 00 00 00 FF
EOF

# Noise before the reply and the reply in two pieces.
check noise-and-split 1 "--noise|00 F7 12|--split|3:40|--clock|2026-12-08 15:30:00" read-time @1 <<EOF
0
@1${T}read-time${T}ok 12/08 2026  15:30${T}1 try${T}0
--
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx 00 F7 12 (with noise, first 3 bytes)
@1 tx F7 8C 8D 8A 83 26 12 08 15 30 00 E6 (the rest, 40 ms later)
EOF

check silent-sign 1 "--silent" read-time @1 --tries 2 --timeout 300 <<EOF
1
@1${T}read-time${T}no answer after 2 tries${T}2 tries${T}
--
@1 rx F7 8C 8D 8A 03 7F (read time) not answered (--silent)
@1 rx F7 8C 8D 8A 03 7F (read time) not answered (--silent)
EOF

# Two signs at once and a port that does not exist.
check two-signs-and-no-port 2 "--clock|2026-12-08 15:30:00" read-time @1 @0 @2 <<EOF
3
@0${T}read-time${T}no such port${T}0 tries${T}
@1${T}read-time${T}ok 12/08 2026  15:30${T}1 try${T}0
@2${T}read-time${T}ok 12/08 2026  15:30${T}1 try${T}0
--
@1 rx F7 8C 8D 8A 03 7F (read time)
@1 tx F7 8C 8D 8A 83 26 12 08 15 30 00 E6
@2 rx F7 8C 8D 8A 03 7F (read time)
@2 tx F7 8C 8D 8A 83 26 12 08 15 30 00 E6
EOF

# The port list under Wine: COM1 ... COM255 probed, and only the names mapped
# here answer (the prefix maps no other).
dir=$work/windows/ports
mkdir -p "$dir"
for n in 1 2; do
    start_sim "$dir" "" "$n"
    ln -s "$sim_slave" "$dosdevices/${com_names[n - 1]}"
done
rc=0
listed=$(timeout 120 "$WINE" "$exe" ports 2>"$dir/stderr" | tr -d '\r') || rc=$?
stop_sims
if [ "$rc" -eq 0 ] && [ "$listed" = $'COM43\nCOM44' ]; then
    echo "ok     ports: COM43 and COM44 found under Wine"
else
    echo "FAILED ports under Wine (status $rc): $listed"
    failures=$((failures + 1))
fi

# Names that are no serial ports are bad input under Windows, refused before
# anything is opened: the sign's own terminal as a path (which Wine opens as
# the host's device), a folder, a file, the console, the null device. The
# sign hears nothing, also on the COM port given beside them; then the same
# COM port alone, to show that the sign was there to hear.
dir=$work/windows/not-ports
mkdir -p "$dir"
start_sim "$dir" "" 1
ln -s "$sim_slave" "$dosdevices/${com_names[0]}"
path=${sim_slave//\//\\}
refused=0
names=("Z:$path" "Z:$sim_slave" "\\\\?\\Z:$path" "\\\\.\\Z:$path" 'C:\windows' 'C:\windows\win.ini'
    CON NUL '\\.\CON' COM0)
for name in "${names[@]}"; do
    rc=0
    timeout 120 "$WINE" "$exe" read-time COM43 "$name" >"$dir/out" 2>"$dir/err" || rc=$?
    if [ "$rc" -eq 2 ] && [ ! -s "$dir/out" ] &&
        grep -qF "'$name' is not a serial port" <(tr -d '\r' <"$dir/err"); then
        refused=$((refused + 1))
    else
        echo "FAILED not-ports: $name (status $rc)"
        sed 's/^/    /' "$dir/out" "$dir/err"
        failures=$((failures + 1))
    fi
done
rc=0
timeout 120 "$WINE" "$exe" read-time COM43 >"$dir/out" 2>"$dir/err" || rc=$?
stop_sims
heard=$(grep -c ' rx ' "$dir/sim1.log" || true)
if [ "$rc" -eq 0 ] && [ "$heard" -eq 1 ]; then
    echo "ok     not-ports: $refused of ${#names[@]} names that are no ports refused with status 2, the sign heard only the run without them"
else
    echo "FAILED not-ports: the last run's status $rc, the sign heard $heard requests (1 expected)"
    failures=$((failures + 1))
fi

# The help as Windows programs give it, and the version, the same as the
# native program's.
for asked in '/?' --version; do
    rc=0
    got=$(timeout 120 "$WINE" "$exe" "$asked" 2>&1 | tr -d '\r') || rc=$?
    want=$("$native_bin/radar-sign" "$asked" 2>&1)
    if [ "$rc" -eq 0 ] && [ "$got" = "$want" ] && [ -n "$got" ]; then
        echo "ok     $asked: $(head -1 <<<"$got")"
    else
        echo "FAILED $asked under Wine (status $rc):"
        diff -u <(echo "$want") <(echo "$got") | sed 's/^/    /' || true
        failures=$((failures + 1))
    fi
done

echo "wine_sign_exchange: $failures cases failed"
[ "$failures" -eq 0 ]
