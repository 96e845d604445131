#!/usr/bin/env bash
# The staged demo product as the setup will carry it: it packs with ketro-pack, its Ketro.cts is
# a plain database with one row per principal zone, and once installed (Ketro.cts re-keyed with
# the product's password by ketro-install) Ketro.exe reads every city under Wine.
#   product_test.sh HOST_BIN PRODUCT_DIR SOURCE_LIST ZONE1970
# Run through scripts/with-wine.sh; HOST_BIN holds the native ketro-pack, ketro-install and
# ketro-cts.
set -uo pipefail
bin=${1:?usage: product_test.sh HOST_BIN PRODUCT_DIR SOURCE_LIST ZONE1970}
product=${2:?}
source_list=${3:?}
zone1970=${4:?}
here=$(cd "$(dirname "$0")" && pwd)
run="$here/../../scripts/wine-run.sh"
work=$(mktemp -d "${KET_WINE_BASE:-/tmp}/demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
plain_header() { [ "$(head -c 15 "$1")" = "SQLite format 3" ]; }

# --- the staged folder ------------------------------------------------------------------------
cmp -s "$source_list" "$product/list" || fail "staged list differs from demo/list"
mapfile -t names < <(tr -d '\r' <"$product/list" | grep -v '|K|' | cut -d'|' -f1 | tr '\\' /)
[ "${names[0]:-}" = Ketro.exe ] || fail "the program is not the first file: ${names[0]:-none}"
for name in "${names[@]}"; do
  [ -f "$product/$name" ] || fail "not staged: $name"
done

"$bin/ketro-pack" create --manifest "$product/list" --root "$product" --output "$work/payload.bin" \
  --date '2025-11-10 14:02:50' >"$work/out" 2>&1 || fail "ketro-pack: $(cat "$work/out")"
"$bin/ketro-pack" list "$work/payload.bin" >"$work/entries" 2>&1 || fail "ketro-pack list"
[ "$(wc -l <"$work/entries")" -eq $((${#names[@]} + 1)) ] ||
  fail "$(wc -l <"$work/entries") entries for ${#names[@]} files and the list"
"$bin/ketro-pack" extract "$work/payload.bin" Ketro.exe --output "$work/Ketro.exe" &&
  cmp -s "$work/Ketro.exe" "$product/Ketro.exe" || fail "Ketro.exe does not come back whole"

# --- the staged database ----------------------------------------------------------------------
zones=$(grep -vc '^#' "$zone1970")
cts=$product/Ketro.cts
plain_header "$cts" || fail "staged Ketro.cts is not a plain SQLite file"
"$bin/ketro-cts" check "$cts" >"$work/out" 2>&1 && [ "$(head -n1 "$work/out")" = ok ] ||
  fail "ketro-cts check of the staged file: $(cat "$work/out")"
rows=$(python3 -c 'import sqlite3, sys
print(sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True).execute(
    "SELECT count(*) FROM cities").fetchone()[0])' "$cts" 2>&1)
[ "$rows" = "$zones" ] || fail "staged Ketro.cts: '$rows' cities for $zones zones"

# --- installed: the program reads the encrypted database ---------------------------------------
inst=$work/inst
"$bin/ketro-install" --archive "$work/payload.bin" --dir "$inst" >"$work/out" 2>&1 ||
  fail "ketro-install: $(tail -n3 "$work/out")"
[ -f "$inst/Ketro.exe" ] && [ -f "$inst/Ketro.cts" ] || fail "program or database not installed"
! plain_header "$inst/Ketro.cts" || fail "installed Ketro.cts is not encrypted"
"$bin/ketro-cts" check "$inst/Ketro.cts" >/dev/null 2>&1 && fail "installed Ketro.cts reads without a key"

"$run" "$inst/Ketro.exe" --count >"$work/out" 2>"$work/err"
rc=$?
count=$(tr -d '\r' <"$work/out")
[ "$rc" -eq 0 ] || fail "Ketro.exe --count: exit $rc ($(cat "$work/err"))"
[ "$count" = "$zones" ] || fail "Ketro.exe --count printed '$count', wanted $zones"

# A plain database under the program's password is refused, and a missing one is not created.
mkdir -p "$work/plain" "$work/none"
cp "$inst/Ketro.exe" "$work/plain/" && cp "$cts" "$work/plain/Ketro.cts"
"$run" "$work/plain/Ketro.exe" --count >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 1 ] && [ -s "$work/err" ] || fail "plain database: exit $rc, '$(cat "$work/out" "$work/err")'"
cp "$inst/Ketro.exe" "$work/none/"
"$run" "$work/none/Ketro.exe" --count >"$work/out" 2>"$work/err"
rc=$?
[ "$rc" -eq 1 ] && [ -s "$work/err" ] || fail "missing database: exit $rc, '$(cat "$work/out" "$work/err")'"
[ ! -e "$work/none/Ketro.cts" ] || fail "a missing database was created"
"$run" "$inst/Ketro.exe" --bogus >/dev/null 2>&1
rc=$?
[ "$rc" -eq 2 ] || fail "unknown argument: exit $rc"

if [ "$failures" -ne 0 ]; then
  echo "$failures failures"
  exit 1
fi
echo "demo product: all passed ($zones cities)"
