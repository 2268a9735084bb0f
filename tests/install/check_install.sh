#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds a host
# application against it twice: with find_package(iotcloud) and with
# pkg-config. Both must build and run.
#   check_install.sh <build dir> <this folder>
set -euo pipefail
build=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 "$here/consumer.cpp" $(pkg-config --cflags --libs iotcloud) -o "$work/pc-consumer"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/pc-consumer"
