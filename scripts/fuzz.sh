#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a
# bounded time, starting from its seed corpus in fuzz/corpus/<target>/ when
# there is one. FUZZ_SECONDS sets the time per target (default 60).
#   ./scripts/fuzz.sh [target ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${FUZZ_SECONDS:-60}"

"$root/scripts/install-deps.sh" --fuzz
dir=$("$root/scripts/build.sh" --fuzz | tail -n 1)
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  for f in "$dir"/fuzz/*_fuzz; do [ -x "$f" ] && targets+=("$(basename "$f")"); done
fi
if [ "${#targets[@]}" -eq 0 ]; then
  echo "fuzz: no targets"
  exit 0
fi

passed=0
failed=0
for t in "${targets[@]}"; do
  work=$(mktemp -d)
  corpus=()
  [ -d "$root/fuzz/corpus/$t" ] && corpus=("$root/fuzz/corpus/$t")
  echo "fuzz: $t for ${seconds}s"
  if "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$work/" "$work" "${corpus[@]}" >"$work/log" 2>&1; then
    passed=$((passed + 1))
    grep -E 'stat::number_of_executed_units' "$work/log" || true
  else
    failed=$((failed + 1))
    tail -n 60 "$work/log"
    ls "$work" | grep -E '^(crash|leak|timeout|oom)-' || true
  fi
  rm -rf "$work"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
