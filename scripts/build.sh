#!/usr/bin/env bash
# Configures and builds one lane into build/<lane>. Used by test.sh, demo.sh
# and fuzz.sh; prints the build folder on its last line.
#   scripts/build.sh [--sanitize=LIST] [--fuzz] [--release] [--target=NAME]...
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sanitize=""
fuzz=OFF
type=RelWithDebInfo
targets=()
for arg in "$@"; do
  case "$arg" in
    --sanitize=*) sanitize="${arg#--sanitize=}" ;;
    --fuzz) fuzz=ON ;;
    --release) type=Release ;;
    --target=*) targets+=(--target "${arg#--target=}") ;;
    *) echo "build.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

"$root/scripts/install-deps.sh"

lane=default
extra=()
if [ "$fuzz" = ON ]; then
  lane=fuzz
  extra+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DIOTCLOUD_BUILD_FUZZ=ON
          -DIOTCLOUD_BUILD_TESTS=OFF -DIOTCLOUD_BUILD_BENCH=OFF -DIOTCLOUD_BUILD_TOOLS=OFF -DIOTCLOUD_BUILD_EXAMPLES=OFF
          -DIOTCLOUD_SANITIZE=address,undefined)
elif [ -n "$sanitize" ]; then
  lane="san-${sanitize//,/-}"
  extra+=(-DIOTCLOUD_SANITIZE="$sanitize" -DIOTCLOUD_BUILD_BENCH=OFF)
fi
dir="$root/build/$lane"
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DIOTCLOUD_WERROR=ON "${extra[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}" >&2
echo "$dir"
