#!/bin/sh
# Checks the Debian package that `make package` built in BUILD_DIR: lintian
# finds no error, the layout is one program folder with links in /usr/bin,
# the site defaults /etc/talvex/talvex.ini are a conffile without a key,
# the desktop entry (when the window program is in it) is valid, and the
# unpacked talvex-cli finds its part database and help beside itself.
#
# As root, on a machine where TALVEX is not installed, the package is then
# installed for real and taken away again: root's runs leave /usr/lib/talvex
# alone, remove keeps the site defaults and the users' files, and purge
# leaves nothing of the package. The machine is left as it was; without
# root, or with TALVEX already there, that part is skipped and says why.
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

echo "== conffiles"
dpkg-deb --info "$deb" conffiles | tee "$work/conffiles"
check "/etc/talvex/talvex.ini is a conffile" grep -qx /etc/talvex/talvex.ini "$work/conffiles"
check "the site defaults are in the package" test -f "$root/etc/talvex/talvex.ini"
check "... and hold no protection key" \
    sh -c "! grep -iq '^[[:blank:]]*Key0' '$root/etc/talvex/talvex.ini'"
check "nothing beside the programs is a settings file" test ! -e "$root/usr/lib/talvex/talvex.ini"
check "a postrm takes /etc/talvex on purge" \
    sh -c "dpkg-deb --info '$deb' postrm | grep -q 'rm -rf /etc/talvex'"
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
check "unpacked talvex-cli keeps its settings out of its folder" \
    grep -qx "settingsPath=$work/home/.config/talvex/talvex.ini" "$work/show.txt"

# The package installed, used by root, removed and purged, for real.
listing() { find "$1" -printf '%p %y %m %s %T@ %C@\n' | sort; }
installed=""
install_check() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: install, remove and purge need root (CI runs as root)"
        return 0
    fi
    status=$(dpkg-query -W -f='${db:Status-Status}' talvex 2>/dev/null || true)
    if [ -n "$status" ] && [ "$status" != not-installed ]; then
        echo "SKIP: install, remove and purge: TALVEX is already on this machine"
        return 0
    fi
    if [ -e /usr/lib/talvex ] || [ -e /etc/talvex ]; then
        echo "SKIP: install, remove and purge: /usr/lib/talvex or /etc/talvex exists already"
        return 0
    fi

    installed=yes
    if ! dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1; then
        cat "$work/dpkg-i.log"
        check "dpkg -i installs the package (are its dependencies installed?)" false
        return 0
    fi
    check "dpkg -i installs the package" true
    check "dpkg knows the conffile" \
        sh -c "dpkg-query -W -f='\${Conffiles}' talvex | grep -q '/etc/talvex/talvex.ini '"

    # Root could write the program folder, and must not.
    before=$(listing /usr/lib/talvex)
    mkdir -p "$work/roothome" "$work/newhome"
    env -i PATH=/usr/bin:/bin HOME="$work/roothome" /usr/bin/talvex-cli --show fk=DEADBEEF \
        >"$work/root-show.txt" 2>&1 || true
    check "root's settings go to root's own folder" grep -qx \
        "settingsPath=$work/roothome/.config/talvex/talvex.ini" "$work/root-show.txt"
    check "... which holds the key" grep -qx "Key0=DEADBEEF" "$work/roothome/.config/talvex/talvex.ini"
    check "... for root alone (0600)" \
        test "$(stat -c %a "$work/roothome/.config/talvex/talvex.ini")" = 600
    check "nothing was written under /usr/lib/talvex" test "$(listing /usr/lib/talvex)" = "$before"

    # The administrator's site defaults reach new users.
    printf '[Coms]\nPort=COM7\n' >>/etc/talvex/talvex.ini
    env -i PATH=/usr/bin:/bin HOME="$work/newhome" /usr/bin/talvex-cli --show \
        >"$work/new-show.txt" 2>&1 || true
    check "a new user starts from /etc/talvex/talvex.ini" grep -qx "port=COM7" "$work/new-show.txt"
    check "... without root's key" grep -qx "key0=739" "$work/new-show.txt"

    # What an older build left in the program folder: made private on
    # upgrade, taken by purge with the temporary file of a killed write.
    printf '[Flash]\nKey0=DEADBEEF\n' >/usr/lib/talvex/talvex.ini
    chmod 644 /usr/lib/talvex/talvex.ini
    : >/usr/lib/talvex/talvex.ini.tmp4242_0
    dpkg -i "$deb" >"$work/dpkg-i2.log" 2>&1 || cat "$work/dpkg-i2.log"
    check "an upgrade makes an old settings file in the program folder root's alone" \
        test "$(stat -c %a /usr/lib/talvex/talvex.ini)" = 600

    dpkg --remove talvex >"$work/dpkg-r.log" 2>&1 || cat "$work/dpkg-r.log"
    check "remove takes the programs" test ! -e /usr/bin/talvex-cli
    check "remove keeps the site defaults as the administrator left them" \
        grep -qx "Port=COM7" /etc/talvex/talvex.ini
    check "remove keeps the users' files" test -f "$work/roothome/.config/talvex/talvex.ini"

    dpkg --purge talvex >"$work/dpkg-p.log" 2>&1 || cat "$work/dpkg-p.log"
    installed=""
    check "purge leaves no /etc/talvex" test ! -e /etc/talvex
    check "purge leaves no /usr/lib/talvex" test ! -e /usr/lib/talvex
    status=$(dpkg-query -W -f='${db:Status-Status}' talvex 2>/dev/null || true)
    check "purge leaves dpkg nothing of the package" test -z "$status" -o "$status" = not-installed
    check "purge keeps the users' files" test -f "$work/roothome/.config/talvex/talvex.ini"
}
# A check that stops half-way still takes the package away again.
trap 'if [ -n "$installed" ]; then dpkg --purge talvex >/dev/null 2>&1 || true; fi; rm -rf "$work"' EXIT INT TERM
echo "== install, remove, purge"
install_check

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed"
    exit 1
fi
echo "package check passed"
