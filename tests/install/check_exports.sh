#!/usr/bin/env bash
# Compares the symbols a shared libiotcloud exports (nm -D --defined-only,
# demangled, std::string spelled so, one per line, sorted) with the list kept
# in the repository, and prints the difference: "+" exported but not listed
# (an accidental export, or new API to review), "-" listed but no longer
# exported. With --update it writes the list instead.
#   check_exports.sh LIBRARY LIST [--update]
# The build target iotcloud-update-exports runs the --update form.
set -euo pipefail
library=$1
list=$2
mode=${3:-}

exports() {
  nm -D --defined-only "$library" | awk '{ print $NF }' | c++filt |
    sed 's/std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >/std::string/g' |
    LC_ALL=C sort -u
}

actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
exports >"$actual"
if [ "$mode" = --update ]; then
  diff -u --label "listed before" --label "exported now" "$list" "$actual" || true
  cp "$actual" "$list"
  echo "check_exports: wrote $(wc -l <"$list") symbols to $list; review the difference above"
  exit 0
fi
if ! diff -u --label "listed ($list)" --label "exported ($library)" "$list" "$actual"; then
  echo "check_exports: the library exports another set of symbols than $list lists."
  echo "  A private member or an internal helper marked '+': keep it inside (cmake/iotcloud.map)."
  echo "  New or changed API: cmake --build <build folder> --target iotcloud-update-exports, review, commit."
  exit 1
fi
echo "check_exports: $(wc -l <"$actual") symbols, as listed"
