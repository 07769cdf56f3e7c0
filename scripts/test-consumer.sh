#!/bin/sh
# Installs a built vesk into a temporary prefix, then builds examples/consumer
# against the installed tree with find_package and with pkg-config and runs
# it each time; compiles and runs examples/ against the installed headers and
# library; the installed tool, when there is one, prints its version.
#   scripts/test-consumer.sh BUILD_DIR
set -e
BUILD=${1:-build}
cd "$(dirname "$0")/.."
WORK=$(mktemp -d "${TMPDIR:-/tmp}/veskconsumer.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PREFIX=$WORK/prefix

cmake --install "$BUILD" --prefix "$PREFIX" > "$WORK/install.log"
if grep -q '^BUILD_SHARED_LIBS:BOOL=ON' "$BUILD/CMakeCache.txt"; then
    KIND=shared
    STATIC=OFF
else
    KIND=static
    STATIC=ON
fi
LIBDIR=$(dirname "$(find "$PREFIX" -name vesk.pc)")/..
echo "== installed ($KIND) into $PREFIX:"
(cd "$PREFIX" && find . -type f -o -type l | grep -v '/include/vesk/.' | sort)
echo "   and $(ls "$PREFIX/include/vesk" | wc -l) headers in include/vesk"

consumer() {
    name=$1
    shift
    echo "== consumer with $name"
    cmake -S examples/consumer -B "$WORK/$name" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" > "$WORK/$name.log" ||
        { cat "$WORK/$name.log"; exit 1; }
    cmake --build "$WORK/$name" > "$WORK/$name-build.log" 2>&1 || { cat "$WORK/$name-build.log"; exit 1; }
    LD_LIBRARY_PATH=$LIBDIR "$WORK/$name/consumer" "$WORK/$name.sys"
}
consumer find_package -DCMAKE_PREFIX_PATH="$PREFIX"
PKG_CONFIG_PATH=$LIBDIR/pkgconfig consumer pkg-config -DVESK_WITH_PKGCONFIG=ON -DVESK_PKGCONFIG_STATIC=$STATIC

# The example programs, built with the installed headers and library alone.
echo "== examples/ against the installed library"
[ "$KIND" = static ] && PCSTATIC=--static || PCSTATIC=
for example in demo read_file write_file; do
    # shellcheck disable=SC2046
    c++ -std=c++20 -O1 -o "$WORK/$example" examples/$example.cpp \
        $(PKG_CONFIG_PATH=$LIBDIR/pkgconfig pkg-config --cflags --libs $PCSTATIC vesk)
done
export LD_LIBRARY_PATH="$LIBDIR"
"$WORK/demo" > "$WORK/demo.out"
"$WORK/write_file" "$WORK/towns.sys"
"$WORK/read_file" "$WORK/towns.sys" | head -3
"$WORK/read_file" examples/survey.sys > /dev/null
unset LD_LIBRARY_PATH

if [ -x "$PREFIX/bin/vesk" ]; then
    echo "== installed tool: $("$PREFIX/bin/vesk" --version)"
fi
