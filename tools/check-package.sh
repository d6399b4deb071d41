#!/bin/sh
# Checks the Debian package that `make package` built in BUILD_DIR: lintian
# finds no error, the layout is one program folder with links in /usr/bin,
# the desktop entry (when the window program is in it) is valid, and the
# unpacked talvex-cli finds its part database and help beside itself.
set -eu
build=${1:-build}
deb=$(ls -t "$build"/talvex_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { echo "no talvex_*.deb in $build: run make package"; exit 1; }
echo "== $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends

failures=0
check() { # check DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

echo "== lintian"
# Errors fail the check; warnings are printed for whoever reads the log.
# lintian refuses to run as root unless told it may.
check "lintian reports no errors" lintian --allow-root --fail-on error --tag-display-limit 0 --display-info "$deb"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
dpkg-deb -x "$deb" "$work/root"
root=$work/root
for file in talvex-cli zarq-sim zelchip.ini sample.hex QV_P.html QVC_B.html talvex-help.css; do
    check "/usr/lib/talvex/$file" test -f "$root/usr/lib/talvex/$file"
done
for program in talvex talvex-cli zarq-sim; do
    [ -e "$root/usr/lib/talvex/$program" ] || continue
    check "/usr/bin/$program links to ../lib/talvex/$program" \
        test "$(readlink "$root/usr/bin/$program")" = "../lib/talvex/$program"
    check "man page of $program" test -s "$root/usr/share/man/man1/$program.1.gz"
done
if [ -e "$root/usr/lib/talvex/talvex" ]; then
    desktop=$root/usr/share/applications/talvex.desktop
    check "desktop entry present" test -f "$desktop"
    check "desktop entry valid" desktop-file-validate "$desktop"
    check "depends on Qt 6 widgets" sh -c "dpkg-deb --field '$deb' Depends | grep -q libqt6widgets6"
    check "depends on the Qt platform plugins" sh -c "dpkg-deb --field '$deb' Depends | grep -q qt6-qpa-plugins"
    icons=$(find "$root/usr/share/icons/hicolor" -name 'talvex.*' 2>/dev/null | wc -l)
    echo "   icons in hicolor: $icons"
fi

# The unpacked program finds what it needs beside itself.
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config \
    "$root/usr/bin/talvex-cli" --show >"$work/show.txt"
check "unpacked talvex-cli finds zelchip.ini" grep -qx "partDb=present" "$work/show.txt"
check "unpacked talvex-cli runs from /usr/lib/talvex" \
    grep -qx "programDir=$root/usr/lib/talvex/" "$work/show.txt"

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed"
    exit 1
fi
echo "package check passed"
