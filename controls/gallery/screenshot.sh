#!/usr/bin/env bash
# Takes the gallery's screenshot for the documentation:
#   controls/gallery/screenshot.sh [BUILD_DIR] [OUTPUT.png]
# Runs the gallery of BUILD_DIR (build/win64 by default: 64-bit Wine runs everywhere) under a
# throwaway Wine prefix and private display (scripts/with-wine.sh), photographs the screen and
# cuts the window out. Wine's own fonts (package fonts-wine) are put into the prefix first: this
# Wine does not find them by itself, and without them "MS Sans Serif" falls back to DejaVu Sans.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-build/win64}
out=${2:-docs/controls-gallery.png}
cd "$root"
exe="$build/bin/controls-gallery.exe"
[ -f "$exe" ] || { echo "screenshot: no $exe; build it first" >&2; exit 1; }
export KET_SHOT_EXE="$exe" KET_SHOT_OUT="$out"
scripts/with-wine.sh bash -c '
  cp /usr/share/wine/fonts/*.fon /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" \
    2>/dev/null || true
  source scripts/display.sh
  "$KET_WINE" "$KET_SHOT_EXE" >/dev/null 2>&1 </dev/null &
  pid=$!
  ket_window_shot "Controls gallery" "$KET_SHOT_OUT"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
'
echo "screenshot: $out"
