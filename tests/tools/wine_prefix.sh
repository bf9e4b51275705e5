#!/usr/bin/env bash
# Makes WINEPREFIX a Wine prefix in which no COM name reaches a device of the
# machine (created when missing), and checks it.
#
# A fresh prefix maps COM1... to the machine's /dev/ttyS* (here the console),
# and Wine's mount manager maps every serial device it finds at every start.
# The mount manager is switched off in the prefix, then every comN link and
# every port value is removed. Wine's automatic update of the prefix (run at a
# start whenever Wine thinks its files changed, which a faked clock makes it
# think) would switch the mount manager on again and map COM1 anew: it is
# disabled. Afterwards only the COM names that a test links to its own
# pseudo-terminal may exist.
#
# usage: wine_prefix.sh          (WINEPREFIX and WINE in the environment)
set -euo pipefail
: "${WINEPREFIX:?}" "${WINE:?}"
wineserver=${WINESERVER:-$(dirname "$WINE")/wineserver}
export WINEDEBUG=${WINEDEBUG:--all}

reg() { "$WINE" reg "$@" >/dev/null 2>&1; }
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot --init >/dev/null 2>&1
    "$wineserver" -w
fi
echo disable >"$WINEPREFIX/.update-timestamp"
reg add 'HKLM\System\CurrentControlSet\Services\MountMgr' /v Start /t REG_DWORD /d 4 /f
"$wineserver" -k 2>/dev/null || true
find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -exec rm -f {} +
reg delete 'HKLM\Software\Wine\Ports' /va /f || true
"$wineserver" -w
stray=$(find "$WINEPREFIX/dosdevices" -maxdepth 1 -iname 'com*' -printf '%f ')
if [ -n "$stray" ]; then
    echo "wine_prefix: COM names left in $WINEPREFIX: $stray" >&2
    exit 1
fi
