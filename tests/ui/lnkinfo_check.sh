#!/usr/bin/env bash
# The links the shell link object writes under Wine, read on the host by lnkinfo:
#   lnkinfo_check.sh SHORTCUT_TEST_EXE
# The test program leaves Ketro.lnk in Desktop and Programs of a folder given by KET_LNK_OUT;
# their target must be "C:\!KetroNew\Ketro" and their working directory "C:\!KetroNew\".
set -uo pipefail
exe=${1:?usage: lnkinfo_check.sh SHORTCUT_TEST_EXE}
here=$(cd "$(dirname "$0")" && pwd)
run="$here/../../scripts/wine-run.sh"
out=$(mktemp -d "${KET_WINE_BASE:-/tmp}/lnk.XXXXXX")
trap 'rm -rf "$out"' EXIT

KET_LNK_OUT=$("$KET_WINE" winepath -w "$out" 2>/dev/null | tr -d '\r')
export KET_LNK_OUT
"$run" "$exe" --gtest_filter='*LeavesLinksForTheHost' --gtest_color=no || exit 1

status=0
for link in "$out/Desktop/Ketro.lnk" "$out/Programs/Ketro.lnk"; do
  if [ ! -f "$link" ]; then
    echo "missing: $link"; status=1; continue
  fi
  info=$(lnkinfo "$link")
  echo "$info"
  field() { sed -nE "s/^[[:space:]]*$1[[:space:]]*: (.*)$/\1/p" <<<"$info"; }
  target=$(field 'Local path')
  [ -z "$target" ] && target=$(field 'Relative path')
  workdir=$(field 'Working directory')
  icon=$(field 'Icon location')
  [ "$target" = 'C:\!KetroNew\Ketro' ] || { echo "wrong target: '$target'"; status=1; }
  [ "$workdir" = 'C:\!KetroNew\' ] || { echo "wrong working directory: '$workdir'"; status=1; }
  [ -z "$icon" ] || { echo "unexpected icon location: '$icon'"; status=1; }
done
exit $status
