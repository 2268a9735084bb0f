#!/usr/bin/env bash
# What a host gets from an installed iotcloud, checked from the installed
# files alone (the packaging lane, scripts/package.sh, runs it):
#  - every installed header compiles on its own, warning-free, with only
#    <prefix>/include on the include path, pulls in no header of libcurl,
#    OpenSSL, cJSON or SQLite, includes the library's other headers only by
#    relative paths, and defines no macro without the IOTCLOUD_ prefix;
#  - a host whose own core/support/Mutex.h (and every other name an iotcloud
#    header has) comes first on its include path still builds, against the
#    installed tree and against the build tree's include/;
#  - find_package(iotcloud 0.2) and pkg-config (with iotcloud.pc alone on
#    PKG_CONFIG_LIBDIR) build a consumer that runs; find_package(iotcloud 0.1)
#    is refused;
#  - the installed tool runs without LD_LIBRARY_PATH, with its manual page
#    and bash completion beside it; the local gateway installs only as its
#    own component;
#  - the library exports exactly the symbols of exported-symbols.txt;
#  - a plugin that links it can be loaded, used, unloaded and loaded again;
#  - the examples build against the installed tree and run against the
#    installed local gateway;
#  - with --deb: cpack builds a .deb that, unpacked into a scratch root,
#    runs its tool;
#  - with --static: a static build installs package files that name its
#    dependencies, and a consumer links it through find_package.
#   check_install.sh BUILD_DIR [--deb] [--static]
set -euo pipefail
build=$(cd "$1" && pwd)
shift
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
deb=false
static=false
for arg in "$@"; do
  case "$arg" in
    --deb) deb=true ;;
    --static) static=true ;;
    *) echo "check_install: unknown option $arg" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d)
