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
# The prefix's wineserver went away under the program (Wine says "wine client error" and the
# program never ran its own code; seen twice among this project's many runs, in two programs).
# That is Wine failing, not the program: the persistent server is started again and the program
# run once more, saying so. A second such failure stands.
if [ "$rc" -ne 0 ] && grep -q '^wine client error' "$out.2"; then
  echo "wine-run: the wineserver went away under $1 (Wine's words below); running it once more" >&2
  cat "$out.2" >&2
  "${WINESERVER:-wineserver}" -p >/dev/null 2>&1 || true
  "$KET_WINE" "$@" >"$out.1" 2>"$out.2" </dev/null
  rc=$?
fi
cat "$out.1"
cat "$out.2" >&2
# Wine's own word that the program died, whatever the exit code says: with the automatic
# debugger attached (it is there for the backtrace) a program killed by an unhandled exception
# leaves with 0 or with the exception code's low byte, by the debugger's timing. Removing the
# debugger does not help: Wine then starts winedbg all the same.
if grep -q '^wine: Unhandled' "$out.2" && [ "$rc" -eq 0 ]; then
  echo "wine-run: $1 died of an unhandled exception (see Wine's report above)" >&2
  rc=1
fi
rm -f "$out" "$out.1" "$out.2"
exit $rc
