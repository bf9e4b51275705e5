#!/usr/bin/env bash
# The configurator's window as a technician uses it, driven from outside with
# clicks and keys (xdotool) on an X display: radar-configurator.exe under Wine
# on COM43 and COM44, mapped to pseudo-terminals whose far ends are native
# sign-sims, and the Linux radar-configurator on the same simulators as the
# baseline. Nothing inside either program is hooked.
#
# On both: the window's client area is 633 x 289; Read Time, Send Time and
# Download are answered, with the same frames on both sides (the PC clock is
# the same fixed time on both, through libfaketime). Under Wine besides: the
# port list holds exactly COM43 and COM44; each command's message box says
# "send sucess" (read with Ctrl+C, which a Windows message box copies to the
# clipboard); Read Time shows the sign's clock in Label24 as the Linux window
# does; LEDINFO.BIN beside the exe is written before a Download's first byte
# and when the window closes, and a second start sends the saved entries; a
# sign that never answers gives "send error" after about three seconds;
# closing the window during a command ends the program without a message box
# and saves the entries; a pulled adapter (the terminal hung up and the COM
# name removed mid-command) gives "send error" within two seconds, logged as
# gone; a COM name linked while the window is open enters the port list
# within 3 s, and leaves it within 3 s of its removal, the chosen port kept.
#
# Prints the start-up and Read Time figures of both sides and of a trivial
# Windows program under Wine (Wine's own start-up cost), each the median of
# three runs, and how long the port list took to follow the COM name.
#
# usage: wine_window.sh NATIVE_BIN_DIR WINDOWS_APP_DIR WORK_DIR
#   NATIVE_BIN_DIR: radar-configurator, sign-sim and radar-sign of Linux
#   WINDOWS_APP_DIR: radar-configurator.exe (the unpacked zip)
# environment: DISPLAY (a virtual one), WINEPREFIX (no COM name mapped but by
# this script: it maps com42, com43 and com44 and removes them again), WINE,
# and RC_HELLO_EXE (optional: a trivial Windows program that shows a window).
set -euo pipefail

native_bin=$1
windows_app=$2
work=$3
: "${WINEPREFIX:?}" "${WINE:?}" "${DISPLAY:?}"
dosdevices=$WINEPREFIX/dosdevices
# The windows go to the display, whatever the Qt tests of the caller chose.
unset QT_QPA_PLATFORM
sign_clock="2026-12-07 14:35:09"
pc_clock="2026-12-08 09:41:27"

if [ -n "$(find "$dosdevices" -maxdepth 1 -iname 'com*' -print -quit)" ]; then
    echo "wine_window: the prefix maps COM names already; they must go first" >&2
    exit 1
fi
faketime_lib=$(find /usr/lib -name libfaketime.so.1 -path '*faketime*' -print -quit)
if [ -z "$faketime_lib" ]; then
    echo "wine_window: libfaketime is missing (Debian: faketime)" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work"
failures=0
declare -A sim_pid=()
app_pid=

now_ms() { echo $(($(date +%s%N) / 1000000)); }
fail() {
    echo "FAILED $*"
    failures=$((failures + 1))
}
pass() { echo "ok     $*"; }

# ---- simulators and ports ------------------------------------------------------

