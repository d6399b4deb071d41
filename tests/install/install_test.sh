#!/bin/sh
# Installs the build into a temporary prefix and runs the installed
# talvex-cli through its link in bin/ as the user nobody, against zarq-sim:
# the program finds zelchip.ini in its own folder, keeps its settings in the
# user's configuration folder (the program folder is not writable for that
# user), seeds them from the site defaults in PREFIX/etc/talvex/talvex.ini,
# and flashes sample.hex so that the emulated flash equals the image. A copy
# of the program folder somewhere writable keeps talvex.ini beside it.
#
# Usage: install_test.sh BUILD_DIR. Exits 77 (skipped) when not run as root.
set -eu
build=$(cd "${1:?build folder}" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root to install for and drop to the user nobody (run the tests as root, as CI does)"
    exit 77
fi
for tool in setpriv srec_cat cmp; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/packages.txt)"; exit 1; }
done

. "$(dirname "$0")/checks.sh"
make_work talvex-install-test
chmod 755 "$work"

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
program=$prefix/lib/talvex

# The layout.
for file in talvex-cli zarq-sim zelchip.ini sample.hex QV_P.html QVC_B.html talvex-help.css; do
    check "program folder holds $file" test -f "$program/$file"
done
# Every picture the installed help pages name is installed beside them.
for picture in $(sed -n 's/.*src="images\/\([^"]*\)".*/\1/p' "$program"/*.html | sort -u); do
    check "help picture images/$picture installed" test -f "$program/images/$picture"
done
for link in talvex-cli zarq-sim; do
    check "bin/$link links into the program folder" \
        test "$(readlink "$prefix/bin/$link")" = "../lib/talvex/$link"
    check "man page of $link" test -s "$prefix/share/man/man1/$link.1.gz"
done
# The man pages name the folders of this prefix, not the package's.
page=$(gzip -dc "$prefix/share/man/man1/talvex-cli.1.gz")
check "the man page names this prefix's program folder" \
    sh -c 'printf "%s" "$1" | grep -qF "$2/lib/talvex/"' - "$page" "$prefix"
check "... and its site defaults" \
    sh -c 'printf "%s" "$1" | grep -qF "$2/etc/talvex/talvex.ini"' - "$page" "$prefix"
check "... and never the package's folders" \
    sh -c '! printf "%s" "$1" | grep -qE "(^|[^/a-z])/(usr/lib|etc)/talvex"' - "$page"
if [ -f "$build/bin/talvex" ]; then
    check "bin/talvex links into the program folder" \
        test "$(readlink "$prefix/bin/talvex")" = "../lib/talvex/talvex"
    check "desktop entry installed" test -f "$prefix/share/applications/talvex.desktop"
    if command -v desktop-file-validate >/dev/null; then
        check "desktop entry is valid" desktop-file-validate "$prefix/share/applications/talvex.desktop"
    fi
    check "the HEX file type installed" test -f "$prefix/share/mime/packages/talvex.xml"
    check "metainfo installed" sh -c 'ls "$1"/share/metainfo/*.metainfo.xml >/dev/null' - "$prefix"
fi

# The administrator's site defaults, to be seeded.
site=$prefix/etc/talvex/talvex.ini
check "the site defaults are installed" test -f "$site"
printf '; site defaults\n[Coms]\nBaud=57600\n[TalVex]\nPart=ZaRQ4126\n' >"$site"
seed_sum=$(cksum <"$site")

# The user's own folders.
home=$work/home
mkdir -p "$home" "$work/out"
chown nobody:nogroup "$home" "$work/out"

as_user() { # as_user ENV... COMMAND...: runs as nobody with a clean environment
    setpriv --reuid=nobody --regid=nogroup --clear-groups \
        env -i PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"
}
check "the program folder is not writable for the user" \
    sh -c "! setpriv --reuid=nobody --regid=nogroup --clear-groups test -w '$program'"

# --show as the user, with XDG_CONFIG_HOME.
config=$home/cfg
(cd "$home" && as_user HOME="$home" XDG_CONFIG_HOME="$config" "$prefix/bin/talvex-cli" --show) \
    >"$work/show.txt" 2>"$work/show.err" || true
check "--show names the user's settings file" has_line "$work/show.txt" "settingsPath=$config/talvex/talvex.ini"
check "--show says where the file was chosen" has_line "$work/show.txt" "settingsOrigin=userFolder"
check "the part database is found beside the program" has_line "$work/show.txt" "partDb=present"
check "the program folder is the link's target" has_line "$work/show.txt" "programDir=$program/"
check "the user's file was seeded from the site defaults" has_line "$work/show.txt" "baud=57600"
check "nothing on stderr for --show" test ! -s "$work/show.err"

# The download itself, with the simulator as the same user on its own pty.
link=$work/out/ttyZARQ
# Started directly, not through as_user: $! must be the simulator itself.
setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin \
    "$prefix/bin/zarq-sim" --part ZaRQ4126 --link "$link" --dump "$work/out/flash.bin" \
    --timeout 120 >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
i=0
# The link may appear before the line that names the pty is written.
while { [ ! -e "$link" ] || [ ! -s "$work/sim.out" ]; } && [ $i -lt 200 ]; do
    sleep 0.05
    i=$((i + 1))
done
[ -e "$link" ] && [ -s "$work/sim.out" ] ||
    { cat "$work/sim.err"; echo "FAIL: zarq-sim did not start"; exit 1; }
pty=$(head -n1 "$work/sim.out")
check "the user can open the pty ($pty)" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups test -r "$pty" -a -w "$pty"

status=0
(cd "$home" && as_user HOME="$home" XDG_CONFIG_HOME="$config" "$prefix/bin/talvex-cli" \
    "af=$program/sample.hex" ap=ZaRQ4126 "cp=$link" cb=115200 fe=n fp=y fv=y fh=n rr=n) \
    >"$work/cli.out" 2>"$work/cli.err" || status=$?
stop_sim
check "talvex-cli exits 0 (got $status)" test "$status" -eq 0
check "talvex-cli reports Flashing Complete." has_line "$work/cli.out" "Flashing Complete."
if [ "$status" -ne 0 ]; then cat "$work/cli.out" "$work/cli.err" "$work/sim.err"; fi

user_ini=$config/talvex/talvex.ini
check "the options are stored in the user's file" grep -q "^Port=$link\$" "$user_ini"
check "the seed's own lines are kept there" grep -q "^; site defaults" "$user_ini"
check "the user's file belongs to the user" test "$(stat -c %U "$user_ini")" = nobody
check "the user's file is the user's alone (0600)" test "$(stat -c %a "$user_ini")" = 600
check "the site defaults are untouched" test "$(cksum <"$site")" = "$seed_sum"
check "no settings file beside the program" test ! -e "$program/talvex.ini"

srec_cat "$program/sample.hex" -intel -o "$work/image.bin" -binary
size=$(wc -c <"$work/image.bin")
check "the emulated flash holds sample.hex ($size bytes)" \
    cmp -n "$size" "$work/image.bin" "$work/out/flash.bin"

# HOME alone gives ~/.config/talvex; a named settings file is used as it is.
(cd "$home" && as_user HOME="$home" "$prefix/bin/talvex-cli" --show) >"$work/show2.txt" 2>&1 || true
check "without XDG_CONFIG_HOME the file is in ~/.config/talvex" \
    has_line "$work/show2.txt" "settingsPath=$home/.config/talvex/talvex.ini"
(cd "$home" && as_user HOME="$home" "$prefix/bin/talvex-cli" --show "$home/line 3.ini" cp=COM9) \
    >"$work/show3.txt" 2>&1 || true
check "a named settings file is used as it is" has_line "$work/show3.txt" "settingsPath=$home/line 3.ini"
check "... and says so" has_line "$work/show3.txt" "settingsOrigin=commandLine"
check "... and takes the options" grep -q "^Port=COM9\$" "$home/line 3.ini"

# A copy of the program folder where its user may write, as a developer or
# a production line keeps one: talvex.ini beside the program, as always.
copy=$work/out/copied
cp -R "$program" "$copy"
chown -R nobody:nogroup "$copy"
(cd "$home" && as_user HOME="$home" "$copy/talvex-cli" --show cp=COM5) >"$work/show4.txt" 2>&1 || true
check "a writable copied folder keeps talvex.ini beside the program" \
    has_line "$work/show4.txt" "settingsPath=$copy/talvex.ini"
check "... says so" has_line "$work/show4.txt" "settingsOrigin=programDir"
check "... and takes the options there" grep -q "^Port=COM5\$" "$copy/talvex.ini"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "installed program works for an ordinary user"
