#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows installer as a user meets it, under Wine (scripts/check-windows
# gives the prefix, the X server and a resident wineserver): a silent
# per-user install puts the program, the controller library and its
# guardian, the examples and the uninstaller under the user's local
# programs folder, a Start-menu entry and the .kvr file type; the installed
# kavrik.exe starts with a list named and shows its window, with no word of
# a missing library; the installed library and guardian drive the simulated
# ROBO TX and stop it when the program is ended from outside (the Windows
# link test, run from the installed folder); the uninstaller takes all of
# it away again but a list of the user's own.
# ctest passes the installer in KAVRIK_INSTALLER, xdotool in KAVRIK_XDOTOOL
# and the link test in KAVRIK_LINK_TEST.
set -euo pipefail
: "${KAVRIK_INSTALLER:?}" "${KAVRIK_XDOTOOL:?}" "${KAVRIK_LINK_TEST:?}" "${WINEPREFIX:?}" "${DISPLAY:?}"
wine=/usr/lib/wine/wine64
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
winvar() {
    "$wine" cmd /c echo "%$1%" 2>/dev/null | tr -d '\r'
}
unixpath() {
    winepath -u "$1" 2>/dev/null
}
regvalue() {
    "$wine" reg query "$1" /ve 2>/dev/null | LC_ALL=C tr -d "\r" | LC_ALL=C sed -n "s/.*REG_SZ[[:space:]]*//p"
}
# Waits up to $1 seconds for a command to succeed.
within() {
    local seconds=$1
    shift
    local i
    for i in $(seq $((seconds * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

programs=$(unixpath "$(winvar LOCALAPPDATA)\\Programs\\Kavrik")
startmenu=$(unixpath "$(winvar APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs")
rm -rf "$programs"

"$wine" "$(winepath -w "$KAVRIK_INSTALLER")" /S
installed="kavrik.exe ftMscLib.dll ftmsclib-guardian.exe kavrik.ico LICENSE.txt examples/vehicle.kvr examples/crane.kvr"
for f in $installed uninstall.exe; do
    [ -f "$programs/$f" ] || fail "not installed: $f"
done
[ -f "$startmenu/Kavrik.lnk" ] || fail "no Start-menu entry"
[ "$(regvalue 'HKCU\Software\Classes\.kvr')" = Kavrik.List ] || fail ".kvr is not Kavrik's list type"
command=$(regvalue 'HKCU\Software\Classes\Kavrik.List\shell\open\command')
case $command in
    *'\Programs\Kavrik\kavrik.exe" "%1"') ;;
    *) fail "the list type opens with: $command" ;;
esac

# Started as a double click on a list would start it: the window, and no
# box (the library is there).
"$wine" "$(winepath -w "$programs/kavrik.exe")" "$(winepath -w "$programs/examples/vehicle.kvr")" \
    >/dev/null 2>&1 &
program=$!
within 30 "$KAVRIK_XDOTOOL" search --name '^Kavrik' >/dev/null || fail "no main window"
"$KAVRIK_XDOTOOL" search --name '^Ошибка$' >/dev/null && fail "a box at the start"
"$wine" taskkill /IM kavrik.exe /F >/dev/null 2>&1 || true
wait "$program" 2>/dev/null || true

# The installed library and guardian at work: the link test beside them
# finds them first, drives the simulator and is ended from outside.
cp "$KAVRIK_LINK_TEST" "$programs/"
"$wine" "$(winepath -w "$programs/$(basename "$KAVRIK_LINK_TEST")")" "endedProgramStops:ROBO TX, End task" \
    >/dev/null 2>&1 || fail "the installed library did not stop the simulated controller"
rm -f "$programs/$(basename "$KAVRIK_LINK_TEST")"

echo "W|87|0|0|512|1" > "$programs/examples/mine.kvr"
"$wine" "$(winepath -w "$programs/uninstall.exe")" /S
# The uninstaller runs on from a copy of itself: its work is awaited.
within 30 test ! -e "$programs/uninstall.exe" || fail "the uninstaller left itself"
for f in $installed; do
    [ ! -e "$programs/$f" ] || fail "left installed: $f"
done
[ -f "$programs/examples/mine.kvr" ] || fail "the user's own list was removed"
[ ! -e "$startmenu/Kavrik.lnk" ] || fail "the Start-menu entry stayed"
[ -z "$(regvalue 'HKCU\Software\Classes\.kvr')" ] || fail "the .kvr type stayed"
[ -z "$(regvalue 'HKCU\Software\Classes\Kavrik.List')" ] || fail "the list type stayed"
"$wine" reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavrik' >/dev/null 2>&1 &&
    fail "the uninstall entry stayed"
rm -rf "$programs"

[ "$failures" -eq 0 ] && echo "installer: all checks passed"
exit "$failures"
