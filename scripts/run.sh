#!/usr/bin/env bash
# The main job: starts KetroSetup.exe, the setup with the demo product (or the product that
# `make win32 PAYLOAD=DIR` packed), under Wine.
#   - It runs the shipped 32-bit build under 32-bit Wine. Where 32-bit programs cannot run (no
#     wine32, or a kernel without IA-32 emulation) it stops and says why; KET_ALLOW_NO_WIN32=1
#     shows the x86-64 build of the same sources instead.
#   - With a display (DISPLAY set) the window opens there and the job ends when it is closed.
#   - Without one, a private Xvfb display is used: the job photographs the window into
#     build/run/KetroSetup.png, says where it is, and closes the program.
# The Wine prefix is a throwaway one under build/run (the program installs into its drive C:).
set -euo pipefail
source "$(dirname "$0")/display.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=build/run
mkdir -p "$out"

why=$(scripts/ia32-probe.sh --wine 2>&1) || true
if [ -z "$why" ]; then
  exe=build/win32/bin/KetroSetup.exe arch=win32 loader=/usr/lib/wine/wine
  server=/usr/lib/wine/wineserver32
elif [ "${KET_ALLOW_NO_WIN32:-}" = 1 ]; then
  echo "run: $why; KET_ALLOW_NO_WIN32=1: showing the x86-64 build of the same sources, not the shipped program"
  make --no-print-directory win64 PAYLOAD="${PAYLOAD:-}" >/dev/null
  exe=build/win64/bin/KetroSetup.exe arch=win64 loader=/usr/lib/wine/wine64
  server=/usr/lib/wine/wineserver64
else
  echo "run: the shipped program is 32-bit and cannot run here: $why." >&2
  echo "run: KET_ALLOW_NO_WIN32=1 make run shows the x86-64 build of the same sources instead." >&2
  exit 1
fi
[ -x "$server" ] || server=/usr/lib/wine/wineserver
[ -f "$exe" ] || { echo "run: $exe is missing; run make win32 first" >&2; exit 1; }
file "$exe" 2>/dev/null | sed 's/^/run: /' || true

prefix=$root/$out/prefix-$arch
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINELOADER=$loader WINESERVER=$server
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export HOME=$root/$out/home
mkdir -p "$HOME/Desktop"

xvfb_pid=""
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

headless=""
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  ket_start_xvfb "$out/xvfb.log"
  xvfb_pid=$ket_xvfb_pid
fi

if [ ! -d "$prefix/drive_c" ]; then
  echo "run: making the Wine prefix $prefix (once)"
  "$loader" wineboot -i >"$out/wineboot.log" 2>&1
  # Wine's own "MS Sans Serif": without it the window's font falls back to another face.
  cp /usr/share/wine/fonts/*.fon /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" \
    2>/dev/null || true
fi

echo "run: starting $exe"
"$loader" "$exe" "$@" >"$out/setup.log" 2>&1 </dev/null &
pid=$!
if [ -z "$headless" ]; then
  wait "$pid" && echo "run: the setup ended with exit code 0"
  exit 0
fi

shot=$out/KetroSetup.png
if ! ket_window_shot "Ketro FULL" "$shot"; then
  echo "run: the setup window did not appear; see $out/setup.log" >&2
  exit 1
fi
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
echo "run: no display here, so the window was shown on a private one; its picture: $shot"
echo "run: (with a display, make run opens the window there; Install puts the product into C:\\!KetroNew\\ of $prefix)"
