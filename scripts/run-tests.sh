#!/usr/bin/env bash
# Every test suite there is: the native suites, then the Windows suites under 32-bit Wine on the
# shipped PE32 build (build/win32).
#
# Where 32-bit Wine cannot run (not installed, or a kernel without IA-32 emulation) the Windows
# suites fail, loudly: a quiet switch to another build is how a 32-bit-only crash once reached
# users. KET_ALLOW_NO_WIN32=1 says the caller knows; the same suites then run on the x86-64 build
# under 64-bit Wine, which still tests the Windows layers but not the shipped program.
# Prints one closing line "N passed, N failed" over all suites.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
log=build/test-logs
mkdir -p "$log"
rm -f "$log"/*.txt

status=0
ctest --test-dir build/native --output-on-failure -j "$(nproc)" 2>&1 | tee "$log/native.txt" || status=1

why=$(scripts/ia32-probe.sh --wine 2>&1) || true

banner() { printf '\n%s\n%s\n%s\n\n' "########" "$*" "########"; }
if [ -z "$why" ]; then
  KET_WINE_ARCH=win32 scripts/with-wine.sh ctest --test-dir build/win32 --output-on-failure 2>&1 |
    tee "$log/win32.txt" || status=1
elif [ "${KET_ALLOW_NO_WIN32:-}" = 1 ]; then
  banner "THE SHIPPED 32-BIT PROGRAM WAS NOT TESTED: $why." \
    "KET_ALLOW_NO_WIN32=1: the Windows suites run on the x86-64 build (build/win64) instead."
  make --no-print-directory win64 PAYLOAD="${PAYLOAD:-}" || status=1
  KET_WINE_ARCH=win64 scripts/with-wine.sh ctest --test-dir build/win64 --output-on-failure 2>&1 |
    tee "$log/win64.txt" || status=1
else
  banner "FAILED: the Windows suites must run the shipped 32-bit program, and here they cannot: $why." \
    "Set KET_ALLOW_NO_WIN32=1 to run them on the x86-64 build instead (that does not test the shipped program)."
  status=1
fi

count() { grep -hE 'tests passed, [0-9]+ tests failed out of' "$log"/*.txt 2>/dev/null; }
passed=0 failed=0
while read -r line; do
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
done < <(count)
[ "$failed" -eq 0 ] || status=1
[ -z "$why" ] || banner "Windows suites: $([ -f "$log/win64.txt" ] && echo "x86-64 build only" || echo "not run"): $why."
echo "all suites: $passed passed, $failed failed"
exit $status
