#!/usr/bin/env bash
# The main job: starts KetroSetup.exe, the setup with the demo product (or the product that
# `make win32 PAYLOAD=DIR` packed), under 32-bit Wine: always the shipped PE32 program.
#   - Where this machine's kernel runs no 32-bit program (scripts/ia32-probe.sh), it runs in an
#     emulated x86 machine that does (scripts/ia32-vm.sh; its image is built on first use, which
#     takes minutes): the window is photographed there into build/run/KetroSetup.png, whose path
#     is printed, since that machine has no display of ours. KET_IA32_VM=1 takes that way here too.
#   - Otherwise, with a display (DISPLAY set) the window opens there and the job ends when it is
#     closed; without one, a private Xvfb display is used: the job photographs the window into
#     build/run/KetroSetup.png, says where it is, and closes the program.
#   - KET_RUN_LANG=ru shows the window as a Russian system does (a Russian locale for Wine).
# The Wine prefix is a throwaway one under build/run (the program installs into its drive C:).
set -euo pipefail
source "$(dirname "$0")/display.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=build/run
mkdir -p "$out"
exe=build/win32/bin/KetroSetup.exe arch=win32 loader=/usr/lib/wine/wine
server=/usr/lib/wine/wineserver32
[ -f "$exe" ] || { echo "run: $exe is missing; run make win32 first" >&2; exit 1; }

why=$(scripts/ia32-probe.sh --wine 2>&1) || true
[ -n "$why" ] || [ "${KET_IA32_VM:-}" != 1 ] || [ -n "${KET_IN_IA32_VM:-}" ] ||
  why="KET_IA32_VM=1 asks for the emulated machine"
if [ -n "$why" ]; then
  [ -z "${KET_IN_IA32_VM:-}" ] || { echo "run: $why" >&2; exit 1; }
  echo "run: $why: showing the shipped program in an emulated x86 machine (scripts/ia32-vm.sh)"
  [ -z "${DISPLAY:-}" ] || echo "run: that machine cannot open the window on this display; it photographs it instead"
  rm -f "$out/KetroSetup.png"
  scripts/ia32-vm.sh scripts/run.sh "$@" || exit 1
  [ -f "$out/KetroSetup.png" ] || { echo "run: the emulated machine left no picture" >&2; exit 1; }
  echo "run: the shipped program's window, photographed in the emulated machine: $root/$out/KetroSetup.png"
  exit 0
fi
[ -x "$server" ] || server=/usr/lib/wine/wineserver
[ -f "$exe" ] || { echo "run: $exe is missing; run make win32 first" >&2; exit 1; }
file "$exe" 2>/dev/null | sed 's/^/run: /' || true

prefix=$root/$out/prefix-$arch
# In the emulated machine: a copy of its prefix made once, outside the tree (nothing of it is
# wanted back on the host).
[ -z "${KET_IN_IA32_VM:-}" ] || prefix=/tmp/ket-run-prefix
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

# What the window needs of Wine to look as designed (README, "What Wine needs for the window"):
# 1. Wine's own "MS Sans Serif", the bitmap fonts of the fonts-wine package, in the prefix's
#    Fonts folder; Wine loads no bitmap font from anywhere else, and without them the window
#    falls back to another face and scales to other bounds.
# 2. For the Russian window, a Russian system locale (KET_RUN_LANG=ru): Wine then loads the
#    Cyrillic variant of "MS Sans Serif" and reports OEM code page 866, as Russian Windows does.
if [ "${KET_RUN_LANG:-}" = ru ]; then
  installed=$(locale -a 2>/dev/null || true)
  if ! grep -qiE '^ru_RU\.utf-?8$' <<<"$installed"; then
    # Not installed system-wide: made once from the locales package's sources, for Wine only.
    if [ ! -d "$out/locale/ru_RU.UTF-8" ]; then
      mkdir -p "$out/locale"
      localedef -i ru_RU -f UTF-8 "$out/locale/ru_RU.UTF-8" >"$out/localedef.log" 2>&1 || true
    fi
    [ -d "$out/locale/ru_RU.UTF-8" ] ||
      { echo "run: no Russian locale, and localedef could not make one (the locales package)" >&2; exit 1; }
    export LOCPATH=$root/$out/locale
  fi
  export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8 2>/dev/null
fi
if [ ! -d "$prefix/drive_c" ] && [ -n "${KET_WINE_PREFIX_FROM:-}" ]; then
  cp -a "$KET_WINE_PREFIX_FROM" "$prefix"
elif [ ! -d "$prefix/drive_c" ]; then
  echo "run: making the Wine prefix $prefix (once)"
  "$loader" wineboot -i >"$out/wineboot.log" 2>&1
fi
fonts=$prefix/drive_c/windows/Fonts
mkdir -p "$fonts"
compgen -G '/usr/share/wine/fonts/*.fon' >/dev/null ||
  { echo "run: Wine's own fonts are missing (/usr/share/wine/fonts, package fonts-wine)" >&2; exit 1; }
cp -u /usr/share/wine/fonts/*.fon /usr/share/wine/fonts/*.ttf "$fonts/"

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
[ -n "${KET_IN_IA32_VM:-}" ] || echo "run: (with a display, make run opens the window there; Install puts the product into C:\\!KetroNew\\ of $prefix)"
