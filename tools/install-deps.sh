#!/bin/sh
# Installs whatever in tools/packages.txt is missing, without questions.
set -eu
# CI's build lanes set this: it installed everything at its start, and dpkg
# may be busy with the package check meanwhile.
[ "${TALVEX_DEPS_INSTALLED:-}" = 1 ] && exit 0
here=$(dirname "$0")
missing=""
for pkg in $(grep -v '^#' "$here/packages.txt"); do
    # A package whose triggers another install has yet to run is installed
    # all the same.
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null |
        grep -Eq '^install ok (installed|triggers-pending|triggers-awaited)$'; then
        missing="$missing $pkg"
    fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends $missing
