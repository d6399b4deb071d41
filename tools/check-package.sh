#!/bin/sh
# Checks the Debian packages that `make package` built in BUILD_DIR:
# talvex-cli (console program, emulated target, part database, help) and,
# where the window was built, talvex (the window and its desktop files).
#
# - lintian --pedantic finds nothing but the tags each package's override
#   file explains;
# - talvex-cli names no Qt library; talvex depends on talvex-cli of its own
#   version; talvex-cli takes over files from the old single package;
# - the programs are stripped and hardened, their debug information is in
#   the -dbgsym packages under their build ids;
# - the desktop entry, the HEX file type and the metainfo are valid;
# - the layout is one program folder with links in /usr/bin, the site
#   defaults /etc/talvex/talvex.ini are a conffile without a key, and the
#   unpacked talvex-cli finds its part database and help beside itself.
#
# As root, on a machine where TALVEX is not installed, talvex-cli is then
# installed alone and flashes zarq-sim; the window is installed on top and
# flashes a file handed over as its desktop entry does; both are removed and
# purged, leaving the machine as it was. Without root, or with TALVEX
# already there, that part is skipped and says why.
set -eu
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
tests=$here/../tests/install

newest() { ls -t "$@" 2>/dev/null | head -n1; }
cli_deb=$(newest "$build"/talvex-cli_*.deb)
window_deb=$(newest "$build"/talvex_*.deb)
[ -n "$cli_deb" ] || { echo "no talvex-cli_*.deb in $build: run make package"; exit 1; }
version=$(dpkg-deb --field "$cli_deb" Version)
debs=$cli_deb
[ -n "$window_deb" ] && debs="$debs $window_deb"
for deb in $debs; do
    echo "== $deb"
    dpkg-deb --field "$deb" Package Version Architecture Depends Recommends Breaks Replaces
done

. "$tests/checks.sh"
started=$(date +%s)
section() { echo "== $1 (at $(($(date +%s) - started)) s)"; }
field() { dpkg-deb --field "$1" "$2"; }

section "lintian"
# lintian refuses to run as root unless told it may. Any tag, pedantic ones
# included, fails unless the package's override file explains it.
# One run for all of them: lintian takes longer to start than to check one.
ddebs=""
for deb in $debs; do
    ddeb=$(newest "$build/$(field "$deb" Package)-dbgsym_$version"_*.ddeb)
    check "$(basename "$deb") has its -dbgsym package" test -n "$ddeb"
    ddebs="$ddebs $ddeb"
done
check "lintian --pedantic finds nothing in $(echo $debs $ddebs | wc -w) packages" \
    lintian --allow-root --pedantic --display-info --fail-on error,warning,info,pedantic \
    --tag-display-limit 0 $debs $ddebs

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
root=$work/root
for deb in $debs; do dpkg-deb -x "$deb" "$root"; done
dpkg-deb -x "$cli_deb" "$work/cli"

section "relations"
check "talvex-cli depends on no Qt library" sh -c "! dpkg-deb --field '$cli_deb' Depends | grep -qi qt"
check "talvex-cli depends on libpq5 for the line database" \
    sh -c "dpkg-deb --field '$cli_deb' Depends | grep -q libpq5"
check "talvex-cli takes over the old single package's files" \
    test "$(field "$cli_deb" Breaks)" = "talvex (<< $version)" -a \
    "$(field "$cli_deb" Replaces)" = "talvex (<< $version)"
check "talvex-cli holds no window program" test ! -e "$work/cli/usr/lib/talvex/talvex"
if [ -n "$window_deb" ]; then
    check "talvex is the same version" test "$(field "$window_deb" Version)" = "$version"
    check "talvex depends on talvex-cli (= $version)" \
        sh -c "dpkg-deb --field '$window_deb' Depends | tr ',' '\n' | grep -qx ' *talvex-cli (= $version)'"
    check "talvex depends on Qt 6 widgets" sh -c "dpkg-deb --field '$window_deb' Depends | grep -q libqt6widgets6"
    check "talvex depends on the Qt platform plugins" \
        sh -c "dpkg-deb --field '$window_deb' Depends | grep -q qt6-qpa-plugins"
    check "talvex holds no console program" \
        sh -c "! dpkg-deb --contents '$window_deb' | grep '/usr/lib/talvex/talvex-cli$' >/dev/null"
fi

