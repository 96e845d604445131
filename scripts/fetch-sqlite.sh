#!/usr/bin/env bash
# Fetches the SQLite 3.49.2 amalgamation from the npm registry tarball of better-sqlite3@11.10.0
# into DEST/sqlite3 and checks it against the pinned SHA-256 sums. Idempotent.
set -euo pipefail
dest=${1:?usage: fetch-sqlite.sh DEST}
c_sum=e80215754ac6cfaefe272342efd581b6dbefdbdc21f96bd83fcb698bee9d36a5
h_sum=2198c66d4c59ae86421590c27fd53309ec14a595ae31c0c7143247444018a0bd
out="$dest/sqlite3"

verify() {
  [ -f "$out/sqlite3.c" ] && [ -f "$out/sqlite3.h" ] &&
    echo "$c_sum  $out/sqlite3.c" | sha256sum -c --status &&
    echo "$h_sum  $out/sqlite3.h" | sha256sum -c --status
}
verify && exit 0

mkdir -p "$dest"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && npm pack --silent better-sqlite3@11.10.0 >/dev/null)
tar -xzf "$tmp"/better-sqlite3-11.10.0.tgz -C "$tmp" package/deps/sqlite3/sqlite3.c \
  package/deps/sqlite3/sqlite3.h
mkdir -p "$out"
cp "$tmp/package/deps/sqlite3/sqlite3.c" "$tmp/package/deps/sqlite3/sqlite3.h" "$out/"
if ! verify; then
  rm -f "$out/sqlite3.c" "$out/sqlite3.h"
  echo "fetch-sqlite: checksum mismatch for the SQLite amalgamation" >&2
  exit 1
fi
echo "fetch-sqlite: SQLite amalgamation in $out"
