#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy, every warning an error) over the
# library's and the tools' sources, with the default lane's compile commands.
# Also checks that the tree is formatted as .clang-format says.
#   ./scripts/tidy.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$("$root/scripts/build.sh" | tail -n 1)
cd "$root"

status=0
if ! git ls-files 'src/*.cpp' 'src/*.h' 'tools/*.cpp' 'tools/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'fuzz/*.cpp' |
     xargs clang-format --dry-run --Werror; then
  echo "tidy: files above are not formatted (clang-format -i FILE)"
  status=1
fi
# clang-tidy counts the warnings it suppressed on stderr; only findings matter.
# Sources for Windows (*/win/*) have no compile commands here; the windows
# lane compiles them with warnings as errors.
if ! git ls-files 'src/*.cpp' 'tools/*.cpp' | grep -v '/win/' |
     xargs -P"$(nproc)" -n4 clang-tidy -p "$dir" --quiet 2> >(grep -v -E '^[0-9]+ warnings? generated\.$' >&2); then
  echo "tidy: clang-tidy found problems"
  status=1
fi
[ "$status" -eq 0 ] && echo "tidy: clean"
exit "$status"
