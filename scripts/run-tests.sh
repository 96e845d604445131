#!/usr/bin/env bash
# Every test suite there is: the native suites, then the Windows suites under Wine (the win64
# build: see scripts/with-wine.sh).
# Prints one closing line "N passed, N failed" over all suites.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log=build/test-logs
mkdir -p "$log"

status=0
ctest --test-dir build/native --output-on-failure -j "$(nproc)" 2>&1 | tee "$log/native.txt" || status=1
scripts/with-wine.sh ctest --test-dir build/win64 --output-on-failure 2>&1 | tee "$log/win64.txt" || status=1

count() { grep -hE 'tests passed, [0-9]+ tests failed out of' "$@" 2>/dev/null; }
passed=0 failed=0
while read -r line; do
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
done < <(count "$log/native.txt" "$log/win64.txt")
[ "$failed" -eq 0 ] || status=1
echo "all suites: $passed passed, $failed failed"
exit $status
