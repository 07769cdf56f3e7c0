#!/bin/sh
# Runs the demo: the library tour, then the vesk tool on the bundled example.
set -e
BUILD=${1:-build}
cd "$(dirname "$0")/.."

run() {
    echo
    echo "\$ $*"
    "$@"
}

"$BUILD/examples/demo"
run "$BUILD/vesk" info examples/survey.sys
echo
echo "\$ $BUILD/vesk info --json examples/survey.sys | head"
"$BUILD/vesk" info --json examples/survey.sys | head
run "$BUILD/vesk" cat examples/survey.sys
run "$BUILD/vesk" verify examples/survey.sys
