#!/usr/bin/env bash
# The packaging lane: builds the default lane, then checks what a host gets
# from the installed package, from the installed files alone
# (tests/install/check_install.sh): the headers with only <prefix>/include and
# against a host's headers of the same names, find_package and pkg-config,
# the installed tool, the exported symbols, unloading, the examples, the .deb
# and a static build. Prints the time it took.
#   ./scripts/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
start=$(date +%s)

"$root/scripts/install-deps.sh" --package
dir=$("$root/scripts/build.sh" | tail -n 1)
"$root/tests/install/check_install.sh" "$dir" --deb --static
echo "package: $(($(date +%s) - start)) s"
