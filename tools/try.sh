#!/bin/sh
# Opens the window program on an emulated ZaRQ4126: zarq-sim on a
# pseudo-terminal, paced like a 57600-baud line, and talvex with a temporary
# settings file that points at it and at sample.hex. Press Start, then Run.
# Further arguments go to zarq-sim, e.g. --nak W@10 to rehearse a failure.
set -eu
bin=$(cd "${1:-build/bin}" && pwd)
[ $# -gt 0 ] && shift
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "make try opens a window and needs a desktop (DISPLAY or WAYLAND_DISPLAY)." >&2
    echo "Without one, run it under a virtual display: xvfb-run make try" >&2
    exit 1
fi
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

"$bin/zarq-sim" --part ZaRQ4126 --baud 57600 --link "$work/ttyZARQ" --dump "$work/flash.bin" \
    "$@" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
i=0
while [ ! -e "$work/ttyZARQ" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$work/ttyZARQ" ] || { echo "zarq-sim did not start:"; cat "$work/sim.err"; exit 1; }
echo "zarq-sim: an emulated ZaRQ4126 on $work/ttyZARQ ($(head -n1 "$work/sim.out")), 57600 baud"
echo "talvex: settings in $work/try.ini; press Start to flash sample.hex, then Run"

status=0
"$bin/talvex" "$work/try.ini" "af=$bin/sample.hex" "cp=$work/ttyZARQ" cb=57600 ap=ZaRQ4126 \
    fe=n fp=y fv=y fh=n rr=n || status=$?
echo "talvex ended with $status"

kill -TERM "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
tail -n1 "$work/sim.err"