# start_sim NAME OPTIONS...: a simulator whose log is $work/NAME.log; sets
# sim_slave. Replaces a simulator of that name.
start_sim() {
    local name=$1
    shift
    stop_sim "$name"
    rm -f "$work/$name.log" "$work/$name.out"
    "$native_bin/sign-sim" "$@" --log "$work/$name.log" >"$work/$name.out" 2>/dev/null &
    sim_pid[$name]=$!
    local i
    for ((i = 0; i < 100; i++)); do
        sim_slave=$(sed -n '1s/^sign-sim: listening on //p' "$work/$name.out" 2>/dev/null) || true
        [ -z "$sim_slave" ] || return 0
        sleep 0.05
    done
    echo "wine_window: sign-sim did not start" >&2
    exit 1
}
stop_sim() {
    local pid=${sim_pid[$1]:-}
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    unset "sim_pid[$1]"
}
# map SIDE PORT SLAVE: the port name (com43, ttyUSB90) links to the terminal.
declare -A mapped=()
map() {
    local dir=$work/ports
    [ "$1" = windows ] && dir=$dosdevices && mapped[$2]=$3
    mkdir -p "$dir"
    ln -sfn "$3" "$dir/$2"
}
# No COM name but the two of this script, and those only to its simulators:
# checked after every start of the program, which could have mapped more.
check_com() {
    local stray link
    stray=$(find "$dosdevices" -maxdepth 1 -iname 'com*' ! -name com43 ! -name com44 -printf '%f ')
    for link in com43 com44; do
        [ ! -e "$dosdevices/$link" ] || [ "$(readlink "$dosdevices/$link")" = "${mapped[$link]:-}" ] ||
            stray+=" $link"
    done
    if [ -n "$stray" ]; then
        echo "wine_window: unexpected COM links in the prefix: $stray" >&2
        exit 1
    fi
}
cleanup() {
    [ -z "$app_pid" ] || kill "$app_pid" 2>/dev/null || true
    local name
    for name in "${!sim_pid[@]}"; do
        stop_sim "$name"
    done
    rm -f "$dosdevices/com42" "$dosdevices/com43" "$dosdevices/com44"
}
trap cleanup EXIT

# The frames a simulator received and sent, without the times.
frames() { sed -n 's/^ *[0-9.]* \(rx\|tx\) /\1 /p' "$work/$1.log"; }
# Waits until the simulator's log holds N received frames.
wait_rx() {
    local name=$1 n=$2 i
    for ((i = 0; i < 200; i++)); do
        [ "$(grep -c ' rx ' "$work/$name.log" 2>/dev/null)" -ge "$n" ] && return 0
        sleep 0.02
    done
    return 1
}

# ---- the program and its windows -----------------------------------------------

# start_app SIDE: starts the program with the fixed PC clock; sets main_wid
# and start_ms (from the start to the window shown).
start_app() {
    local side=$1 t0
    # The Linux program's per-user folder (the audit log, and a LEDINFO.BIN
    # there that is newer than the one beside it) is the test's own.
    local -a program=(env RC_PORT_DIRECTORY="$work/ports" XDG_DATA_HOME="$work/data-home"
        ./radar-configurator)
    [ "$side" = linux ] || program=("$WINE" ./radar-configurator.exe)
    t0=$(now_ms)
    (cd "$work/$side-app" && exec env LD_PRELOAD="$faketime_lib" FAKETIME="$pc_clock" \
        FAKETIME_DONT_FAKE_MONOTONIC=1 NO_FAKE_STAT=1 "${program[@]}" >"$work/app.out" 2>&1) &
    app_pid=$!
    main_wid=
    local i
    for ((i = 0; i < 3000; i++)); do
        main_wid=$(xdotool search --onlyvisible --name '^Radar Configurator$' 2>/dev/null | head -n1) || true
        [ -z "$main_wid" ] || break
        sleep 0.01
    done
    start_ms=$(($(now_ms) - t0))
    [ -n "$main_wid" ] || { echo "wine_window: no window after 30 s" >&2; exit 1; }
    client_origin
    check_com
}

# The client area on the screen. On Linux without a window manager the X
# window is the client area; under Wine too: Wine leaves the frame and the
# caption to the window manager and maps the client area alone.
client_origin() {
    local geometry
    geometry=$(xwininfo -id "$main_wid")
    client_x=$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$geometry")
    client_y=$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$geometry")
    client_w=$(sed -n 's/.*Width: *//p' <<<"$geometry")
    client_h=$(sed -n 's/.*Height: *//p' <<<"$geometry")
}