section "programs"
for program in talvex talvex-cli zarq-sim; do
    binary=$root/usr/lib/talvex/$program
    [ -e "$binary" ] || continue
    check "$program is stripped" sh -c "file -b '$binary' | grep -q ', stripped'"
    # The programs are built with control-flow protection, but a program
    # is only marked so when every object in it is, and the C library's
    # start files on Debian 12 are not: hardening-check cannot see it there.
    check "$program is hardened (PIE, stack protector, fortify, relro, bindnow)" \
        hardening-check --quiet --nocfprotection "$binary"
    build_id=$(file -b "$binary" | sed -n 's/.*BuildID\[sha1\]=\([0-9a-f]*\).*/\1/p')
    if [ "$program" = talvex ]; then package=talvex; else package=talvex-cli; fi
    dbgsym=$(newest "$build/$package-dbgsym_$version"_*.ddeb)
    debug_file=$(printf %s "$build_id" | sed 's|^\(..\)|\1/|').debug
    check "the debug information of $program is in $package-dbgsym" sh -c \
        'test -n "$1" && test -n "$2" && dpkg-deb --contents "$2" | grep "usr/lib/debug/.build-id/$1\$" >/dev/null' \
        - "$debug_file" "$dbgsym"
done

section "conffiles"
dpkg-deb --info "$cli_deb" conffiles | tee "$work/conffiles"
check "/etc/talvex/talvex.ini is a conffile" grep -qx /etc/talvex/talvex.ini "$work/conffiles"
check "the site defaults are in talvex-cli" test -f "$work/cli/etc/talvex/talvex.ini"
check "... and hold no protection key" \
    sh -c "! grep -iq '^[[:blank:]]*Key0' '$root/etc/talvex/talvex.ini'"
check "nothing beside the programs is a settings file" test ! -e "$root/usr/lib/talvex/talvex.ini"
check "a postrm takes /etc/talvex on purge" \
    sh -c "dpkg-deb --info '$cli_deb' postrm | grep -q 'rm -rf /etc/talvex'"
for file in talvex-cli zarq-sim zelchip.ini sample.hex QV_P.html QVC_B.html talvex-help.css; do
    check "talvex-cli has /usr/lib/talvex/$file" test -f "$work/cli/usr/lib/talvex/$file"
done
for program in talvex talvex-cli zarq-sim; do
    [ -e "$root/usr/lib/talvex/$program" ] || continue
    check "/usr/bin/$program links to ../lib/talvex/$program" \
        test "$(readlink "$root/usr/bin/$program")" = "../lib/talvex/$program"
    check "man page of $program" test -s "$root/usr/share/man/man1/$program.1.gz"
done

if [ -n "$window_deb" ]; then
    section "desktop"
    desktop=$root/usr/share/applications/talvex.desktop
    check "desktop entry present" test -f "$desktop"
    check "desktop entry valid" desktop-file-validate "$desktop"
    check "desktop entry opens a file as af=" grep -qx 'Exec=talvex af=%f' "$desktop"
    check "desktop entry declares Intel HEX" grep -qx 'MimeType=text/x-ihex;' "$desktop"
    metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null | head -n1)
    check "metainfo present" test -n "$metainfo"
    check "metainfo valid" appstreamcli validate --no-net --pedantic "$metainfo"
    # The file type, compiled as update-mime-database does on the system.
    mkdir -p "$work/mime/packages"
    cp "$root/usr/share/mime/packages/talvex.xml" "$work/mime/packages/"
    check "the HEX file type compiles" sh -c "update-mime-database '$work/mime' >'$work/mime.log' 2>&1"
    check "... and *.hex and *.ihex are Intel HEX" sh -c \
        "grep -q ':text/x-ihex:\*\.hex$' '$work/mime/globs2' && grep -q ':text/x-ihex:\*\.ihex$' '$work/mime/globs2'"
    icons=$(find "$root/usr/share/icons/hicolor" -name 'talvex.*' 2>/dev/null | wc -l)
    check "icons in hicolor ($icons)" test "$icons" -gt 0
fi

# The unpacked console package alone finds what it needs beside itself.
HOME=$work/home XDG_CONFIG_HOME=$work/home/.config \
    "$work/cli/usr/bin/talvex-cli" --show >"$work/show.txt"
check "unpacked talvex-cli finds zelchip.ini" grep -qx "partDb=present" "$work/show.txt"
check "unpacked talvex-cli runs from /usr/lib/talvex" \
    grep -qx "programDir=$work/cli/usr/lib/talvex/" "$work/show.txt"
