#!/usr/bin/env bash
# Rewrites the library includes of installed headers ("core/..." and
# "platform/..." below src/) into paths relative to the including header, so
# that an installed header always finds its siblings first and never a host
# header of the same name earlier on the include path.
#   scripts/relative-includes.sh src/core/support/Mutex.h ...
# Files that are not under src/ are refused; included files must exist.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
for header in "$@"; do
  path=$(realpath -m "$header")
  case "$path" in
    "$root"/src/*) ;;
    *) echo "relative-includes: $header is not under src/" >&2; status=1; continue ;;
  esac
  dir=$(dirname "$path")
  tmp=$(mktemp)
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ "$line" =~ ^#include\ \"((core|platform)/[^\"]+)\"(.*)$ ]]; then
      target="$root/src/${BASH_REMATCH[1]}"
      if [ ! -f "$target" ]; then
        echo "relative-includes: $header includes ${BASH_REMATCH[1]}, which is not in src/" >&2
        status=1
      fi
      line="#include \"$(realpath -m --relative-to="$dir" "$target")\"${BASH_REMATCH[3]}"
    fi
    printf '%s\n' "$line"
  done <"$path" >"$tmp"
  if cmp -s "$tmp" "$path"; then rm -f "$tmp"; else cat "$tmp" >"$path"; rm -f "$tmp"; fi
done
exit "$status"
