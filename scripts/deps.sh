#!/usr/bin/env bash
# Installs what the build and the tests need; does nothing when all is there (idempotent).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

mapfile -t pkgs < <(grep -vE '^\s*(#|$)' "$here/packages.txt")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# npm comes with the machine's Node.js where it has one; Debian's otherwise.
command -v npm >/dev/null 2>&1 || missing+=(npm)
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
    $sudo_cmd dpkg --add-architecture i386
  fi
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi

"$here/fetch-sqlite.sh" "$root/build/deps"
