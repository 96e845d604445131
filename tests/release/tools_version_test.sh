#!/usr/bin/env bash
# --version of the three build-machine tools: "TOOL (PRODUCT) VERSION", exit 0, with the
# product name and version of the generated ket_version.h, whose version is version.cmake's.
#
#   tools_version_test.sh HEADER VERSION TOOL...
set -uo pipefail
header=$1 version=$2
shift 2
value() { sed -n "s/^#define $1 \"\\(.*\\)\"\$/\\1/p" "$header"; }
product=$(value KET_PRODUCT_NAME)
text=$(value KET_VERSION_TEXT)
failures=0
fail() { echo "tools_version_test: FAILED: $*" >&2; failures=$((failures + 1)); }

[ -n "$product" ] && [ -n "$text" ] || fail "$header has no product name or version text"
# The header's four numbers are version.cmake's, missing ones 0.
IFS=. read -r -a given <<<"$version"
IFS=. read -r -a shown <<<"$text"
[ ${#shown[@]} -eq 4 ] || fail "version text $text has not four numbers"
for i in 0 1 2 3; do
  [ "${shown[$i]:-}" = "$((10#${given[$i]:-0}))" ] || fail "version text $text is not $version"
done

for tool in "$@"; do
  name=$(basename "$tool")
  out=$("$tool" --version 2>&1)
  rc=$?
  [ $rc -eq 0 ] || fail "$name --version exited $rc"
  [ "$out" = "$name ($product) $text" ] || fail "$name --version printed '$out'"
done
[ $failures -eq 0 ] || exit 1
echo "tools_version_test: $# tools print $product $text"
