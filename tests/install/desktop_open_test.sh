#!/bin/sh
# "Open with TALVEX" from a file manager: the launcher expands the desktop
# entry's Exec line with the chosen file as one word, blanks and all, and
# the window must get that path whole. The file here lies in a folder with
# blanks in its name; the window, run that way plus the options of an
# unattended run, flashes it into zarq-sim and stores the path it got.
#
# Usage: desktop_open_test.sh DESKTOP_FILE PROGRAM_FOLDER [installed]
# PROGRAM_FOLDER holds talvex, zarq-sim, zelchip.ini and sample.hex. A build
# folder is copied first, so that the settings the window writes beside
# itself land in the copy; with "installed" the folder is used as it is and
# the settings go to the user's folder.
set -eu
desktop=${1:?desktop file}
folder=$(cd "${2:?program folder}" && pwd)
mode=${3:-copy}

for tool in srec_cat cmp; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/packages.txt)"; exit 1; }
done
if [ ! -x "$folder/talvex" ]; then
    echo "SKIP: no window program in $folder"
    exit 77
fi

. "$(dirname "$0")/checks.sh"
make_work talvex-desktop-test

home=$work/home
mkdir -p "$home"
if [ "$mode" = installed ]; then
    bin=$folder
    settings=$home/.config/talvex/talvex.ini
else
    bin=$work/program
    mkdir -p "$bin"
    cp "$folder/talvex" "$folder/zarq-sim" "$folder/zelchip.ini" "$bin/"
    settings=$bin/talvex.ini
fi

image_dir="$work/Line 3 images"
mkdir -p "$image_dir"
image="$image_dir/board v2.hex"
cp "$folder/sample.hex" "$image"

# The Exec line as a launcher expands it: split at blanks (the entry quotes
# nothing), %f replaced by the file inside its word, never split by it.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
check "the desktop entry has one Exec line" test "$(printf '%s\n' "$exec_line" | wc -l)" -eq 1
case $exec_line in
*\"* | *\'* | *\\*)
    echo "FAIL: this test expands only an Exec line without quoting: $exec_line"
    exit 1
    ;;
esac
check "the Exec line takes a file (%f)" sh -c 'case "$1" in *%f*) exit 0 ;; esac; exit 1' - "$exec_line"

link=$work/ttyZARQ
"$bin/zarq-sim" --part ZaRQ4126 --link "$link" --dump "$work/flash.bin" --timeout 120 \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
i=0
while [ ! -e "$link" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
[ -e "$link" ] || { cat "$work/sim.err"; echo "FAIL: zarq-sim did not start"; exit 1; }

set -f
set --
for word in $exec_line; do
    case $word in
    *%f*) word="${word%%\%f*}$image${word#*%f}" ;;
    esac
    set -- "$@" "$word"
done
set +f

status=0
(cd "$home" && env -i PATH="$bin:/usr/bin:/bin" HOME="$home" LANG=C.UTF-8 \
    QT_QPA_PLATFORM=offscreen "$@" aa=y ap=ZaRQ4126 "cp=$link" cb=115200 fe=n fp=y fv=y fh=n rr=n) \
    >"$work/window.out" 2>"$work/window.err" || status=$?
stop_sim

check "the window opened from the desktop entry ends with 0 (got $status)" test "$status" -eq 0
if [ "$status" -ne 0 ]; then cat "$work/window.out" "$work/window.err" "$work/sim.err"; fi
check "the window stored the path it got, blanks and all" has_line "$settings" "File=$image"
srec_cat "$image" -intel -o "$work/image.bin" -binary
size=$(wc -c <"$work/image.bin")
check "the emulated flash holds the image ($size bytes)" \
    cmp -n "$size" "$work/image.bin" "$work/flash.bin"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "the desktop entry hands a path with blanks to the window whole"
