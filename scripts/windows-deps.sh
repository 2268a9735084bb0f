#!/usr/bin/env bash
# Cross-builds the library's dependencies for 64-bit Windows
# (x86_64-w64-mingw32, posix thread model) from Debian's source packages:
# OpenSSL 3 and libcurl (OpenSSL backend, no HTTP/2) as DLLs, cJSON and SQLite
# as static archives, GoogleTest, and cpp-httplib's single header. Prints the
# prefix on its last line; pass it to CMake as -DIOTCLOUD_WINDOWS_DEPS=...
#
# The prefix lives in a cache outside the checkout,
#   ${IOTCLOUD_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/iotcloud}/windows-deps/<key>
# keyed by the source versions, this script and the compiler version, so a machine that built them once reuses them (about
# 20 minutes on two cores the first time, seconds afterwards). Installs the
# toolchain packages it needs (idempotent, as install-deps.sh does).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}

packages=(
  g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev wine64
  dpkg-dev cmake make perl tcl xz-utils ca-certificates
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "windows-deps: installing ${missing[*]}" >&2
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

triple=x86_64-w64-mingw32
cache=${IOTCLOUD_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/iotcloud}
. "$root/scripts/debian-source.sh"
debsrc_init "$cache"

sources=(openssl curl cjson sqlite3 googletest cpp-httplib)
declare -A version
for s in "${sources[@]}"; do version[$s]=$(debsrc_version "$s"); done

key_text=$(
  for s in "${sources[@]}"; do echo "$s ${version[$s]}"; done
  sha256sum "$0" "$root/scripts/debian-source.sh" | cut -d' ' -f1
  "$triple-g++-posix" --version | head -n 1
)
key=$(echo "$key_text" | sha256sum | cut -c1-16)
prefix="$cache/windows-deps/$key"
if [ -e "$prefix/.complete" ]; then
  echo "windows-deps: reusing $prefix" >&2
  echo "$prefix"
  exit 0
fi

echo "windows-deps: building into $prefix" >&2
work="$cache/windows-deps/work-$key"
rm -rf "$work" "$prefix"
mkdir -p "$work" "$prefix/lib/pkgconfig" "$prefix/include" "$prefix/bin"
start=$SECONDS
step() { echo "windows-deps: [$((SECONDS - start)) s] $*" >&2; }

# The dependencies' own toolchain file (the project's, in cmake/, also sets
# up wine and this prefix for the project itself).
cat >"$work/toolchain.cmake" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triple-gcc-posix)
set(CMAKE_CXX_COMPILER $triple-g++-posix)
set(CMAKE_RC_COMPILER $triple-windres)
set(CMAKE_FIND_ROOT_PATH "$prefix" /usr/$triple)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
cmake_cross=(-G "Unix Makefiles" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake"
             -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix")

step "cJSON ${version[cjson]}"
debsrc_extract cjson "$work/cjson"
# A static archive, so no cJSON symbol is exported from the library's DLL;
# CJSON_HIDE_SYMBOLS keeps cJSON.h from declaring its functions dllexport.
mkdir -p "$prefix/include/cjson"
"$triple-gcc-posix" -O2 -DCJSON_HIDE_SYMBOLS -c "$work/cjson/cJSON.c" -o "$work/cjson/cJSON.o"
"$triple-ar" rcs "$prefix/lib/libcjson.a" "$work/cjson/cJSON.o"
cp "$work/cjson/cJSON.h" "$prefix/include/cjson/"
cat >"$prefix/lib/pkgconfig/libcjson.pc" <<EOF
prefix=$prefix
Name: libcjson
Version: ${version[cjson]%%-*}
Description: cJSON, static, built for $triple
Libs: -L\${prefix}/lib -lcjson
Cflags: -I\${prefix}/include -I\${prefix}/include/cjson -DCJSON_HIDE_SYMBOLS
EOF

step "SQLite ${version[sqlite3]}"
debsrc_extract sqlite3 "$work/sqlite3"
# The amalgamation is generated on the host, then compiled once for Windows.
mkdir -p "$work/sqlite3-build"
(cd "$work/sqlite3-build" && "$work/sqlite3/configure" --disable-tcl >"$work/sqlite3.log" 2>&1 &&
  make sqlite3.c >>"$work/sqlite3.log" 2>&1) || { tail -n 40 "$work/sqlite3.log" >&2; exit 1; }
"$triple-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_DEFAULT_FOREIGN_KEYS=0 \
  -c "$work/sqlite3-build/sqlite3.c" -o "$work/sqlite3-build/sqlite3.o"
"$triple-ar" rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3-build/sqlite3.o"
cp "$work/sqlite3-build/sqlite3.h" "$prefix/include/"

step "GoogleTest ${version[googletest]}"
debsrc_extract googletest "$work/googletest"
cmake -S "$work/googletest" -B "$work/googletest-build" "${cmake_cross[@]}" \
  -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >"$work/googletest.log" 2>&1 &&
  cmake --build "$work/googletest-build" -j"$jobs" >>"$work/googletest.log" 2>&1 &&
  cmake --install "$work/googletest-build" >>"$work/googletest.log" 2>&1 ||
  { tail -n 40 "$work/googletest.log" >&2; exit 1; }

step "cpp-httplib ${version[cpp-httplib]}"
debsrc_extract cpp-httplib "$work/cpp-httplib"
# This version compiles its check of IP addresses in certificates out under
# mingw, so verifying https://127.0.0.1 would fail; mingw-w64 has inet_pton.
perl -0pe 's/#ifndef __MINGW32__\n(  if \(inet_pton\(AF_INET6, host_.*?\n)#endif\n/$1/s or die "guard not found\n"' \
  "$work/cpp-httplib/httplib.h" >"$prefix/include/httplib.h"
cat >"$prefix/lib/pkgconfig/cpp-httplib.pc" <<EOF
prefix=$prefix
Name: cpp-httplib
Version: ${version[cpp-httplib]%%+*}
Description: cpp-httplib's single header, for $triple
Requires: openssl
Libs: -lws2_32 -lcrypt32
Cflags: -I\${prefix}/include -DCPPHTTPLIB_OPENSSL_SUPPORT
EOF

step "OpenSSL ${version[openssl]}"
debsrc_extract openssl "$work/openssl"
(cd "$work/openssl" &&
  ./Configure mingw64 --cross-compile-prefix="$triple-" CC=gcc-posix CXX=g++-posix \
    --prefix="$prefix" --libdir=lib no-tests shared >"$work/openssl.log" 2>&1 &&
  make -j"$jobs" build_libs >>"$work/openssl.log" 2>&1 &&
  make install_dev install_runtime_libs >>"$work/openssl.log" 2>&1) ||
  { tail -n 40 "$work/openssl.log" >&2; exit 1; }

step "libcurl ${version[curl]}"
debsrc_extract curl "$work/curl"
cmake -S "$work/curl" -B "$work/curl-build" "${cmake_cross[@]}" \
  -DBUILD_SHARED_LIBS=ON -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF \
  -DCURL_USE_OPENSSL=ON -DCURL_USE_SCHANNEL=OFF -DOPENSSL_ROOT_DIR="$prefix" \
  -DUSE_NGHTTP2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF \
  -DUSE_LIBIDN2=OFF -DCURL_DISABLE_LDAP=ON -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF \
  -DCURL_CA_BUNDLE=none -DCURL_CA_PATH=none >"$work/curl.log" 2>&1 &&
  cmake --build "$work/curl-build" -j"$jobs" >>"$work/curl.log" 2>&1 &&
  cmake --install "$work/curl-build" >>"$work/curl.log" 2>&1 ||
  { tail -n 40 "$work/curl.log" >&2; exit 1; }
# libcurl's DLL needs zlib's at run time.
cp "/usr/$triple/lib/zlib1.dll" "$prefix/bin/"

# The C++ runtime DLLs a Windows host ships beside the library.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  found=$("$triple-g++-posix" -print-file-name="$dll")
  if [ ! -e "$found" ]; then found=$(find /usr/lib/gcc/$triple /usr/$triple -name "$dll" | head -n 1); fi
  cp "$found" "$prefix/bin/"
done

echo "$key_text" >"$prefix/versions.txt"
touch "$prefix/.complete"
rm -rf "$work"
step "done"
echo "$prefix"