check "unpacked talvex-cli keeps its settings out of its folder" \
    grep -qx "settingsPath=$work/home/.config/talvex/talvex.ini" "$work/show.txt"

# talvex-cli as installed flashes sample.hex into zarq-sim.
flash_check() {
    link=$work/ttyZARQ
    rm -f "$link" "$work/flash.bin"
    /usr/bin/zarq-sim --part ZaRQ4126 --link "$link" --dump "$work/flash.bin" --timeout 120 \
        >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    i=0
    while [ ! -e "$link" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
    status=0
    mkdir -p "$work/flashhome"
    env -i PATH=/usr/bin:/bin HOME="$work/flashhome" /usr/bin/talvex-cli \
        af=/usr/lib/talvex/sample.hex ap=ZaRQ4126 "cp=$link" cb=115200 fe=n fp=y fv=y fh=n rr=n \
        >"$work/cli.out" 2>"$work/cli.err" || status=$?
    stop_sim
    check "the installed talvex-cli flashes zarq-sim (exit $status)" test "$status" -eq 0
    [ "$status" -eq 0 ] || cat "$work/cli.out" "$work/cli.err" "$work/sim.err"
    srec_cat /usr/lib/talvex/sample.hex -intel -o "$work/image.bin" -binary
    check "... and the emulated flash holds sample.hex" \
        cmp -n "$(wc -c <"$work/image.bin")" "$work/image.bin" "$work/flash.bin"
}

# The packages installed, used, removed and purged, for real.
listing() { find "$1" -printf '%p %y %m %s %T@ %C@\n' | sort; }
installed=""
is_installed() {
    status=$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null || true)
    [ -n "$status" ] && [ "$status" != not-installed ]
}
install_check() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: install, remove and purge need root (CI runs as root)"
        return 0
    fi
    if is_installed talvex || is_installed talvex-cli; then
        echo "SKIP: install, remove and purge: TALVEX is already on this machine"
        installed=skipped
        return 0
    fi
    if [ -e /usr/lib/talvex ] || [ -e /etc/talvex ]; then
        echo "SKIP: install, remove and purge: /usr/lib/talvex or /etc/talvex exists already"
        installed=skipped
        return 0
    fi

    installed=yes
    if ! dpkg -i "$cli_deb" >"$work/dpkg-i.log" 2>&1; then
        cat "$work/dpkg-i.log"
        check "dpkg -i installs talvex-cli (are its dependencies installed?)" false
        return 0
    fi
    check "dpkg -i installs talvex-cli alone" true
    check "... which brought no window program" test ! -e /usr/bin/talvex
    check "dpkg knows the conffile" \
        sh -c "dpkg-query -W -f='\${Conffiles}' talvex-cli | grep -q '/etc/talvex/talvex.ini '"
    flash_check

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
    dpkg -i "$cli_deb" >"$work/dpkg-i2.log" 2>&1 || cat "$work/dpkg-i2.log"
    check "an upgrade makes an old settings file in the program folder root's alone" \
        test "$(stat -c %a /usr/lib/talvex/talvex.ini)" = 600

    if [ -n "$window_deb" ]; then
        if dpkg -i "$window_deb" >"$work/dpkg-i3.log" 2>&1; then
            check "dpkg -i installs talvex on top" true
            sh "$tests/desktop_open_test.sh" /usr/share/applications/talvex.desktop \
                /usr/lib/talvex installed >"$work/desktop.log" 2>&1 || true
            sed 's/^/   /' "$work/desktop.log"
            check "the installed desktop entry opens a file in a folder with blanks" \
                grep -qx "the desktop entry hands a path with blanks to the window whole" "$work/desktop.log"
        else
            cat "$work/dpkg-i3.log"
            check "dpkg -i installs talvex on top (are its dependencies installed?)" false
        fi
        check "talvex-cli cannot be removed from under the window" \
            sh -c "! dpkg --remove talvex-cli >/dev/null 2>&1"
        dpkg --remove talvex >"$work/dpkg-r0.log" 2>&1 || cat "$work/dpkg-r0.log"
        check "removing talvex takes the window" test ! -e /usr/bin/talvex
        check "... and leaves talvex-cli" test -x /usr/bin/talvex-cli
        dpkg --purge talvex >"$work/dpkg-p0.log" 2>&1 || cat "$work/dpkg-p0.log"
        check "purging talvex leaves the site defaults of talvex-cli" test -f /etc/talvex/talvex.ini
    fi

    dpkg --remove talvex-cli >"$work/dpkg-r.log" 2>&1 || cat "$work/dpkg-r.log"
    check "remove takes the programs" test ! -e /usr/bin/talvex-cli
    check "remove keeps the site defaults as the administrator left them" \
        grep -qx "Port=COM7" /etc/talvex/talvex.ini
    check "remove keeps the users' files" test -f "$work/roothome/.config/talvex/talvex.ini"

    dpkg --purge talvex-cli >"$work/dpkg-p.log" 2>&1 || cat "$work/dpkg-p.log"
    installed=""
    check "purge leaves no /etc/talvex" test ! -e /etc/talvex
    check "purge leaves no /usr/lib/talvex" test ! -e /usr/lib/talvex
    for package in talvex talvex-cli; do
        check "purge leaves dpkg nothing of $package" sh -c \
            "s=\$(dpkg-query -W -f='\${db:Status-Status}' $package 2>/dev/null || true); test -z \"\$s\" -o \"\$s\" = not-installed"
    done
    check "purge keeps the users' files" test -f "$work/roothome/.config/talvex/talvex.ini"
}

