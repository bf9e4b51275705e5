# What the Wine scripts of radar-sign share (sourced, not run). Sourced with
# the script's arguments, NATIVE_BIN_DIR RADAR_SIGN_EXE WORK_DIR: sets
# native_bin (the folder of the native programs), exe and work from them, and
# dosdevices, the prefix's device links; WINEPREFIX and WINE must be set.
# Then: the check that the prefix maps no COM name yet, and starting a native
# sign-sim.
if [ $# -ne 3 ]; then
    echo "usage: ${0##*/} NATIVE_BIN_DIR RADAR_SIGN_EXE WORK_DIR" >&2
    exit 2
fi
native_bin=$1
exe=$2
work=$3
: "${WINEPREFIX:?}" "${WINE:?}"
dosdevices=$WINEPREFIX/dosdevices

# require_no_com_names SCRIPT: exits with a message naming SCRIPT when the
# prefix maps a COM name already (only the script's own may exist while it
# runs).
require_no_com_names() {
    if [ -n "$(find "$dosdevices" -maxdepth 1 -iname 'com*' -print -quit)" ]; then
        echo "$1: the prefix maps COM names already; they must go first" >&2
        exit 1
    fi
}

# start_sign_sim OUT LOG [OPTIONS...]: starts the native sign-sim in the
# background with OPTIONS, its stdout to OUT and its log to LOG; sets sim_pid,
# and sim_slave to its pseudo-terminal once it has said which (within 5 s).
# Returns 1, sim_slave empty, when it did not. Not in a subshell: the caller
# needs sim_pid.
start_sign_sim() {
    local out=$1 log=$2
    shift 2
    "$native_bin/sign-sim" "$@" --log "$log" >"$out" 2>/dev/null &
    sim_pid=$!
    sim_slave=
    local i
    for ((i = 0; i < 100; i++)); do
        # Not there yet while the simulator starts.
        sim_slave=$(sed -n '1s/^sign-sim: listening on //p' "$out" 2>/dev/null) || true
        [ -z "$sim_slave" ] || return 0
        sleep 0.05
    done
    return 1
}