click() { # client x, y
    # Not --sync: it waits for the pointer to move, which it does not when
    # it is there already.
    xdotool mousemove $((client_x + $1)) $((client_y + $2)) click 1
}
# set_entry X Y VALUE: a spin edit of the panel (its position in the panel),
# typed over and left with Tab, as a technician does.
set_entry() {
    click $(($1 + 15)) $((32 + $2 + 13))
    xdotool key ctrl+a
    xdotool type --delay 20 "$3"
    xdotool key Tab
}
# pick_port KEY: opens the port list and takes the item that KEY moves to.
pick_port() {
    click 94 12
    sleep 0.3
    xdotool key "$@" Return
    sleep 0.2
}

# Visible windows of the program other than the main one.
other_windows() {
    xdotool search --onlyvisible --classname 'radar-configurator' 2>/dev/null | grep -vx "$main_wid" || true
}
# wait_box SECONDS: sets box_wid to the message box once it shows.
wait_box() {
    local deadline=$(($(now_ms) + $1 * 1000))
    box_wid=
    while [ "$(now_ms)" -lt "$deadline" ]; do
        box_wid=$(other_windows | head -n1)
        [ -z "$box_wid" ] || return 0
        sleep 0.01
    done
    return 1
}
# The text of the message box (Windows copies it with Ctrl+C), then OK.
box_text() {
    xdotool windowfocus --sync "$box_wid" 2>/dev/null || true
    printf '' | xclip -selection clipboard
    xdotool key ctrl+c
    sleep 0.3
    # The title, the text and the buttons between dashed lines: the text.
    xclip -o -selection clipboard 2>/dev/null | tr -d '\r' | sed -n '4p'
}
close_box() {
    xdotool windowfocus --sync "$box_wid" 2>/dev/null || true
    xdotool key Return
    local i
    for ((i = 0; i < 200; i++)); do
        [ -n "$(other_windows)" ] || return 0
        sleep 0.02
    done
    return 1
}
# command SIDE X Y: presses the command button at X, Y and waits for its
# message box; sets outcome ("send sucess"/"send error" under Wine, "box" on
# Linux, where the box's text cannot be read from outside) and command_ms.
command() {
    local side=$1 t0
    t0=$(now_ms)
    click "$2" "$3"
    if ! wait_box 10; then
        outcome="no message box"
        return
    fi
    command_ms=$(($(now_ms) - t0))
    if [ "$side" = windows ]; then
        outcome=$(box_text)
    else
        outcome=box
    fi
    close_box || true
}
shot() { # FILE: the window as it is on the screen
    xwd -silent -id "$main_wid" | xwdtopnm 2>/dev/null | pnmtopng >"$1"
}
# Label24's place (its text at 488, 4 and beyond) in black and white: the
# glyphs, without the shades of the background, which differ between the
# two systems' colours.
label24() {
    xwd -silent -id "$main_wid" | xwdtopnm 2>/dev/null |
        pamcut -left 488 -top 4 -width 140 -height 16 | ppmtopgm |
        pamthreshold -simple -threshold=0.5 2>/dev/null
}
# close_app SECONDS: ends the program the way a technician does, with the
# window's close command (Alt+F4, which Wine turns into the close command of
# the window's system menu). Fails, and kills it, when the process has not
# ended after SECONDS; sets close_ms, and saw_box when a message box showed
# meanwhile.
close_app() {
    xdotool windowfocus --sync "$main_wid" 2>/dev/null || true
    local t0 i
    t0=$(now_ms)
    saw_box=
    xdotool key alt+F4
    for ((i = 0; i < $1 * 100; i++)); do
        [ -z "$(other_windows)" ] || saw_box=yes
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.01
    done
    close_ms=$(($(now_ms) - t0))
    if kill -0 "$app_pid" 2>/dev/null; then
        kill_app
        return 1
    fi
    wait "$app_pid" 2>/dev/null || true
    app_pid=
}
kill_app() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=
}

# The entries set before Download, as the sign then logs them.
set_entries() {
    set_entry 76 40 7   # SpinEdit1: morning from 07
    set_entry 148 40 25 # SpinEdit2: :25
    set_entry 512 40 30 # SpinEdit5: morning speed 30
    set_entry 146 177 45 # SpinEdit11: regular speed 45
}

