# Sourced by the install tests: a check that counts its failures, and a
# whole-line match in a file.
failures=0
check() { # check DESCRIPTION COMMAND...
    what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
has_line() { grep -qxF -- "$2" "$1"; }

# A test's work folder and the zarq-sim it starts (its process id in
# sim_pid), both taken away however the test ends.
sim_pid=""
stop_sim() {
    if [ -n "$sim_pid" ]; then
        kill -TERM "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    sim_pid=""
}
make_work() { # make_work NAME: sets work to a new folder under /tmp
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    trap 'stop_sim; rm -rf "$work"' EXIT INT TERM
}
