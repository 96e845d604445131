#!/usr/bin/env bash
# CTest's emulator for Windows programs: runs PROGRAM under Wine in the prefix prepared by
# scripts/with-wine.sh and passes on its output and exit code. Output goes through files, since
# Wine's services can keep an inherited pipe open after the program has ended.
set -uo pipefail
if [ -z "${WINEPREFIX:-}" ]; then
  echo "wine-run: no WINEPREFIX; run the tests through scripts/with-wine.sh" >&2
  exit 2
fi
out=$(mktemp "${KET_WINE_BASE:-/tmp}/run.XXXXXX")
"${KET_WINE:?run the tests through scripts/with-wine.sh}" "$@" >"$out.1" 2>"$out.2" </dev/null
rc=$?
cat "$out.1"
cat "$out.2" >&2
rm -f "$out" "$out.1" "$out.2"
exit $rc
