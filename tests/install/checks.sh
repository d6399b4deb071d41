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
