#!/bin/sh
# Installs the Debian packages the build needs, when any is missing.
# As root it runs apt-get; otherwise it prints the apt-get line and stops.
set -e
PKGS="cmake make g++ pkg-config zlib1g-dev libicu-dev libsodium-dev libdeflate-dev libisal-dev libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev"
# The Python module (make python): its build, the libraries it hands data to, its tests.
PKGS="$PKGS python3-dev python3-pybind11 python3-numpy python3-pandas python3-dask python3-distributed python3-pytest"
if [ "$1" = "--fuzz" ]; then
    PKGS="$PKGS clang libclang-rt-14-dev"
fi
missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
    echo "bootstrap: installing$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
else
    echo "bootstrap: missing packages. Run as root:"
    echo "  apt-get update && apt-get install -y$missing"
    exit 1
fi
