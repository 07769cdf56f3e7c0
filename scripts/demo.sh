#!/bin/sh
# Runs the demo: the library tour, the vesk:: layer's example programs, then
# the vesk tool on the bundled example.
set -e
BUILD=${1:-build}
cd "$(dirname "$0")/.."

run() {
    echo
    echo "\$ $*"
    "$@"
}

"$BUILD/examples/demo"

# The vesk:: layer (<vesk/vesk.hpp>): a file written and read back.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/veskdemo.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
run "$BUILD/examples/write_file" "$WORK/towns.sys"
run "$BUILD/examples/read_file" "$WORK/towns.sys"
run "$BUILD/examples/read_file" examples/survey.sys
run "$BUILD/vesk" info examples/survey.sys
echo
echo "\$ $BUILD/vesk info --json examples/survey.sys | head"
"$BUILD/vesk" info --json examples/survey.sys | head
run "$BUILD/vesk" cat examples/survey.sys
run "$BUILD/vesk" verify examples/survey.sys