# Whether LEDINFO.BIN beside the exe holds VALUE among its 13 numbers.
saved_holds() { od -An -tu4 -w52 "$work/windows-app/LEDINFO.BIN" | grep -qw "$1"; }

median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# ---- one side: Read Time, Send Time, Download ------------------------------------

# session SIDE PORT_A PORT_B: both simulators answer; A runs Read Time and
# Download, B Read Time and Send Time. The frames go to $work/SIDE.frames.
session() {
    local side=$1 a=$2 b=$3
    # The program alone in a folder of its own, where it keeps LEDINFO.BIN.
    rm -rf "$work/$side-app"
    mkdir -p "$work/$side-app"
    if [ "$side" = windows ]; then
        cp "$windows_app/radar-configurator.exe" "$work/$side-app/"
    else
        cp "$native_bin/radar-configurator" "$work/$side-app/"
    fi
    start_sim a --clock "$sign_clock"
    map "$side" "$a" "$sim_slave"
    start_sim b --clock "2027-03-01 06:05:00"
    map "$side" "$b" "$sim_slave"
    start_app "$side"
    if [ "$client_w" = 633 ] && [ "$client_h" = 289 ]; then
        pass "$side: the window shows, client area 633 x 289 ($start_ms ms after the start)"
    else
        fail "$side: the client area is $client_w x $client_h"
    fi
    eval "${side}_start=$start_ms"

    if [ "$side" = windows ]; then
        # Exactly the two mapped ports: the first is COM43, the last COM44,
        # and one up from the last is the first again.
        pick_port Home
        command "$side" 432 12
        [ "$outcome" = "send sucess" ] && wait_rx a 1 ||
            fail "$side: Read Time on the first port of the list ($outcome)"
        pick_port End
        command "$side" 432 12
        [ "$outcome" = "send sucess" ] && wait_rx b 1 ||
            fail "$side: Read Time on the last port of the list ($outcome)"
        pick_port End Up
        [ "$(grep -c ' rx ' "$work/a.log")" = 1 ] || fail "$side: more than one command reached A"
        command "$side" 432 12
        if [ "$outcome" = "send sucess" ] && wait_rx a 2; then
            pass "$side: the port list is COM43, COM44"
        else
            fail "$side: the port list is not exactly COM43, COM44 ($outcome)"
        fi
    else
        pick_port Home
        command "$side" 432 12
        pick_port End
        command "$side" 432 12
        pick_port End Up
        command "$side" 432 12
    fi
    # The screen after Read Time on A: Label24 shows A's clock.
    shot "$work/$side-read-time.png"
    label24 >"$work/$side-label24.pam"

    pick_port End
    command "$side" 312 12 # Send Time, Button2
    [ "$side" = linux ] || [ "$outcome" = "send sucess" ] || fail "$side: Send Time ($outcome)"

    pick_port Home
    set_entries
    command "$side" 301 259 # Download, Button1 at 264, 215 in the panel
    [ "$side" = linux ] || [ "$outcome" = "send sucess" ] || fail "$side: Download ($outcome)"

    # Three more Read Times for the figures.
    local times=() i
    for i in 1 2 3; do
        command "$side" 432 12
        times+=("$command_ms")
    done
    echo "$side: Read Time took ${times[*]} ms" >&2
    eval "${side}_readtime=$(median "${times[@]}")"

    { echo "-- a"; frames a; echo "-- b"; frames b; } >"$work/$side.frames"
    grep -h 'table:\|clock set:' "$work/a.log" "$work/b.log" >"$work/$side.decoded" || true
    if [ "$side" = windows ]; then
        if close_app 10; then
            idle_close_ms=$close_ms
        else
            fail "$side: the program did not end on closing"
        fi
    else
        kill_app
    fi
}

session linux ttyUSB90 ttyUSB91
session windows com43 com44

if diff -u "$work/linux.frames" "$work/windows.frames" >"$work/frames.diff"; then
    pass "the frames of Read Time, Send Time and Download: byte for byte those of the Linux window"
else
    fail "the frames differ between the Linux window and Wine:"
    sed 's/^/    /' "$work/frames.diff"
