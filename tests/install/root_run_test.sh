#!/bin/sh
# Installs the build into a temporary prefix and runs the installed
# talvex-cli as root, who could write the program folder: nothing is
# written there, root's settings go to root's own configuration folder,
# created for root alone, and a new user's file starts from the site
# defaults in PREFIX/etc/talvex/talvex.ini, which hold a protection key only
# when the administrator put one there. A repeated install keeps the
# administrator's site defaults.
#
# Usage: root_run_test.sh BUILD_DIR. Exits 77 (skipped) when not run as root.
set -eu
build=$(cd "${1:?build folder}" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the run under test is root's (run the tests as root, as CI does)"
    exit 77
fi

work=$(mktemp -d /tmp/talvex-root-run-test.XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

. "$(dirname "$0")/checks.sh"
# Every entry with its type, mode, size and change time: a file made and
# removed again still changes the folder's times.
listing() { find "$1" -printf '%p %y %m %s %T@ %C@\n' | sort; }
# The program as root with nothing of this shell's environment but a home.
as_root() { # as_root HOME COMMAND...
    home=$1
    shift
    env -i PATH=/usr/bin:/bin LANG=C.UTF-8 HOME="$home" "$@"
}

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; echo "FAIL: cmake --install"; exit 1; }
program=$prefix/lib/talvex
site=$prefix/etc/talvex/talvex.ini
cli=$prefix/bin/talvex-cli

check "the site defaults are installed in PREFIX/etc/talvex" test -f "$site"
check "... readable by everyone" test "$(stat -c %a "$site")" = 644
check "... and hold no protection key" sh -c "! grep -iq '^[[:blank:]]*Key0' '$site'"
check "nothing beside the program is a settings file" test ! -e "$program/talvex.ini"

before=$(listing "$program")
site_sum=$(cksum <"$site")

# Root's first run, with the key and a port on the command line.
home1=$work/home1
mkdir -p "$home1"
as_root "$home1" "$cli" --show fk=DEADBEEF cp=/dev/ttyUSB3 >"$work/show1.txt" 2>"$work/show1.err" ||
    { cat "$work/show1.txt" "$work/show1.err"; echo "FAIL: talvex-cli --show as root"; exit 1; }
user_ini=$home1/.config/talvex/talvex.ini
check "root's settings are in root's configuration folder" \
    has_line "$work/show1.txt" "settingsPath=$user_ini"
check "--show says the user folder chose it" has_line "$work/show1.txt" "settingsOrigin=userFolder"
check "the key from the command line is in force" has_line "$work/show1.txt" "key0=DEADBEEF"
check "the port from the command line is in force" has_line "$work/show1.txt" "port=/dev/ttyUSB3"
check "nothing on stderr" test ! -s "$work/show1.err"
check "root's file holds the key" grep -qx "Key0=DEADBEEF" "$user_ini"
check "root's file is root's alone (0600)" test "$(stat -c %a "$user_ini")" = 600
check "root's configuration folder is root's alone (0700)" \
    test "$(stat -c %a "$home1/.config/talvex")" = 700
# The shipped defaults are comments only, so the options come after them.
check "the file starts with the site defaults" \
    sh -c "head -n \"\$(wc -l <'$site')\" '$user_ini' | cmp -s - '$site'"
check "nothing was written under PREFIX/lib/talvex" test "$(listing "$program")" = "$before"
check "the site defaults are unchanged" test "$(cksum <"$site")" = "$site_sum"

# What an older build left beside the program when root ran it: never a
# seed for anyone.
printf '[Flash]\nKey0=DEADBEEF\n[Coms]\nPort=COM1\n' >"$program/talvex.ini"

# The administrator sets a port for new users.
printf '[Coms]\nPort=COM7\n' >>"$site"
home2=$work/home2
mkdir -p "$home2"
as_root "$home2" "$cli" --show >"$work/show2.txt" 2>&1 || true
check "a new user's settings take the site port" has_line "$work/show2.txt" "port=COM7"
check "... and no key the administrator did not put there" has_line "$work/show2.txt" "key0=739"
check "... nor anything from the file beside the program" \
    sh -c "! grep -q DEADBEEF '$home2/.config/talvex/talvex.ini'"
check "... in a file of the user's alone (0600)" \
    test "$(stat -c %a "$home2/.config/talvex/talvex.ini")" = 600

# Now the administrator gives every new user a key.
printf '[Flash]\nKey0=5EC2E7\n' >>"$site"
home3=$work/home3
mkdir -p "$home3"
as_root "$home3" "$cli" --show >"$work/show3.txt" 2>&1 || true
check "a key the administrator put there reaches a new user" has_line "$work/show3.txt" "key0=5EC2E7"

# Users who already have a file keep it as it is.
as_root "$home1" "$cli" --show >"$work/show4.txt" 2>&1 || true
check "an existing user keeps the own key" has_line "$work/show4.txt" "key0=DEADBEEF"
check "... and the own port" has_line "$work/show4.txt" "port=/dev/ttyUSB3"

# XDG_CONFIG_HOME counts for root as for anyone.
env -i PATH=/usr/bin:/bin HOME="$home1" XDG_CONFIG_HOME="$work/xdg" "$cli" --show \
    >"$work/show5.txt" 2>&1 || true
check "root's XDG_CONFIG_HOME is followed" \
    has_line "$work/show5.txt" "settingsPath=$work/xdg/talvex/talvex.ini"

# A repeated install leaves the administrator's site defaults alone.
admin_sum=$(cksum <"$site")
cmake --install "$build" --prefix "$prefix" >"$work/install2.log" 2>&1 ||
    { cat "$work/install2.log"; echo "FAIL: the second cmake --install"; exit 1; }
check "a repeated install keeps the site defaults" test "$(cksum <"$site")" = "$admin_sum"
check "... and says so" grep -q "Kept: $site" "$work/install2.log"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "root's runs leave the installed program folder alone"
