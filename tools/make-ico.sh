#!/bin/sh
# Packs PNG images into one Windows .ico file, each image stored as the PNG
# it is (the form the icon format takes for every size since Windows Vista).
# Needs only the shell, od and cat, so the cross build asks for no image tool.
#
#   tools/make-ico.sh OUT.ico IMAGE.png...
set -eu
[ $# -ge 2 ] || { echo "usage: make-ico.sh OUT.ico IMAGE.png..." >&2; exit 2; }
out=$1
shift

byte() { printf "\\$(printf '%03o' "$(($1 & 255))")"; }
le16() { byte "$1"; byte "$(($1 >> 8))"; }
le32() { le16 "$(($1 & 65535))"; le16 "$(($1 >> 16))"; }

# Width and height from the PNG's header chunk (big-endian at offset 16).
png_side() { # file, 0 for the width or 4 for the height
    set -- $(od -An -tu1 -j $((16 + $2)) -N4 "$1")
    echo $(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))
}

for png in "$@"; do
    [ "$(od -An -c -j1 -N3 "$png" | tr -d ' ')" = PNG ] || { echo "make-ico.sh: $png is not a PNG" >&2; exit 1; }
done

tmp="$out.tmp"
{
    le16 0
    le16 1
    le16 $#
    offset=$((6 + 16 * $#))
    for png in "$@"; do
        w=$(png_side "$png" 0)
        h=$(png_side "$png" 4)
        [ "$w" -le 256 ] && [ "$h" -le 256 ] || { echo "make-ico.sh: $png is larger than 256 pixels" >&2; exit 1; }
        size=$(wc -c <"$png")
        byte $((w == 256 ? 0 : w)) # 256 is written as 0
        byte $((h == 256 ? 0 : h))
        byte 0 # no palette
        byte 0
        le16 1  # planes
        le16 32 # bits per pixel
        le32 "$size"
        le32 "$offset"
        offset=$((offset + size))
    done
    cat "$@"
} >"$tmp"
mv "$tmp" "$out"
