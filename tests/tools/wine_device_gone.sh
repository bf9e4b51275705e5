#!/usr/bin/env bash
# A pulled adapter under Wine: radar-sign.exe read-time on a silent sign (the
# native sign-sim --silent on a pseudo-terminal mapped as COM46), and in the
# middle of the command the pseudo-terminal hung up (the simulator ended) and
# the COM46 link removed, as a pulled USB adapter takes its device and its
# name. The command must end within two seconds of the pull, with "the device
# has gone", exit status 3, one try, and its row in the audit log. The time
# from the pull to the end is printed.
#
# Two moments: during the wait after the first write, and during the wait
# after the second.
#
# usage: wine_device_gone.sh NATIVE_BIN_DIR RADAR_SIGN_EXE WORK_DIR
# environment: WINEPREFIX, a prefix in which no COM name is mapped but by this
# script (it maps com46 and removes it again); WINE, the loader.
set -euo pipefail

# native_bin, exe, work and dosdevices
. "$(dirname "$0")/wine_sims.sh" "$@"
link=$dosdevices/com46
limit_ms=2000

require_no_com_names wine_device_gone
rm -rf "$work"
mkdir -p "$work"
failures=0
sim=

stop_sim() {
    if [ -n "$sim" ]; then
        kill "$sim" 2>/dev/null || true
        wait "$sim" 2>/dev/null || true
        sim=
    fi
    rm -f "$link"
}
trap stop_sim EXIT

now_ms() { date +%s%3N; }

# pulled CASE SIM_OPTIONS (separated by |) RX_LINES: the pull comes 300 ms
# after the sign's log shows RX_LINES frames received.
pulled() {
    local name=$1 rx_lines=$3
    local -a options=()
    IFS='|' read -ra options <<<"$2"
    local dir=$work/$name
    mkdir -p "$dir"
    local started=yes i
    start_sign_sim "$dir/sim.out" "$dir/sim.log" "${options[@]}" || started=no
    sim=$sim_pid
    if [ "$started" = no ]; then
        echo "FAILED $name: sign-sim did not start"
        failures=$((failures + 1))
        stop_sim
        return
    fi
    ln -s "$sim_slave" "$link"
    local audit
    audit=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/radar-configurator/audit.csv' \
        -print -quit 2>/dev/null) || true
    local rows_before=0
    [ -z "$audit" ] || rows_before=$(wc -l <"$audit")
    timeout 60 "$WINE" "$exe" -v read-time COM46 >"$dir/raw.out" 2>"$dir/stderr" &
    local program=$!
    # The frames reach the sign, then the pull, in the middle of the wait.
    for ((i = 0; i < 1000; i++)); do
        [ "$(grep -c ' rx ' "$dir/sim.log" 2>/dev/null)" -lt "$rx_lines" ] || break
        sleep 0.01
    done
    sleep 0.3
    local pulled_at
    kill "$sim"
    wait "$sim" 2>/dev/null || true
    sim=
    rm -f "$link"
    pulled_at=$(now_ms)
    local rc=0
    wait "$program" || rc=$?
    local took=$(($(now_ms) - pulled_at))
    local result
    result=$(tr -d '\r' <"$dir/raw.out" | cut -f2-4)
    [ -n "$audit" ] || audit=$(find "$WINEPREFIX/drive_c/users" \
        -path '*/AppData/Local/radar-configurator/audit.csv' -print -quit 2>/dev/null) || true
    local row=""
    if [ -n "$audit" ] && [ "$(wc -l <"$audit")" -gt "$rows_before" ]; then
        row=$(tail -n1 "$audit" | tr -d '\r' | cut -d, -f2,5,8,10,11)
    fi
    local tries=$rx_lines
    local want_tries="$tries tries"
    [ "$tries" -ne 1 ] || want_tries="1 try"
    local expected=$'read-time\tthe device has gone\t'"$want_tries"
    if [ "$rc" -eq 3 ] && [ "$result" = "$expected" ] && [ "$took" -le "$limit_ms" ] &&
        [ "$row" = "radar-sign,COM46,read-time,$tries,the device has gone" ]; then
        echo "ok     $name: ended $took ms after the pull, status 3, the device has gone, logged"
    else
        echo "FAILED $name: status $rc, $took ms after the pull (at most $limit_ms)"
        echo "    result: $result"
        echo "    audit row: $row"
        sed 's/^/    stderr: /' "$dir/stderr"
        failures=$((failures + 1))
    fi
}

pulled first-wait "--silent" 1
pulled second-wait "--silent" 2

echo "wine_device_gone: $failures cases failed"
[ "$failures" -eq 0 ]
