#!/usr/bin/env bash
# Installs a built tree into a temporary prefix and consumes it the ways
# users do: pkg-config, find_package, add_subdirectory, a static link by the
# C compiler alone; then builds the Debian package and checks its contents.
#   run.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -euo pipefail
build=$1 source=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
program=$source/tests/c/consumer.c

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name tovrick.pc)
libdir=$(dirname "$(dirname "$pc")")
echo "installed: $(cd "$prefix" && find . -type f -o -type l | sort | tr '\n' ' ')"

echo "-- pkg-config"
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs tovrick)
"$cc" -std=c99 -Wall -Werror "$program" $flags -Wl,-rpath,"$libdir" -o "$work/pkgconfig"
"$work/pkgconfig"
readelf -d "$libdir/libtovrick.so.0.8.0" | grep -q 'SONAME.*libtovrick.so.0\]'

echo "-- find_package"
cmake -S "$source/tests/consumers/find_package" -B "$work/fp" -DCMAKE_C_COMPILER="$cc" \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/fp" >/dev/null
"$work/fp/consumer"

echo "-- add_subdirectory"
cmake -S "$source/tests/consumers/subdirectory" -B "$work/sub" -DCMAKE_C_COMPILER="$cc" \
    -DTOVRICK_SOURCE_DIR="$source" >/dev/null
cmake --build "$work/sub" >/dev/null
tests=$(ctest --test-dir "$work/sub" -N | grep -c 'Test *#')
[ "$tests" -eq 1 ] || { echo "the parent sees $tests tests, not its own 1"; exit 1; }
ctest --test-dir "$work/sub" --output-on-failure >/dev/null

echo "-- static, C compiler alone"
"$cc" -std=c99 -Wall -Werror -I"$prefix/include" "$program" "$libdir/libtovrick.a" -o "$work/static"
"$work/static"

echo "-- Debian package"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
for file in libtovrick.so.0.8.0 libtovrick.so.0 libtovrick.a include/tovrick.h include/tovrick.hpp \
    pkgconfig/tovrick.pc cmake/tovrick/tovrickConfig.cmake cmake/tovrick/tovrickConfigVersion.cmake; do
    grep -q "$file" <<<"$contents" || { echo "the package lacks $file"; exit 1; }
done
echo "$(basename "$deb"): $(grep -c . <<<"$contents") entries"
echo "all consumer routes work"