# An upgrade from the single talvex package of older versions, which held
# every file of both packages and the conffile: the files and the
# administrator's site defaults move to talvex-cli, and a purge of both
# leaves nothing. The old package is made here from the new files.
upgrade_check() {
    # Only on a machine the fresh install above left clean.
    [ "$(id -u)" -eq 0 ] && [ -n "$window_deb" ] && [ -z "$installed" ] || return 0
    old=$work/old
    mkdir -p "$old/DEBIAN"
    dpkg-deb -x "$cli_deb" "$old"
    dpkg-deb -x "$window_deb" "$old"
    dpkg-deb -e "$cli_deb" "$work/cli-control"
    cp "$work/cli-control/postinst" "$work/cli-control/postrm" "$work/cli-control/conffiles" "$old/DEBIAN/"
    cat >"$old/DEBIAN/control" <<CONTROL
Package: talvex
Version: ${version%-*}
Architecture: $(field "$cli_deb" Architecture)
Maintainer: $(field "$cli_deb" Maintainer)
Description: single package of older versions
 Stands in for the package that held the window and the console program.
CONTROL
    dpkg-deb --build --root-owner-group "$old" "$work/talvex-old.deb" >/dev/null
    installed=yes
    if ! dpkg -i "$work/talvex-old.deb" >"$work/dpkg-old.log" 2>&1; then
        cat "$work/dpkg-old.log"
        check "the old single package installs" false
        return 0
    fi
    printf '[Coms]\nPort=COM8\n' >>/etc/talvex/talvex.ini
    if dpkg -i --auto-deconfigure "$cli_deb" "$window_deb" >"$work/dpkg-up.log" 2>&1; then
        check "the two packages upgrade the old single one" true
    else
        cat "$work/dpkg-up.log"
        check "the two packages upgrade the old single one" false
    fi
    for package in talvex talvex-cli; do
        check "... $package is installed at $version" \
            test "$(dpkg-query -W -f='${Version} ${db:Status-Status}' $package 2>/dev/null)" = "$version installed"
    done
    check "... talvex-cli owns the console program now" \
        sh -c "dpkg -S /usr/lib/talvex/talvex-cli | grep -q '^talvex-cli:'"
    check "... and the site defaults, a conffile still" \
        sh -c "dpkg-query -W -f='\${Conffiles}' talvex-cli | grep -q '/etc/talvex/talvex.ini '"
    check "... with the administrator's change kept" grep -qx "Port=COM8" /etc/talvex/talvex.ini
    dpkg --purge talvex talvex-cli >"$work/dpkg-p2.log" 2>&1 || cat "$work/dpkg-p2.log"
    installed=""
    check "after the upgrade, a purge of both leaves no /etc/talvex or /usr/lib/talvex" \
        test ! -e /etc/talvex -a ! -e /usr/lib/talvex
}

# A check that stops half-way still takes the packages away again.
trap 'stop_sim
      if [ "$installed" = yes ]; then dpkg --purge talvex talvex-cli >/dev/null 2>&1 || true; fi
      rm -rf "$work"' EXIT INT TERM
section "install, remove, purge"
install_check
section "upgrade from the single package"
upgrade_check

if [ "$failures" -ne 0 ]; then
    echo "$failures package check(s) failed"
    exit 1
fi
echo "package check passed"