fi
expected_frames="-- a
rx F7 8C 8D 8A 03 7F (read time)
tx F7 8C 8D 8A 83 26 12 07 14 35 09 E4
rx F7 8C 8D 8A 03 7F (read time)
tx F7 8C 8D 8A 83 26 12 07 14 35 09 E4"
if [ "$(head -n5 "$work/windows.frames")" = "$expected_frames" ]; then
    pass "Read Time: the request and the sign's clock"
else
    fail "Read Time frames: $(head -n5 "$work/windows.frames")"
fi
if grep -q "clock set: ${pc_clock}" "$work/windows.decoded"; then
    pass "Send Time: the sign set to the PC's clock ($pc_clock)"
else
    fail "Send Time did not set the PC's clock: $(cat "$work/windows.decoded")"
fi
if grep -q 'table: morning 07:25-' "$work/windows.decoded" && grep -q 'at 30,' "$work/windows.decoded" &&
    grep -q 'regular 45,' "$work/windows.decoded"; then
    pass "Download: the entries typed into the window"
else
    fail "Download did not carry the typed entries: $(cat "$work/windows.decoded")"
fi
ink=$(pamtopnm <"$work/windows-label24.pam" | pnmnoraw | tail -n +3 | tr -cd 1 | wc -c)
if [ "$ink" -gt 100 ] && cmp -s "$work/linux-label24.pam" "$work/windows-label24.pam"; then
    pass "Label24 shows the sign's clock as the Linux window does"
else
    fail "Label24 under Wine differs from the Linux window's (see $work/*-read-time.png)"
fi

# ---- under Wine: the settings file, a silent sign, closing mid-command ----------

# The entries were saved when the window closed: a second start sends them.
start_sim a --clock "$sign_clock"
map windows com43 "$sim_slave"
start_sim b --silent
map windows com44 "$sim_slave"
start_app windows
pick_port Home
command windows 301 259
if [ "$outcome" = "send sucess" ] && grep -q 'table: morning 07:25-.* at 30,.*regular 45,' "$work/a.log"; then
    pass "a second start shows the saved entries (its Download sends them)"
else
    fail "a second start: $outcome; $(grep table: "$work/a.log")"
fi

# LEDINFO.BIN is written before the first byte of a Download: changed
# entries, the silent sign, and the file read when the sign gets the frame.
set_entry 146 177 55
pick_port End
t0=$(now_ms)
click 301 259
if wait_rx b 1 && saved_holds 55; then
    pass "LEDINFO.BIN holds the entries when the sign gets the Download's first frame"
else
    fail "LEDINFO.BIN was not written before the Download's first byte"
fi
if wait_box 10; then
    silent_ms=$(($(now_ms) - t0))
    outcome=$(box_text)
    close_box || true
    if [ "$outcome" = "send error" ] && [ "$silent_ms" -ge 2900 ] && [ "$silent_ms" -le 4500 ] &&
        [ "$(grep -c ' rx ' "$work/b.log")" = 3 ]; then
        pass "a silent sign: three frames, \"send error\" after $silent_ms ms"
    else
        fail "a silent sign: \"$outcome\" after $silent_ms ms, $(grep -c ' rx ' "$work/b.log") frames"
    fi
else
    fail "a silent sign: no message box"
fi

# Closing the window during a command: the program ends, no message box, the
# entries saved.
set_entry 146 177 65
click 432 12 # Read Time on the silent sign
wait_rx b 4 || true
if ! close_app 5; then
    fail "closing during a command: the program still runs after 5 s"
else
    if [ -z "$saw_box" ] && saved_holds 65; then
        pass "closing during a command: ended after $close_ms ms (an idle window: ${idle_close_ms:-?} ms)," \
            "no message box, entries saved"
    else
        fail "closing during a command: message box: ${saw_box:-no}; $(od -An -tu4 -w52 "$work/windows-app/LEDINFO.BIN")"
    fi
fi