gateway_pid=""
cleanup() {
  if [ -n "$gateway_pid" ] && kill -0 "$gateway_pid" 2>/dev/null; then
    kill "$gateway_pid" 2>/dev/null || true
    wait "$gateway_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check_install: $*" >&2
  exit 1
}
step() { echo "check_install: $*"; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
[ ! -e "$prefix/bin/iotcloud-gateway-sim" ] || fail "a full installation holds the local gateway"
include="$prefix/include"
headers=()
while IFS= read -r header; do headers+=("${header#"$include"/}"); done < <(cd "$include" && find "$PWD" -name '*.h' | sort)
[ "${#headers[@]}" -gt 0 ] || fail "no headers installed under $include"

step "${#headers[@]} installed headers, each on its own"
for header in "${headers[@]}"; do
  if ! echo "#include <$header>" |
       g++ -std=c++17 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -H -I"$include" -x c++ - 2>"$work/deps"; then
    cat "$work/deps"
    fail "installed header does not compile on its own, warning-free: $header"
  fi
  if grep -E '/(curl|openssl|cjson)/|sqlite3\.h|httplib' "$work/deps"; then
    fail "installed header needs a library header: $header"
  fi
  if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"](core|platform|iotcloud)/' "$include/$header"; then
    fail "$header includes another iotcloud header by a path a host header could shadow; use a relative one"
  fi
done

step "macros of the installed headers"
for header in "${headers[@]}"; do echo "#include <$header>"; done >"$work/all.cpp"
grep -hoE '^#include <[a-z_]+>' "${headers[@]/#/$include/}" | sort -u >"$work/std.cpp"
g++ -std=c++17 -dM -E -I"$include" "$work/all.cpp" | sort >"$work/macros-all"
g++ -std=c++17 -dM -E "$work/std.cpp" | sort >"$work/macros-std"
if comm -23 "$work/macros-all" "$work/macros-std" | grep -vE '^#define IOTCLOUD_'; then
  fail "installed headers define the macros above; a macro of the library's is named IOTCLOUD_..."
fi

step "a host with headers of the same names first on its include path"
poison="$work/host-include"
for header in "${headers[@]}"; do
  for name in "${header#iotcloud/}" "$(basename "$header")"; do
    mkdir -p "$(dirname "$poison/$name")"
    echo "#error \"the host's own $name was included instead of iotcloud's\"" >"$poison/$name"
  done
done
for tree in "$include" "$build/include"; do
  g++ -std=c++17 -fsyntax-only -I"$poison" -I"$tree" "$here/consumer.cpp" ||
    fail "a host header shadowed an iotcloud header of $tree"
done

step "find_package(iotcloud 0.2)"
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"
if cmake -S "$here" -B "$work/cmake-0.1" -DCMAKE_PREFIX_PATH="$prefix" -DIOTCLOUD_CONSUMER_VERSION=0.1 \
     >"$work/cmake-0.1.log" 2>&1; then
  fail "find_package(iotcloud 0.1) accepted version 0.2: the API changes with every minor version before 1.0"
fi

step "pkg-config with iotcloud.pc alone"
flags=$(PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" pkg-config --cflags --libs iotcloud) ||
  fail "pkg-config cannot use iotcloud.pc on its own"
normalised=""
for flag in $flags; do
  case "$flag" in
    -I* | -L*) flag="${flag:0:2}$(realpath -m "${flag:2}")" ;;
  esac
  normalised="${normalised:+$normalised }$flag"
done
[ "$normalised" = "-I$(realpath "$include") -L$(realpath "$prefix/lib") -liotcloud" ] ||
  fail "pkg-config gives '$flags': only the prefix's include and lib folders and -liotcloud belong there"
# shellcheck disable=SC2086
g++ -std=c++17 "$here/consumer.cpp" $flags -o "$work/pc-consumer"
LD_LIBRARY_PATH="$prefix/lib" "$work/pc-consumer"

step "the installed tool"
env -u LD_LIBRARY_PATH "$prefix/bin/iotcloud" --version >"$work/version" || fail "the installed tool does not run"
grep -q "^iotcloud [0-9]" "$work/version" || fail "iotcloud --version printed: $(cat "$work/version")"
for file in share/man/man1/iotcloud.1 share/bash-completion/completions/iotcloud; do
  [ -s "$prefix/$file" ] || fail "$file is not installed"
done
cmake --install "$build" --prefix "$prefix" --component gateway >/dev/null
[ -x "$prefix/bin/iotcloud-gateway-sim" ] || fail "the gateway component installs no iotcloud-gateway-sim"

step "exported symbols"
"$here/check_exports.sh" "$prefix/lib/libiotcloud.so" "$here/exported-symbols.txt"

step "a plugin that links the library: load, use, unload, load again"
if readelf -sW --dyn-syms "$prefix/lib/libiotcloud.so" | grep -w UNIQUE; then
  fail "libiotcloud exports the STB_GNU_UNIQUE symbols above: no process could unload it"
fi
"$work/cmake/loader" "$work/cmake/plugin.so"

step "the examples, built against the installed tree, against the installed local gateway"
cmake -S "$source_dir/examples" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/examples" -j2 >/dev/null
"$prefix/bin/iotcloud-gateway-sim" --port 0 --tls-dir "$work/gateway" --port-file "$work/gateway.port" --quiet \
  >"$work/gateway.out" 2>&1 &
gateway_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/gateway.port" ] && break
  kill -0 "$gateway_pid" 2>/dev/null || fail "the local gateway did not start: $(cat "$work/gateway.out")"
  sleep 0.1
done
[ -s "$work/gateway.port" ] || fail "the local gateway did not start within 10 s"
gateway="127.0.0.1:$(cat "$work/gateway.port")"
for example in blocking_lookup async_lookup own_platform; do
  (cd "$work" && "$work/examples/$example" "$gateway" "$work/gateway/ca.pem") >"$work/$example.out" 2>&1 ||
    { cat "$work/$example.out"; fail "example $example failed"; }
  echo "  $example: $(tail -n 1 "$work/$example.out")"
done

if $deb; then
  step "the .deb"
  cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
  package=$(find "$work/deb" -maxdepth 1 -name '*.deb' | head -n 1)
  [ -n "$package" ] || fail "cpack made no .deb"
  dpkg-deb -c "$package" >"$work/deb-files"
  for file in ./usr/bin/iotcloud ./usr/include/iotcloud/core/api/smart/framework/IotGlobalActivation.h \
              ./usr/lib/pkgconfig/iotcloud.pc ./usr/lib/cmake/iotcloud/iotcloudConfig.cmake \
              ./usr/share/man/man1/iotcloud.1; do
    grep -q " $file" "$work/deb-files" || fail "the .deb lacks $file"
  done
  ! grep -q 'iotcloud-gateway-sim' "$work/deb-files" || fail "the .deb holds the local gateway"
  dpkg -x "$package" "$work/root"
  env -u LD_LIBRARY_PATH "$work/root/usr/bin/iotcloud" --version ||
    fail "the tool unpacked from the .deb does not run"
  echo "  $(basename "$package"): $(grep -c . "$work/deb-files") entries, Depends: $(dpkg-deb -f "$package" Depends)"
fi

if $static; then
  step "a static build"
  cmake -S "$source_dir" -B "$work/static" -DCMAKE_BUILD_TYPE=Release -DIOTCLOUD_SHARED=OFF \
    -DIOTCLOUD_BUILD_TESTS=OFF -DIOTCLOUD_BUILD_TOOLS=OFF -DIOTCLOUD_BUILD_BENCH=OFF -DIOTCLOUD_BUILD_EXAMPLES=OFF \
    >/dev/null
  cmake --build "$work/static" -j2 --target iotcloud >/dev/null
  cmake --install "$work/static" --prefix "$work/static-prefix" >/dev/null
  [ -f "$work/static-prefix/lib/libiotcloud.a" ] || fail "the static build installs no libiotcloud.a"
  cmake -S "$here" -B "$work/static-cmake" -DCMAKE_PREFIX_PATH="$work/static-prefix" >/dev/null
  cmake --build "$work/static-cmake" --target consumer >/dev/null
  "$work/static-cmake/consumer"
  # pkg-config --static names what the archive needs. (Linking with all of it
  # would take the static archives of libcurl's own dependencies, which
  # Debian's libcurl.pc lists.)
  static_flags=$(PKG_CONFIG_PATH="$work/static-prefix/lib/pkgconfig" pkg-config --static --libs iotcloud)
  for library in -liotcloud -lcurl -lssl -lcrypto -lcjson -lsqlite3; do
    [[ " $static_flags " == *" $library "* ]] || fail "pkg-config --static --libs iotcloud lacks $library"
  done
  [[ " $(PKG_CONFIG_PATH="$work/static-prefix/lib/pkgconfig" pkg-config --libs iotcloud) " != *" -lcurl "* ]] ||
    fail "pkg-config --libs iotcloud names libcurl without --static"
fi
step "all checks passed"
