#!/usr/bin/env bash
# Every test suite there is: the native suites, then the Windows suites on the shipped PE32
# build (build/win32) under 32-bit Wine.
#
# Where this machine's kernel runs 32-bit programs they run here. Where it does not (IA-32
# emulation off, scripts/ia32-probe.sh), they run in an emulated x86 machine that does
# (scripts/ia32-vm.sh: its image is built once per machine, and the suites' time limits are scaled
# there); KET_IA32_VM=1 takes that way on any machine. Never on another build: a quiet switch
# to the x86-64 build is how a 32-bit-only crash once reached users. When neither way can run
# them the Windows suites fail, loudly.
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
way=here
if [ -n "$why" ]; then
  way=vm
elif [ "${KET_IA32_VM:-}" = 1 ]; then
  way=vm why="KET_IA32_VM=1 asks for the emulated machine"
fi
if [ $way = here ]; then
  KET_WINE_ARCH=win32 scripts/with-wine.sh ctest --test-dir build/win32 --output-on-failure 2>&1 |
    tee "$log/win32.txt" || status=1
else
  echo "Windows suites: the shipped PE32 build under 32-bit Wine in an emulated x86 machine" \
    "(scripts/ia32-vm.sh), since $why"
  scripts/ia32-vm.sh scripts/ia32-vm-ctest.sh build/win32 --output-on-failure 2>&1 |
    tee "$log/win32.txt"
  vm_status=${PIPESTATUS[0]}
  if ! grep -qE 'tests passed, [0-9]+ tests failed out of' "$log/win32.txt"; then
    banner "FAILED: the Windows suites did not run: the emulated machine could not run them" \
      "(exit $vm_status; its messages are above, prefixed ia32-vm:)."
    status=1
  elif [ "$vm_status" -ne 0 ]; then
    status=1
  fi
fi

count() { grep -hE 'tests passed, [0-9]+ tests failed out of' "$log"/*.txt 2>/dev/null; }
passed=0 failed=0
while read -r line; do
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
done < <(count)
[ "$failed" -eq 0 ] || status=1
[ $way = here ] || echo "Windows suites: in the emulated machine, since $why."
echo "all suites: $passed passed, $failed failed"
exit $status
