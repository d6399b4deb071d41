#!/bin/sh
# Runs every fuzz target for a short time, seeded with its corpus folder.
set -eu
build=$1
seconds=${2:-20}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$build"/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="$root/tests/fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/ 2>/dev/null || true
    echo "== $name for ${seconds}s"
    if ! "$target" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 \
            -artifact_prefix="$build/fuzz/$name-" "$work" >"$build/fuzz/$name.log" 2>&1; then
        echo "$name found a crash; see $build/fuzz/$name.log"
        tail -40 "$build/fuzz/$name.log"
        status=1
    fi
    rm -rf "$work"
done
exit $status