# ---- the audit log -------------------------------------------------------------
# Every command of the Windows window, in %LOCALAPPDATA%\radar-configurator:
# whole CSV rows after the header, the silent sign's Download as "no answer"
# after 3 tries, the command cut short by closing the window last.
audit=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/radar-configurator/audit.csv' \
    -print -quit 2>/dev/null)
header='time,program,user,computer,port,adapter,adapter serial,command,request,tries,outcome,sign clock,offset s'
if [ -z "$audit" ]; then
    fail "the audit log: no audit.csv in the prefix's per-user data folder"
elif [ "$(head -n1 "$audit" | tr -d '\r')" != "$header" ] ||
    tr -d '\r' <"$audit" | tail -n +2 | awk -F, 'NF != 13 || $2 != "radar-configurator" { bad = 1 } END { exit !bad }' ||
    ! tr -d '\r' <"$audit" | grep -q ',COM44,,,download,.*,3,no answer,,$' ||
    [ "$(tail -n1 "$audit" | tr -d '\r' | cut -d, -f11)" != "cancelled: the window was closed" ] ||
    ! tr -d '\r' <"$audit" | grep -q ',COM43,,,read-time,F7 8C 8D 8A 03 7F,1,ok,2026-12-07T14:35:09,'; then
    fail "the audit log: $(tr -d '\r' <"$audit")"
else
    pass "the audit log: one row per command ($(($(wc -l <"$audit") - 1))), the outcomes as shown"
fi

# ---- under Wine: a pulled adapter -------------------------------------------------
# Read Time on a silent sign whose pseudo-terminal hangs up and whose COM44
# link goes 0.7 s into the command, as a pulled adapter takes its device and
# its name: "send error" within two seconds of the pull, a row in the audit
# log that says the device has gone, and a window that still closes.
start_sim b --silent
map windows com44 "$sim_slave"
start_app windows
pick_port End
click 432 12
if ! wait_rx b 1; then
    fail "a pulled adapter: the sign got no frame"
else
    sleep 0.7
    stop_sim b
    rm -f "$dosdevices/com44"
    unset "mapped[com44]"
    pulled_at=$(now_ms)
    if wait_box 10; then
        pulled_ms=$(($(now_ms) - pulled_at))
        outcome=$(box_text)
        close_box || true
        # Written by the log's own thread: soon, not at once.
        for ((i = 0; i < 100; i++)); do
            last_row=$(tail -n1 "${audit:-/dev/null}" | tr -d '\r' | cut -d, -f5,8,11)
            [ "$last_row" != "COM44,read-time,the device has gone" ] || break
            sleep 0.02
        done
        if [ "$outcome" = "send error" ] && [ "$pulled_ms" -le 2000 ] &&
            [ "$last_row" = "COM44,read-time,the device has gone" ]; then
            pass "a pulled adapter: \"send error\" $pulled_ms ms after the pull, logged as gone"
        else
            fail "a pulled adapter: \"$outcome\" $pulled_ms ms after the pull; audit row: $last_row"
        fi
    else
        fail "a pulled adapter: no message box 10 s after the pull"
    fi
fi
if ! close_app 5; then
    fail "a pulled adapter: the window did not close afterwards"
fi

# ---- under Wine: the port list follows the COM names -------------------------------
# No driver announces a link made in dosdevices, as some virtual-port drivers
# announce nothing: the watcher's poll of the port names must find it. COM42
# (a third sign, before the chosen COM44 in the list) is linked while the
# window is open, then removed: the list grows by one entry and shrinks again,
# each within 3 s, COM44 stays chosen (Read Time reaches B) and the new entry
# is COM42 (Read Time on it reaches C). The list is measured by the height of
# its drop-down, opened and closed with Escape, which chooses nothing.

