#!/usr/bin/env bash
# Runs install_faults_test.exe under Wine in a scene that only the host can make: Linux symbolic
# links inside the prefix's drive C: (Wine's CreateSymbolicLinkW makes none), and, as root, a
# drive T: that is a 1 MiB tmpfs of its own (a link in the prefix's dosdevices).
#   install_faults_check.sh TEST_EXE [GTEST_ARGS...]   (inside scripts/with-wine.sh)
set -uo pipefail
exe=$1
shift
[ -n "${WINEPREFIX:-}" ] && [ -n "${KET_WINE:-}" ] ||
  { echo "install_faults_check: run through scripts/with-wine.sh" >&2; exit 2; }
base=$(mktemp -d "$WINEPREFIX/drive_c/ket-faults.XXXXXX")
drive=""
cleanup() {
  [ -n "$drive" ] && rm -f "$WINEPREFIX/dosdevices/t:" && umount "$drive"
  rm -rf "$base"
}
trap cleanup EXIT

l=$base/links
mkdir -p "$l/inst/mask" "$l/out/old" "$l/out/d"
printf outside >"$l/out/target.txt" && chmod 444 "$l/out/target.txt"
printf outside >"$l/out/old/a.tmp"
ln -s "$l/out" "$l/inst/linked"
ln -s "$l/out/target.txt" "$l/inst/file.txt"
ln -s "$l/out/old" "$l/inst/old"
ln -s "$l/out/d" "$l/inst/mask/dir"
export KET_LINKS_DIR="C:\\${base##*/}\\links\\"

if [ "$(id -u)" -eq 0 ] && [ ! -e "$WINEPREFIX/dosdevices/t:" ] && mkdir -p "$base/full" &&
  mount -t tmpfs -o size=1m tmpfs "$base/full"; then
  drive=$base/full
  ln -s "$drive" "$WINEPREFIX/dosdevices/t:"
  export KET_FULL_DRIVE='T:\'
else
  echo "note: no small drive (a tmpfs needs root); the full-drive case is skipped"
fi
"$KET_WINE" "$exe" "$@"
