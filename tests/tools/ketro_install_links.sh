#!/usr/bin/env bash
# ketro-install writes the edition's links into --desktop-dir and --programs-dir, and lnkinfo
# reads back their target and working directory:
#   ketro_install_links.sh KETRO_PACK KETRO_INSTALL
set -uo pipefail
pack=${1:?usage: ketro_install_links.sh KETRO_PACK KETRO_INSTALL}
install=${2:?}
tmp=$(mktemp -d /tmp/ket-links.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
status=0
fail() { echo "FAIL: $*"; status=1; }

# A small product of our own in the shipped manifest form, with the program the links start
# (a link is made only when its target is in the folder).
product=$tmp/product
mkdir -p "$product/data"
printf '%s\r\n' 'Ketro.exe||#|program' 'readme.txt||#|about' 'data\cities.txt|P|#|cities' \
  'data\old|K|' >"$product/list"
printf 'content of %s\n' readme.txt >"$product/readme.txt"
printf 'program\n' >"$product/Ketro.exe"
printf 'content of %s\n' data/cities.txt >"$product/data/cities.txt"
"$pack" create --manifest "$product/list" --root "$product" --output "$tmp/payload.bin" >/dev/null ||
  { echo "ketro-pack failed"; exit 1; }

field() { lnkinfo "$1" | sed -nE "s/^[[:space:]]*$2[[:space:]]*: (.*)$/\1/p"; }
# The folder as a Windows program under Wine sees it.
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# Both links, for a folder name with a space, given relative to the current folder.
mkdir -p "$tmp/Desktop" "$tmp/Programs"
(cd "$tmp" && "$install" --archive payload.bin --dir "Ketro Install" --desktop-dir Desktop \
  --programs-dir Programs >/dev/null) || fail "install with both links"
for link in "$tmp/Desktop/Ketro.lnk" "$tmp/Programs/Ketro.lnk"; do
  [ -f "$link" ] || { fail "no $link"; continue; }
  target=$(field "$link" 'Local path')
  workdir=$(field "$link" 'Working directory')
  [ "$target" = "$(winpath "$tmp/Ketro Install")\\Ketro" ] || fail "target '$target'"
  [ "$workdir" = "$(winpath "$tmp/Ketro Install")\\" ] || fail "working directory '$workdir'"
  [ -z "$(field "$link" 'Icon location')" ] || fail "icon location in $link"
done

# Only the Start-menu link; the desktop folder stays empty.
mkdir -p "$tmp/d2" "$tmp/p2"
"$install" --archive "$tmp/payload.bin" --dir "$tmp/second" --no-desktop \
  --desktop-dir "$tmp/d2" --programs-dir "$tmp/p2" >/dev/null || fail "install without desktop"
[ -z "$(ls -A "$tmp/d2")" ] || fail "a desktop link despite --no-desktop"
[ "$(field "$tmp/p2/Ketro.lnk" 'Local path')" = "$(winpath "$tmp/second")\\Ketro" ] ||
  fail "Start-menu link of the second install"

# No folders given: no links anywhere.
mkdir -p "$tmp/cwd"
(cd "$tmp/cwd" && "$install" --archive "$tmp/payload.bin" --dir "$tmp/third" >/dev/null) ||
  fail "install without link folders"
[ -z "$(find "$tmp" -name '*.lnk' -newer "$tmp/p2/Ketro.lnk")" ] || fail "links without folders"

[ $status -eq 0 ] && echo "ketro-install links: all checks passed"
exit $status
