#!/bin/sh
# The setup program checked for real under Wine: a silent install into a
# fresh Wine prefix (with talvex-cli on the PATH), the installed
# talvex-cli.exe's version and a flash with it against a native zarq-sim,
# then a silent uninstall that must leave nothing in Program Files\TALVEX and
# the user's settings in place.
#
#   tools/installer-check.sh [NATIVE_BUILD [WINDOWS_BUILD]]   (default build, build-windows)
#
# Prints one line per check and "N passed, N failed"; exits non-zero when a
# check failed or the checks could not be run. Needs no display and no
# network; the prefix WINDOWS_BUILD/installer-prefix is made anew each time.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "${1:-$root/build}" && pwd) || exit 2
windows=$(cd "${2:-$root/build-windows}" && pwd) || exit 2
version=$(sed -n 's/^project(talvex VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
setup="$windows/TALVEX-$version-setup.exe"
sim="$native/bin/zarq-sim"
for f in "$setup" "$sim" "$native/bin/sample.hex"; do
    [ -e "$f" ] || { echo "installer-check: $f is missing; run make build and make windows-installer first" >&2; exit 2; }
done
. "$root/tools/wine-env.sh"
wine_tool=installer-check
need_tools wine wineserver wineboot srec_cat timeout setsid
use_prefix "$windows/installer-prefix" talvex-installer

program_files="$WINEPREFIX/drive_c/Program Files/TALVEX"
installed='C:\Program Files\TALVEX'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVEX'
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
sim_pid=""

cleanup() {
    trap - EXIT INT TERM HUP
    [ -n "$sim_pid" ] && end_child "$sim_pid"
    stop_server
    rm -rf "$work" "$WINEPREFIX"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

win() { # name, program, arguments...: runs from the work folder, sets $code
    name=$1
    shift
    code=0
    (cd "$work" && timeout 120 wine "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err") || code=$?
}

reg_value() { # key, value name: the value's data, empty when missing
    timeout 60 wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# --- A fresh prefix, COM1 mapped to zarq-sim's link --------------------------

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
start_server
make_prefix
map_port COM1 "$work/com1"
before_path=$(reg_value "$environment_key" Path)
stop_server
start_server

# --- Install ------------------------------------------------------------------

win install "$setup" /S /ADDTOPATH
problem=""
[ "$code" -eq 0 ] || problem="exit code $code"
window=""
[ -f "$windows/bin/talvex.exe" ] && window=talvex.exe
for f in $window talvex-cli.exe zelchip.ini sample.hex QV_P.html QVC_B.html uninstall.exe; do
    [ -f "$program_files/$f" ] || problem="${problem:-$f is not in Program Files\\TALVEX}"
done
report "silent install (/S) puts the programs, zelchip.ini, sample.hex and the help pages in Program Files\\TALVEX" "$problem"

# A Start-menu entry for the window program, and none without it.
shortcut="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/TALVEX.lnk"
problem=""
if [ -f "$windows/bin/talvex.exe" ]; then
    [ -f "$shortcut" ] || problem="no TALVEX.lnk in the Start menu"
    name="Start-menu shortcut to talvex.exe"
else
    [ ! -e "$shortcut" ] || problem="a shortcut to a program that was not installed"
    name="no Start-menu shortcut without talvex.exe"
fi
report "$name" "$problem"

problem=""
[ "$(reg_value "$uninstall_key" DisplayVersion)" = "$version" ] || problem="DisplayVersion is not $version"
[ -n "$(reg_value "$uninstall_key" Publisher)" ] || problem="${problem:-no Publisher}"
reg_value "$uninstall_key" QuietUninstallString | grep -qF 'uninstall.exe" /S' || problem="${problem:-no QuietUninstallString}"
report "uninstall entry with version $version and publisher" "$problem"

problem=""
after_path=$(reg_value "$environment_key" Path)
[ "$after_path" = "$before_path;$installed" ] || problem="PATH is \"$after_path\""
report "/ADDTOPATH puts the program folder at the end of the PATH" "$problem"

win version "$installed\\talvex-cli.exe" --version
problem=""
[ "$code" -eq 0 ] || problem="exit code $code"
tr -d '\r' <"$work/version.out" | grep -qx "talvex-cli $version" || problem="${problem:-printed \"$(head -n 1 "$work/version.out")\"}"
report "installed talvex-cli.exe --version: talvex-cli $version" "$problem"

# The installed sample.hex through a quoted name with a blank in it; the
# settings file lies in the work folder, so that Program Files stays as the
# installer left it.
"$sim" --link "$work/com1" --timeout 120 --dump "$work/flash.bin" \
    >"$work/sim.out" 2>"$work/sim.err" </dev/null &
sim_pid=$!
i=0
while [ ! -e "$work/com1" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$work/com1" ] || fail_setup "zarq-sim did not start: $(cat "$work/sim.err")"
win flash "$installed\\talvex-cli.exe" check.ini "af=$installed\\sample.hex" ap=ZaRQ4126 cp=COM1 \
    cb=115200 fe=n fp=y fv=y fh=n rr=n
end_child "$sim_pid"
sim_pid=""
flash_problem "$code" "$work/flash.err" "$program_files/sample.hex" "$work/flash.bin" "the installed sample.hex"
report "installed talvex-cli.exe flashes the installed sample.hex: exit 0, flash equals the image" "$problem"

# --- Uninstall ----------------------------------------------------------------

settings="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/talvex"
[ -d "$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming" ] ||
    settings="$WINEPREFIX/drive_c/users/$(id -un)/Application Data/talvex"
mkdir -p "$settings"
printf '[Coms]\r\nPort=COM7\r\n' >"$settings/talvex.ini"

# The uninstaller runs on from a copy of itself in the temporary folder,
# so the end of its first process is not the end of the uninstall.
win uninstall "$installed\\uninstall.exe" /S
i=0
while [ -e "$program_files" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
problem=""
[ "$code" -eq 0 ] || problem="exit code $code"
if [ -e "$program_files" ]; then
    problem="${problem:-Program Files\\TALVEX still holds: $(cd "$program_files" && find . -mindepth 1 | tr '\n' ' ')}"
fi
report "silent uninstall (/S) leaves nothing in Program Files\\TALVEX" "$problem"

problem=""
[ -z "$(reg_value "$uninstall_key" DisplayName)" ] || problem="the uninstall entry is still there"
[ ! -e "$shortcut" ] || problem="${problem:-the Start-menu shortcut is still there}"
[ "$(reg_value "$environment_key" Path)" = "$before_path" ] || problem="${problem:-PATH is \"$(reg_value "$environment_key" Path)\", not as before}"
grep -q 'Port=COM7' "$settings/talvex.ini" 2>/dev/null || problem="${problem:-the user's settings file is gone}"
report "uninstall removes its entry, shortcut and PATH part, and keeps the user's settings" "$problem"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
