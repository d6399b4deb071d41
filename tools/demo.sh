#!/bin/sh
# The main job on its embedded default: flash sample.hex into an emulated
# ZaRQ4126 with talvex-cli (page erase, program, verify), then check that the
# target's flash holds exactly the image.
set -eu
bin=$(cd "${1:-build/bin}" && pwd)
work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

echo "== Starting zarq-sim, an emulated ZaRQ4126 paced as a 57600-baud line, on a pseudo-terminal"
"$bin/zarq-sim" --part ZaRQ4126 --baud 57600 --link "$work/ttyZARQ" --dump "$work/flash.bin" \
    --log "$work/frames.jsonl" --timeout 120 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
i=0
while [ ! -e "$work/ttyZARQ" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$work/ttyZARQ" ] || { echo "zarq-sim did not start"; cat "$work/sim.err"; exit 1; }
echo "   serial end: $(head -n1 "$work/sim.out")"

echo "== The settings this run resolves to (talvex-cli --show)"
"$bin/talvex-cli" --show "$work/demo.ini" "af=$bin/sample.hex" "cp=$work/ttyZARQ" cb=57600 \
    fe=n fp=y fv=y fh=n rr=n ap=ZaRQ4126 | sed 's/^/   /'

echo "== talvex-cli $work/demo.ini af=$bin/sample.hex cp=$work/ttyZARQ cb=57600 fe=n fp=y fv=y"
status=0
"$bin/talvex-cli" "$work/demo.ini" "af=$bin/sample.hex" "cp=$work/ttyZARQ" cb=57600 \
    fe=n fp=y fv=y fh=n rr=n ap=ZaRQ4126 || status=$?
echo "== talvex-cli exit code: $status"

kill -TERM "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
echo "== zarq-sim: $(tail -n1 "$work/sim.err")"
[ "$status" -eq 0 ] || { echo "DEMO FAILED: the download did not succeed"; exit 1; }

srec_cat "$bin/sample.hex" -intel -o "$work/image.bin" -binary
size=$(wc -c <"$work/image.bin")
if cmp -n "$size" "$work/image.bin" "$work/flash.bin"; then
    echo "== The target's flash holds sample.hex exactly ($size bytes from 0x80000)."
else
    echo "DEMO FAILED: the target's flash differs from sample.hex"
    exit 1
fi
