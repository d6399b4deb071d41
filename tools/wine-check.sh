#!/bin/sh
# The Windows build checked for real: talvex-cli.exe (and the Win32 serial
# checks) run under Wine against a native zarq-sim, with COM1 and COM2 mapped
# to zarq-sim's pseudo-terminals through Wine's registry. Then the window
# program talvex.exe, unattended and driven by a test program, on an X
# display: the script runs itself under xvfb-run when it has none, and puts
# screenshots of the window into WINDOWS_BUILD/screenshots.
#
#   tools/wine-check.sh [NATIVE_BUILD [WINDOWS_BUILD]]   (default build, build-windows)
#
# Prints one line per check and "N passed, N failed"; exits non-zero when a
# check failed or the checks could not be run. Needs no terminal and no network; the Wine prefix lives in WINDOWS_BUILD/wine-prefix and is
# created on first use.
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
native=$(cd "${1:-$root/build}" && pwd) || exit 2
windows=$(cd "${2:-$root/build-windows}" && pwd) || exit 2
sim="$native/bin/zarq-sim"
exe="$windows/bin/talvex-cli.exe"
checker="$windows/tests/talvex-win32-serial-check.exe"
window_exe="$windows/bin/talvex.exe"
driver="$windows/tests/talvex-win32-window-check.exe"
for f in "$sim" "$exe" "$checker" "$window_exe" "$driver" "$windows/bin/zelchip.ini" "$native/bin/sample.hex"; do
    [ -e "$f" ] || { echo "wine-check: $f is missing; run make build and make windows first" >&2; exit 2; }
done
. "$root/tools/wine-env.sh"
wine_tool=wine-check
need_tools wine wineserver wineboot srec_cat timeout setsid script

# The window needs an X display; a virtual one unless one is given.
if [ -z "${DISPLAY:-}" ] && [ -z "${TALVEX_WINE_XVFB:-}" ]; then
    need_tools xvfb-run
    TALVEX_WINE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$native" "$windows"
fi
window_display=${DISPLAY:-}

use_prefix "$windows/wine-prefix" talvex-wine

com1="$work/com1"
com2="$work/com2"
# A line that takes bytes only at 300 baud, for a write that must back up.
com3="$work/com3"
sim_pid=""
slow_pid=""

stop_sim() {
    if [ -n "$sim_pid" ]; then
        end_child "$sim_pid" # zarq-sim writes its dump and log, then ends
        sim_pid=""
    fi
}

