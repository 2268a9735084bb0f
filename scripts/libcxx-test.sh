#!/usr/bin/env bash
# The macOS-ready lane, run here: the whole tree and the suite built with
# clang and libc++ (as on macOS), and the library compiled with strict POSIX
# feature macros (-U_GNU_SOURCE -D_POSIX_C_SOURCE=200809L), so a GNU-only call
# in src/ fails the build. GoogleTest is built against libc++ and cpp-httplib
# used as its single header from Debian's source package (Debian's compiled
# cpp-httplib is libstdc++ code); both are cached outside the checkout,
#   ${IOTCLOUD_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/iotcloud}/libcxx-deps/<key>
# keyed by their versions, this script and the compiler version.
#   ./scripts/libcxx-test.sh [-- ctest arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ctest_args=()
if [ "${1:-}" = "--" ]; then shift; ctest_args=("$@"); fi

"$root/scripts/install-deps.sh"
packages=(libc++-dev libc++abi-dev dpkg-dev)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then missing+=("$p"); fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "libcxx-test: installing ${missing[*]}" >&2
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cache=${IOTCLOUD_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/iotcloud}
. "$root/scripts/debian-source.sh"
debsrc_init "$cache"
httplib_version=$(debsrc_version cpp-httplib)
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
key=$( {
  echo "cpp-httplib $httplib_version googletest $gtest_version"
  sha256sum "$0" "$root/scripts/debian-source.sh" | cut -d' ' -f1
  clang++ --version | head -n 1
} | sha256sum | cut -c1-16)
deps="$cache/libcxx-deps/$key"
flags="-stdlib=libc++"
if [ ! -e "$deps/.complete" ]; then
  echo "libcxx-test: building GoogleTest and cpp-httplib's header into $deps" >&2
  work="$cache/libcxx-deps/work-$key"
  rm -rf "$work" "$deps"
  mkdir -p "$work" "$deps/include" "$deps/lib/pkgconfig"
  cmake -S /usr/src/googletest -B "$work/googletest" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_GMOCK=ON >/dev/null
  cmake --build "$work/googletest" -j"${JOBS:-2}" >/dev/null
  cmake --install "$work/googletest" >/dev/null
  debsrc_extract cpp-httplib "$work/cpp-httplib"
  cp "$work/cpp-httplib/httplib.h" "$deps/include/"
  cat >"$deps/lib/pkgconfig/cpp-httplib.pc" <<EOF
prefix=$deps
Name: cpp-httplib
Version: ${httplib_version%%+*}
Description: cpp-httplib's single header
Requires: openssl
Libs: -pthread
Cflags: -I\${prefix}/include -DCPPHTTPLIB_OPENSSL_SUPPORT
EOF
  touch "$deps/.complete"
  rm -rf "$work"
fi

dir="$root/build/libcxx"
PKG_CONFIG_PATH="$deps/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}" \
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIOTCLOUD_WERROR=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DCMAKE_PREFIX_PATH="$deps" \
  -DIOTCLOUD_STRICT_POSIX=ON -DIOTCLOUD_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j"${JOBS:-2}" >&2
cd "$dir"
# The install check builds a consumer with the default compiler and its
# libstdc++, which cannot use a libc++ build of the C++ API.
ctest --output-on-failure -j"${JOBS:-2}" --timeout 300 -E '^install_consumer$' "${ctest_args[@]}"
