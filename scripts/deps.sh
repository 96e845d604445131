#!/usr/bin/env bash
# Installs what the build and the tests need; does nothing when all is there (idempotent).
# scripts/packages.txt lists what every target needs; scripts/packages-optional.txt what only
# some jobs use (32-bit Wine for running the shipped PE32 program): when the package lists for
# those cannot be had (a mirror in the middle of a sync, say), the rest still installs and the
# jobs fall back to the 64-bit test build.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"

missing_from() {
  local p
  while read -r p; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done < <(grep -vE '^\s*(#|$)' "$1")
}

updated=""
apt_update() {
  [ -n "$updated" ] && return 0
  # One index that fails (seen: a security mirror's i386 list mid-sync) must not stop the
  # packages whose lists did arrive; a retry often gets a consistent copy.
  local try
  for try in 1 2 3; do
    $sudo_cmd apt-get update -qq && break
    echo "deps: apt-get update failed (try $try of 3)" >&2
    sleep $((try * 5))
  done
  updated=1
}
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "$@" \
    >/dev/null
}

mapfile -t missing < <(missing_from "$here/packages.txt")
# npm comes with the machine's Node.js where it has one; Debian's otherwise.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  apt_update
  apt_install "${missing[@]}"
fi

mapfile -t optional < <(missing_from "$here/packages-optional.txt")
if ((${#optional[@]})); then
  echo "deps: installing ${optional[*]}"
  if printf '%s\n' "${optional[@]}" | grep -q ':i386$' &&
    ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
    updated=""
  fi
  apt_update
  apt_install "${optional[@]}" ||
    echo "deps: could not install ${optional[*]}; the shipped 32-bit program will not run here," \
      "make run shows the 64-bit build instead" >&2
fi

"$here/fetch-sqlite.sh" "$root/build/deps"