cleanup() {
    trap - EXIT INT TERM HUP
    stop_sim
    if [ -n "$slow_pid" ]; then
        end_child "$slow_pid"
    fi
    stop_server
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Starts zarq-sim on the given link with further options and waits for it.
start_sim() { # link, name, options...
    link=$1
    name=$2
    shift 2
    "$sim" --link "$link" --timeout 120 --log "$work/$name.jsonl" "$@" \
        >"$work/$name.sim.out" 2>"$work/$name.sim.err" </dev/null &
    sim_pid=$!
    i=0
    while [ ! -e "$link" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
    [ -e "$link" ] || fail_setup "zarq-sim did not start: $(cat "$work/$name.sim.err")"
}

# Runs talvex-cli.exe unattended from the work folder; sets $code.
run_cli() { # name, arguments...
    name=$1
    shift
    code=0
    (cd "$work" && timeout 60 wine "$exe" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err") || code=$?
}

frames_in() { # log: number of frames zarq-sim received
    grep -c '"event":"frame"' "$1" 2>/dev/null || true
}

# --- Prefix and port mapping ------------------------------------------------

mkdir -p "$WINEPREFIX"
stop_server # a server left over from a run that was killed hard
start_server
[ -f "$WINEPREFIX/system.reg" ] || echo "Creating the Wine prefix $WINEPREFIX (first use) ..."
make_prefix
map_port COM1 "$com1"
map_port COM2 "$com2"
map_port COM3 "$com3"
# Without a window manager on the virtual display Wine draws the windows'
# frames itself, so that the screenshots show the title bar.
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
    >>"$work/reg.log" 2>&1 </dev/null || fail_setup "cannot set Wine's window frames"
stop_server
start_server
cp "$native/bin/sample.hex" "$work/sample.hex"
# The image as the flash must hold it, for every download below.
srec_cat "$work/sample.hex" -intel -o "$work/image.bin" -binary 2>"$work/srec.log" ||
    fail_setup "srec_cat failed: $(cat "$work/srec.log")"
size=$(wc -c <"$work/image.bin")

# --- Checks -------------------------------------------------------------------

# The usage text speaks of Windows port names.
run_cli help --help
problem=""
[ "$code" -eq 0 ] || problem="exit code $code"
grep -q 'cp=PORT   serial port: COM1, COM2, \.\.\.' "$work/help.out" || problem="${problem:-no COM port line in the usage text}"
! grep -q '/dev/' "$work/help.out" || problem="${problem:-the usage text names a /dev path}"
report "--help names COM ports, no device paths" "$problem"

# A full download, then the target's flash compared with the image.
start_sim "$com1" full --dump "$work/flash.bin"
run_cli full check.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
stop_sim
problem=""
if [ "$code" -ne 0 ]; then
    problem="exit code $code: $(tail -n 1 "$work/full.err")"
else
    cmp -s -n "$size" "$work/image.bin" "$work/flash.bin" || problem="the flash differs from sample.hex"
fi
report "full download of sample.hex at 115200 baud: exit 0, flash equals the image${size:+ ($size bytes)}" "$problem"

# No such port.
run_cli absent check.ini af=sample.hex cp=COM77 cb=115200
problem=""
[ "$code" -eq 4 ] || problem="exit code $code, not 4"
grep -q "Can not open COM port." "$work/absent.out" "$work/absent.err" || problem="${problem:-no \"Can not open COM port.\"}"
report "absent port COM77: exit 4" "$problem"
cli_absent=$code

# The board carries another part than the one asked for.
start_sim "$com1" part --part ZaRQ4127
run_cli part check.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y
stop_sim
problem=""
[ "$code" -eq 6 ] || problem="exit code $code, not 6"
[ "$(frames_in "$work/part.jsonl")" -eq 0 ] || problem="${problem:-frames were sent to the wrong part}"
report "wrong part (ZaRQ4127 on the board, ap=ZaRQ4126): exit 6, no frame sent" "$problem"
cli_part=$code

# A damaged image: the checksum of its third line broken (line ends made
# plain first, so that only the checksum changes).
awk '{ sub(/\r$/, "") } NR == 3 { c = substr($0, length($0) - 1); $0 = substr($0, 1, length($0) - 2) (c == "00" ? "01" : "00") } { print }' \
    "$work/sample.hex" >"$work/damaged.hex"
start_sim "$com1" damaged
run_cli damaged check.ini af=damaged.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y
stop_sim
problem=""
[ "$code" -eq 2 ] || problem="exit code $code, not 2"
grep -q "Bad checksum in line 3 of damaged.hex" "$work/damaged.out" "$work/damaged.err" || problem="${problem:-no message naming line 3}"
[ "$(frames_in "$work/damaged.jsonl")" -eq 0 ] || problem="${problem:-frames reached the target}"
report "damaged image (bad checksum in line 3): exit 2, no frame sent" "$problem"

# The target refuses the first write.
start_sim "$com1" refused --nak W@1
run_cli refused check.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y
stop_sim
problem=""
[ "$code" -eq 7 ] || problem="exit code $code, not 7"
tries=$(grep -c '"letter":"W"' "$work/refused.jsonl" 2>/dev/null || true)
[ "$tries" -eq 10 ] || problem="${problem:-the refused write was tried $tries times, not 10}"
report "refused write (zarq-sim --nak W@1): exit 7 after 10 tries" "$problem"
cli_refused=$code

# The serial backend itself: time-outs, the 0 byte, the stop flag.
start_sim "$com2" serial --erase-ms 3000
# zarq-sim takes a paced line's bytes only as fast as the line carries them:
# at 300 baud a long write backs up at once.
"$sim" --link "$com3" --timeout 120 --baud 300 --never-announce \
    >"$work/slow.sim.out" 2>"$work/slow.sim.err" </dev/null &
slow_pid=$!
i=0
while [ ! -e "$com3" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$com3" ] || fail_setup "zarq-sim did not start: $(cat "$work/slow.sim.err")"
(cd "$work" && timeout 60 wine "$checker" COM2 "ZaRQ4126 BOOT rJ.2" COM3 </dev/null \
    >"$work/serial.out" 2>"$work/serial.err")
code=$?
stop_sim
if ! tally_file "$work/serial.out" && [ "$code" -ne 0 ]; then
    report "Win32 serial checks" "ended with $code: $(tail -n 1 "$work/serial.err")"
fi

# --- The window program ------------------------------------------------------

# The server again, now with the display, so that Wine's desktop process
# that the first window starts has one.
stop_server
export DISPLAY="$window_display"
start_server
shots="$windows/screenshots"
mkdir -p "$shots"
rm -f "$shots"/window-*.png "$shots"/sheet-*.png
win_shots=$(cd "$work" && timeout 60 wine winepath -w "$shots" 2>/dev/null </dev/null | tr -d '\r')
win_exe=$(cd "$work" && timeout 60 wine winepath -w "$window_exe" 2>/dev/null </dev/null | tr -d '\r')
[ -n "$win_shots" ] && [ -n "$win_exe" ] || fail_setup "winepath gave no Windows path"

# Runs talvex.exe unattended from the work folder; sets $code.
run_window() { # name, arguments...
    name=$1
    shift
    code=0
    (cd "$work" && timeout 120 wine "$window_exe" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err") || code=$?
}

start_sim "$com1" wfull --dump "$work/wflash.bin"
run_window wfull window.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n aa=y
stop_sim
problem=""
if [ "$code" -ne 0 ]; then
    problem="exit code $code: $(tail -n 1 "$work/wfull.err")"
else
    cmp -s -n "$size" "$work/image.bin" "$work/wflash.bin" || problem="the flash differs from sample.hex"
fi
report "talvex.exe aa=y: exit 0, flash equals the image ($size bytes)" "$problem"

start_sim "$com1" wrefused --nak W@1
run_window wrefused window.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y aa=y
stop_sim
problem=""
[ "$code" -eq 7 ] || problem="exit code $code, not 7"
[ "$code" -eq "$cli_refused" ] || problem="${problem:-exit code $code, talvex-cli.exe gave $cli_refused}"
report "talvex.exe aa=y, refused write: exit 7 as talvex-cli.exe" "$problem"

start_sim "$com1" wpart --part ZaRQ4127
run_window wpart window.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y aa=y
stop_sim
problem=""
[ "$code" -eq 6 ] || problem="exit code $code, not 6"
[ "$code" -eq "$cli_part" ] || problem="${problem:-exit code $code, talvex-cli.exe gave $cli_part}"
[ "$(frames_in "$work/wpart.jsonl")" -eq 0 ] || problem="${problem:-frames were sent to the wrong part}"
report "talvex.exe aa=y, wrong part: exit 6 as talvex-cli.exe, no frame sent" "$problem"

run_window wabsent window.ini af=sample.hex cp=COM77 cb=115200 aa=y
problem=""
[ "$code" -eq 4 ] || problem="exit code $code, not 4"
[ "$code" -eq "$cli_absent" ] || problem="${problem:-exit code $code, talvex-cli.exe gave $cli_absent}"
report "talvex.exe aa=y, absent port COM77: exit 4 as talvex-cli.exe" "$problem"

# The window driven from outside: its lines go into the tally as they are.
run_driver() { # name, mode, third argument, talvex.exe arguments...
    name=$1
    shift
    if [ "$1" = interrupt ]; then
        # Wine gives a program a console that Ctrl+C can be sent to only when
        # it runs on a terminal: a pseudo-terminal from script(1), with the
        # command in a file as script takes one string. No argument holds a
        # quote.
        {
            printf "cd '%s' && exec timeout 300 wine '%s'" "$work" "$driver"
            for arg in "$@"; do printf " '%s'" "$arg"; done
            printf " >'%s' 2>'%s'\n" "$work/$name.out" "$work/$name.err"
        } >"$work/$name.sh"
        script -qec "sh '$work/$name.sh'" /dev/null </dev/null >/dev/null 2>&1
    else
        (cd "$work" && timeout 300 wine "$driver" "$@" </dev/null >"$work/$name.out" 2>"$work/$name.err")
    fi
    code=$?
    if ! tally_file "$work/$name.out" && [ "$code" -ne 0 ]; then
        report "window check $name" "ended with $code: $(tail -n 1 "$work/$name.err")"
    fi
}

# Slow enough writes that the write phase can be seen.
start_sim "$com1" wdriven --dump "$work/wdriven.bin" --write-us-per-byte 1000
# The driver also changes the rate in the configuration sheet: a settings
# file of its own, so that what OK wrote can be told apart. It names a
# browser and a help folder that do not exist, so that F1 starts nothing and
# the status list says which help page was asked for; its sections stand in
# the order in which a new file gets them.
printf '[Talvex]\r\n[Coms]\r\n[Flash]\r\n[Run]\r\n[Help]\r\nBrowser=C:\\absent\\browser.exe\r\nUrl=C:\\absent\r\n' \
    >"$work/sheet.ini"
run_driver flash flash "$win_exe" "$win_shots" sheet.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
stop_sim
problem=""
cmp -s -n "$size" "$work/image.bin" "$work/wdriven.bin" || problem="the flash differs from sample.hex"
report "the download started with BM_CLICK left the image in the flash" "$problem"

# What the sheet's OK wrote: every key in the order the Qt sheet writes
# them, each new one after the last key of its section (File and Part are
# there from the start-up, before the sheet opens), the new rate, and the
# Comms page, in front at OK, as the page to open on.
sheet_ini=$(find "$work" "$windows/bin" -maxdepth 1 -name sheet.ini 2>/dev/null | head -n 1)
problem=""
if [ -z "$sheet_ini" ]; then
    problem="no sheet.ini was written"
else
    keys=$(tr -d '\r' <"$sheet_ini" | sed -n 's/^\([A-Za-z0-9]*\)=.*/\1/p' |
        grep -xE 'File|PropertyPage|Part|Port|Baud|MassErase|Program|Verify|Protect|Key0|Mask|Autorun|Address|Browser|Url' | tr '\n' ' ')
    expected="File Part PropertyPage Port Baud MassErase Program Verify Protect Key0 Mask Autorun Address Browser Url "
    [ "$keys" = "$expected" ] || problem="keys in the order: $keys"
    tr -d '\r' <"$sheet_ini" | grep -qx 'Baud=19200' || problem="${problem:-no Baud=19200}"
    tr -d '\r' <"$sheet_ini" | grep -qx 'PropertyPage=2' || problem="${problem:-no PropertyPage=2}"
fi
tr -d '\r' <"$sheet_ini" | grep -qx 'Browser=C:\\absent\\browser.exe' || problem="${problem:-the Browser key changed}"
report "the sheet's OK stores every key in the settings order, Baud=19200 and PropertyPage=2" "$problem"

start_sim "$com1" wclose --write-us-per-byte 3000
run_driver close close "$win_exe" COM1 window.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
stop_sim

# Ctrl+C in the console talvex.exe was started from, as in a batch file.
start_sim "$com1" wint --write-us-per-byte 3000
run_driver interrupt interrupt "$win_exe" COM1 window.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
stop_sim

start_sim "$com1" wfail --nak W@1
run_driver failure failure "$win_exe" "$win_shots" window.ini af=sample.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
stop_sim

# The window costs no download time: 60 KB with each program on a line
# paced at 115200 baud, twice in turn, the faster download of each compared.
# A download lasts from the target's first frame to its last, as zarq-sim
# logs them: starting a program with a window takes longer, but is not the
# download.
srec_cat -generate 0 61440 -repeat-string "TALVEX window and console " -o "$work/big.hex" -intel -line-length=44 \
    2>"$work/srec.log" || fail_setup "srec_cat failed: $(cat "$work/srec.log")"
frame_span_ms() { # log: milliseconds from the first frame to the last
    first=$(grep '"event":"frame"' "$1" | head -n 1 | sed 's/^{"t_us":\([0-9]*\).*/\1/')
    last=$(grep '"event":"frame"' "$1" | tail -n 1 | sed 's/^{"t_us":\([0-9]*\).*/\1/')
    echo $(((${last:-0} - ${first:-0}) / 1000))
}
best_cli=""
best_win=""
problem=""
for round in 1 2; do
    for program in cli win; do
        start_sim "$com1" "speed-$program-$round" --baud 115200
        if [ "$program" = cli ]; then
            run_cli "speed-$program-$round" check.ini af=big.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
        else
            run_window "speed-$program-$round" window.ini af=big.hex ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n aa=y
        fi
        stop_sim
        took=$(frame_span_ms "$work/speed-$program-$round.jsonl")
        [ "$code" -eq 0 ] || problem="${problem:-$program run $round ended with $code}"
        if [ "$program" = cli ]; then
            if [ -z "$best_cli" ] || [ "$took" -lt "$best_cli" ]; then best_cli=$took; fi
        else
            if [ -z "$best_win" ] || [ "$took" -lt "$best_win" ]; then best_win=$took; fi
        fi
    done
done
# Within 5%: 100 * window <= 105 * console.
[ -n "$problem" ] || [ "$best_cli" -gt 0 ] || problem="no frames logged"
[ -n "$problem" ] || [ $((100 * best_win)) -le $((105 * best_cli)) ] ||
    problem="talvex.exe took $best_win ms, talvex-cli.exe $best_cli ms"
report "60 KB download: talvex.exe ${best_win} ms, talvex-cli.exe ${best_cli} ms (at most 1.05x)" "$problem"

# --- Names beyond ASCII ----------------------------------------------------------
# Wine hands the words over in the Unix locale's encoding: UTF-8 here.
LC_ALL=C.UTF-8
export LC_ALL
unicode_checker="$windows/tests/talvex-win32-unicode-check.exe"
if [ -e "$unicode_checker" ]; then
    (cd "$work" && timeout 60 wine "$unicode_checker" </dev/null >"$work/unicode-check.out" \
        2>"$work/unicode-check.err")
    code=$?
    if ! tally_file "$work/unicode-check.out" && [ "$code" -ne 0 ]; then
        report "Win32 name conversion checks" "ended with $code: $(tail -n 1 "$work/unicode-check.err")"
    fi
else
    report "Win32 name conversion checks" "$unicode_checker is missing"
fi

# 板.hex in a folder bördé, with the settings file bördé.ini beside it: the
# name reaches the settings file as the UTF-8 that the Linux build stores.
mkdir -p "$work/bördé"
cp "$work/sample.hex" "$work/bördé/板.hex"
start_sim "$com1" unicode --dump "$work/unicode.bin"
run_cli unicode 'bördé\bördé.ini' 'af=bördé\板.hex' ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n
stop_sim
flash_problem "$code" "$work/unicode.err" "$work/bördé/板.hex" "$work/unicode.bin" 板.hex
tr -d '\r' <"$work/bördé/bördé.ini" 2>/dev/null | grep -qxF 'File=bördé\板.hex' ||
    problem="${problem:-bördé.ini does not hold the image name in UTF-8}"
report "flash of 板.hex in a folder bördé, settings file bördé.ini there: exit 0, flash equals the image, the name stored in UTF-8" "$problem"

# The same names through the window program.
start_sim "$com1" wunicode --dump "$work/wunicode.bin"
run_window wunicode 'bördé\bördé.ini' 'af=bördé\板.hex' ap=ZaRQ4126 cp=COM1 cb=115200 fe=n fp=y fv=y fh=n rr=n aa=y
stop_sim
flash_problem "$code" "$work/wunicode.err" "$work/bördé/板.hex" "$work/wunicode.bin" 板.hex
report "talvex.exe aa=y with 板.hex in a folder bördé and bördé.ini: exit 0, flash equals the image" "$problem"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
