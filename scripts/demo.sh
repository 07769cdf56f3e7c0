#!/bin/sh
# Runs the demo on the bundled example.
set -e
BUILD=${1:-build}
exec "$BUILD/examples/demo"
