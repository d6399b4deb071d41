# What the Wine checks share, sourced by tools/wine-check.sh and
# tools/installer-check.sh: a private prefix with no dialogs and no
# downloads, a Wine server of our own, COM ports mapped to zarq-sim's
# links, and the tally of the checks.
#
# The sourcing script sets wine_tool (its name in messages) and calls
# use_prefix before anything else here; it keeps work, server_pid, passed
# and failed as this file leaves them.

server_pid=""
passed=0
failed=0

# Stops with the message and the end of every log in $work.
fail_setup() {
    echo "$wine_tool: $1" >&2
    for log in "$work"/*.log; do
        [ -s "$log" ] && { echo "--- $log" >&2; tail -n 20 "$log" >&2; }
    done
    exit 2
}

# Every tool named must be on the PATH.
need_tools() {
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || { echo "$wine_tool: $tool not found (tools/install-deps.sh installs it)" >&2; exit 2; }
    done
}

# The prefix given, no Mono or Gecko ever asked for, no menu entries, and
# no X display for the programs even if one is around; and the work folder,
# a new one below the temporary folder.
use_prefix() { # prefix folder, name of the work folder
    export WINEPREFIX="$1"
    export WINEARCH=win64
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    unset DISPLAY WAYLAND_DISPLAY
    [ -n "${HOME:-}" ] || export HOME="$(getent passwd "$(id -u)" | cut -d: -f6)"
    work=$(mktemp -d "${TMPDIR:-/tmp}/$2.XXXXXX") || exit 2
}

# True while the process runs (a zombie that only waits to be reaped does not).
running() {
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
    [ -n "$state" ] && [ "$state" != Z ]
}

# Waits up to 5 s for a child of ours to end, then kills it, and reaps it.
reap() {
    i=0
    while running "$1" && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
    kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

# Asks a child of ours to end, then reaps it as above.
end_child() {
    kill -TERM "$1" 2>/dev/null
    reap "$1"
}

# The server is started here, in a session of its own and with its output in
# a log: started by the first wine process instead, it would take the pty
# that a program opens as its port for its controlling terminal and flood
# stderr when zarq-sim hangs the pty up.
start_server() {
    setsid wineserver -f -p >>"$work/wineserver.log" 2>&1 </dev/null &
    server_pid=$!
    # A wine process that finds no server starts one of its own, the very
    # thing to avoid, so wait until ours listens on its socket.
    i=0
    until ls -l "/proc/$server_pid/fd" 2>/dev/null | grep -q 'socket:'; do
        kill -0 "$server_pid" 2>/dev/null || fail_setup "the Wine server did not start"
        [ $i -lt 100 ] || fail_setup "the Wine server did not open its socket"
        sleep 0.05
        i=$((i + 1))
    done
}

stop_server() {
    wineserver -k >/dev/null 2>&1
    if [ -n "$server_pid" ]; then
        reap "$server_pid"
        server_pid=""
    fi
}

# Creates the prefix when it is not there yet; the server must be running.
make_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return
    timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 </dev/null || fail_setup "wineboot -i failed"
}

# Maps a COM port to a file. Wine's mount manager rewrites dosdevices/comN
# from this key whenever the server starts, so the key is what maps the
# port; the server must be restarted to take it up.
map_port() { # COMn, path
    timeout 60 wine reg add 'HKLM\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$2" /f \
        >>"$work/reg.log" 2>&1 </dev/null || fail_setup "cannot map $1 in the registry"
}

# Sets problem for a flash run, empty when it succeeded: the run's exit
# code, then the target's flash (zarq-sim's dump) against the image, as
# srec_cat's binary of it.
flash_problem() { # exit code, the run's stderr, image (HEX), dump, the image's name
    problem=""
    if [ "$1" -ne 0 ]; then
        problem="exit code $1: $(tail -n 1 "$2")"
    elif ! srec_cat "$3" -intel -o "$4.image" -binary 2>"$work/srec.log"; then
        problem="srec_cat failed: $(cat "$work/srec.log")"
    else
        size=$(wc -c <"$4.image")
        cmp -s -n "$size" "$4.image" "$4" || problem="the flash differs from $5"
    fi
}

report() { # name, problem ("" for success)
    if [ -z "$2" ]; then
        printf 'ok   %s\n' "$1"
        passed=$((passed + 1))
    else
        printf 'FAIL %s: %s\n' "$1" "$2"
        failed=$((failed + 1))
    fi
}

# The "ok" and "FAIL" lines a check program printed, into the tally; true
# when it printed at least one FAIL line.
tally_file() { # file
    while IFS= read -r line; do
        case $line in
            "ok   "*) echo "$line"; passed=$((passed + 1)) ;;
            "FAIL "*) echo "$line"; failed=$((failed + 1)) ;;
        esac
    done <"$1"
    grep -q '^FAIL ' "$1"
}
