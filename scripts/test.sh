#!/usr/bin/env bash
# Installs what is missing (with the servers the tests start), builds and runs
# the whole test suite.
#   ./scripts/test.sh                          default build
#   ./scripts/test.sh --sanitize=address,undefined
#   ./scripts/test.sh --sanitize=thread
# Extra arguments after -- go to ctest (e.g. -- -R Region).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build_args=()
ctest_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --) shift; ctest_args=("$@"); break ;;
    *) build_args+=("$1"); shift ;;
  esac
done

# The suite starts its own proxy and web server.
"$root/scripts/install-deps.sh" --proxy
dir=$("$root/scripts/build.sh" "${build_args[@]}" | tail -n 1)

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0:suppressions=$root/tests/sanitizer/tsan.supp"

cd "$dir"
ctest --output-on-failure -j"$(nproc)" --timeout 300 "${ctest_args[@]}"
