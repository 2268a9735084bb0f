#!/usr/bin/env bash
# Installs the built library into a temporary prefix and builds a host
# application against it twice: with find_package(iotcloud) and with
# pkg-config. Both must build and run. Every installed header must compile on
# its own with only the prefix on the include path, and pull in nothing but
# the C++ standard library: the package declares no other dependency for
# hosts to find.
#   check_install.sh <build dir> <this folder>
set -euo pipefail
build=$1
here=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null

include="$work/prefix/include/iotcloud"
while IFS= read -r header; do
  if ! g++ -std=c++17 -fsyntax-only -H -I"$include" -x c++ "$header" 2>"$work/deps"; then
    echo "installed header does not compile on its own: ${header#"$include"/}"
    cat "$work/deps"
    exit 1
  fi
  if grep -E '/(curl|openssl|cjson)/|sqlite3\.h|httplib' "$work/deps"; then
    echo "installed header needs a library header: ${header#"$include"/}"
    exit 1
  fi
done < <(find "$include" -name '*.h')
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
# shellcheck disable=SC2046
g++ -std=c++17 "$here/consumer.cpp" $(pkg-config --cflags --libs iotcloud) -o "$work/pc-consumer"
LD_LIBRARY_PATH="$work/prefix/lib" "$work/pc-consumer"