# list_height: prints the drop-down's height and when it showed (the list
# as it was then).
list_height() {
    click 94 12
    local popup= i shown=
    for ((i = 0; i < 100; i++)); do
        popup=$(other_windows | head -n1)
        shown=$(now_ms)
        [ -z "$popup" ] || break
        sleep 0.01
    done
    [ -z "$popup" ] || echo "$(xwininfo -id "$popup" | sed -n 's/.*Height: *//p') $shown"
    xdotool key Escape
    for ((i = 0; i < 100; i++)); do
        [ -n "$(other_windows)" ] || return 0
        sleep 0.01
    done
}
# wait_list TEST: opens the drop-down until its height passes [ height TEST ],
# 10 s at most; sets height, and list_ms: from the call to the showing of the
# drop-down that passed (-1: none did).
wait_list() {
    local t0 deadline shown=
    t0=$(now_ms)
    deadline=$((t0 + 10000))
    list_ms=-1
    while [ "$(now_ms)" -lt "$deadline" ]; do
        read -r height shown <<<"$(list_height)" || true
        if [ -n "$height" ] && [ "$height" "$@" ]; then
            list_ms=$((shown - t0))
            return 0
        fi
    done
    return 1
}
start_sim a --clock "$sign_clock"
map windows com43 "$sim_slave"
start_sim b --clock "$sign_clock"
map windows com44 "$sim_slave"
start_sim c --clock "$sign_clock"
c_slave=$sim_slave
start_app windows
pick_port End
read -r two _ <<<"$(list_height)" || true
[ -n "$two" ] || { fail "the port list's drop-down did not open"; two=-1; }
map windows com42 "$c_slave"
wait_list -gt "$two" && three=$height || three=
listed_ms=$list_ms
command windows 432 12
if [ -n "$three" ] && [ "$list_ms" -le 3000 ] && wait_rx b 1; then
    pick_port Home
    command windows 432 12
    if wait_rx c 1; then
        pass "a COM name linked while the window is open: listed after $list_ms ms, the choice kept"
    else
        fail "a COM name linked while the window is open: its entry is not COM42 ($outcome)"
    fi
else
    fail "a COM name linked while the window is open: listed after $list_ms ms" \
        "(the list ${two:-?} -> ${height:-?} pixels high), Read Time on the chosen port: $outcome"
fi
pick_port End
rm -f "$dosdevices/com42"
unset "mapped[com42]"
wait_list = "$two" || true
unlisted_ms=$list_ms
command windows 432 12
if [ -n "$three" ] && [ "$list_ms" -ge 0 ] && [ "$list_ms" -le 3000 ] && wait_rx b 2; then
    pass "the COM name removed: gone from the list after $list_ms ms, the choice kept"
else
    fail "the COM name removed: gone after $list_ms ms (the list ${height:-?} pixels high," \
        "${three:-never grown} with it), Read Time on the chosen port: $outcome"
fi
close_app 5 || fail "the port list that followed: the window did not close"
stop_sim c

# ---- figures ---------------------------------------------------------------------
starts_w=("$windows_start")
starts_l=("$linux_start")
starts_h=()
for i in 1 2; do
    start_app windows
    starts_w+=("$start_ms")
    kill_app
    start_app linux
    starts_l+=("$start_ms")
    kill_app
done
if [ -n "${RC_HELLO_EXE:-}" ]; then
    for i in 1 2 3; do
        t0=$(now_ms)
        "$WINE" "$RC_HELLO_EXE" >/dev/null 2>&1 &
        hello=$!
        for ((j = 0; j < 3000; j++)); do
            [ -z "$(xdotool search --onlyvisible --name '^hello$' 2>/dev/null)" ] || break
            sleep 0.01
        done
        starts_h+=($(($(now_ms) - t0)))
        kill "$hello" 2>/dev/null || true
        wait "$hello" 2>/dev/null || true
    done
fi
echo "figures: start to window shown (median of 3): under Wine $(median "${starts_w[@]}") ms," \
    "Linux $(median "${starts_l[@]}") ms${starts_h:+, a trivial Windows program under Wine $(median "${starts_h[@]}") ms}"
echo "figures: Read Time click to message box (median of 3): under Wine ${windows_readtime} ms," \
    "Linux ${linux_readtime} ms"

echo "figures: the port list under Wine after a COM link came: $listed_ms ms, went:" \
    "$unlisted_ms ms (-1: never)"
echo "wine_window: $failures checks failed"
[ "$failures" -eq 0 ]
