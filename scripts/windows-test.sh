#!/usr/bin/env bash
# The Windows lane: cross-builds the dependencies (scripts/windows-deps.sh,
# cached), then the library, the tool, the local gateway and the tests for
# x86_64-w64-mingw32 with warnings as errors, and runs the suite under wine64
# headless in a throw-away wine prefix. Ends with the counts: passed, skipped
# (each with its reason) and failed. Exits non-zero when a test failed.
#   ./scripts/windows-test.sh [-- ctest arguments]
# It skips itself (exit 0, saying so) only where wine cannot be installed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ctest_args=()
if [ "${1:-}" = "--" ]; then shift; ctest_args=("$@"); fi

if ! prefix=$("$root/scripts/windows-deps.sh" | tail -n 1); then
  if [ ! -x /usr/lib/wine/wine64 ] && ! command -v wine64 >/dev/null 2>&1; then
    echo "windows lane: skipped: wine64 cannot be installed on this machine"
    exit 0
  fi
  echo "windows lane: the dependencies did not build" >&2
  exit 1
fi
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine64)

dir="$root/build/windows"
cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DIOTCLOUD_WINDOWS_DEPS="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DIOTCLOUD_WERROR=ON \
  -DIOTCLOUD_BUILD_BENCH=OFF -DIOTCLOUD_INSTALL=OFF >/dev/null
cmake --build "$dir" -j"${JOBS:-2}" >&2

# A fresh prefix for every run: the trust store test adds a root to it.
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/iotcloud-wine-XXXXXX")
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
winepath() { echo "Z:${1//\//\\}"; }
export WINEPATH="$(winepath "$prefix/bin");$(winepath "$dir")"
cleanup() {
  WINEPREFIX="$WINEPREFIX" "$(dirname "$wine")/wineserver64" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
"$wine" wineboot --init >/dev/null 2>&1 || true

cd "$dir"
status=0
ctest --output-on-failure -j"${JOBS:-2}" --timeout 300 --output-junit "$dir/windows-junit.xml" \
  "${ctest_args[@]}" || status=$?

# The counts, from ctest's report; a skipped test's reason is the text
# GoogleTest printed after "Skipped".
python3 - "$dir/windows-junit.xml" <<'EOF'
import re, sys, xml.etree.ElementTree as ET
cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
passed, skipped, failed = 0, [], []
for case in cases:
    name, status = case.get("name"), case.get("status")
    out = "".join(e.text or "" for e in case.iter("system-out"))
    if status == "run":
        passed += 1
    elif status == "disabled" or case.find("skipped") is not None or status == "notrun":
        match = re.search(r"Skipped\n(.*?)\n", out)
        skipped.append((name, match.group(1).strip() if match else "(no reason printed)"))
    else:
        failed.append(name)
print("windows lane: tests under wine:")
for name, reason in skipped:
    print(f"  skipped {name}: {reason}")
for name in failed:
    print(f"  FAILED {name}")
print(f"{passed} passed, {len(failed)} failed, {len(skipped)} skipped")
EOF
exit "$status"
