#!/usr/bin/env bash
# The Windows suites of a build folder inside the emulated machine (scripts/ia32-vm.sh):
#   scripts/ia32-vm.sh scripts/ia32-vm-ctest.sh BUILD_DIR [CTEST_ARG...]
# runs `scripts/with-wine.sh ctest --test-dir BUILD_DIR CTEST_ARG...` there, with every test's
# time limit multiplied by KET_VM_TIME_SCALE (default 4 under TCG, 2 under KVM): emulation makes
# the same work several times slower, and the limits stay as they are everywhere else. CTest
# enforces a test's TIMEOUT itself, from the CTestTestfile.cmake files, so those are scaled in
# the guest's throwaway copy of the tree and put back as they were (their time stamps too, so
# that they are not among the results copied back) before the command ends.
set -uo pipefail
[ "${KET_IN_IA32_VM:-}" = 1 ] ||
  { echo "ia32-vm-ctest: runs only inside scripts/ia32-vm.sh (it rewrites the build's test files)" >&2; exit 2; }
dir=${1:?usage: ia32-vm-ctest.sh BUILD_DIR [CTEST_ARG...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
case ${KET_IA32_VM_ACCEL:-tcg} in kvm) scale=${KET_VM_TIME_SCALE:-2} ;; *) scale=${KET_VM_TIME_SCALE:-4} ;; esac

saved=$(mktemp -d)
mapfile -d '' files < <(find "$dir" -name CTestTestfile.cmake -print0)
restore() {
  local f
  for f in "${files[@]}"; do cp -p "$saved/$(printf '%s' "$f" | sha1sum | cut -c1-40)" "$f"; done
  rm -rf "$saved"
}
trap restore EXIT
for f in "${files[@]}"; do
  cp -p "$f" "$saved/$(printf '%s' "$f" | sha1sum | cut -c1-40)"
  perl -pi -e 's/\bTIMEOUT "([0-9.]+)"/sprintf("TIMEOUT \"%d\"", $1 * '"$scale"')/ge' "$f"
done
# The Python the host's CMake found (a pyenv shim, say) is named by its host path in the
# scripts' test commands: there, in this throwaway guest, it is the guest's own.
py=$(sed -n 's/^_\{0,1\}Python3_EXECUTABLE:[A-Z]*=//p' "$dir/CMakeCache.txt" 2>/dev/null)
if [ -n "$py" ] && [ ! -x "$py" ]; then mkdir -p "$(dirname "$py")" && ln -sf /usr/bin/python3 "$py"; fi
# The end-to-end scenarios' own waits read it too.
export KET_VM_TIME_SCALE=$scale
echo "ia32-vm-ctest: time limits x$scale (${KET_IA32_VM_ACCEL:-tcg})"
# Tests without a limit of their own get 1500 s, scaled alike: a hang must not hold the whole run.
KET_WINE_ARCH=win32 "$here/with-wine.sh" ctest --test-dir "$dir" --timeout $((1500 * scale)) "$@"
