#!/usr/bin/env bash
# Runs a command inside a throwaway Wine prefix with a private X display:
#   scripts/with-wine.sh COMMAND [ARG...]
# KET_WINE_ARCH picks the prefix: win32 (the default) is 32-bit Wine, which runs the shipped PE32
# program (build/win32); win64 is 64-bit Wine for the x86-64 build of the same sources, used only
# where 32-bit programs cannot run at all (see scripts/run-tests.sh). A win32 prefix that cannot
# be had is an error, never a quiet switch to the other build.
# Exports KET_WINE (the loader to run programs with), WINELOADER, WINESERVER, WINEPREFIX,
# WINEARCH, WINEDEBUG, WINEDLLOVERRIDES, HOME and DISPLAY for the command,
# keeps one wineserver alive for the whole command (so each program starts in about a second),
# and removes everything it made when the command ends. Set KET_KEEP_PREFIX=1 to keep the prefix.
# KET_WINE_PREFIX_FROM=DIR copies the win32 prefix DIR instead of making one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/display.sh"
[ $# -ge 1 ] || { echo "usage: with-wine.sh COMMAND [ARG...]" >&2; exit 2; }

arch=${KET_WINE_ARCH:-win32}
case $arch in
  win32)
    loader=/usr/lib/wine/wine server=/usr/lib/wine/wineserver32
    "$here/ia32-probe.sh" --wine || exit 1
    ;;
  win64) loader=/usr/lib/wine/wine64 server=/usr/lib/wine/wineserver64 ;;
  *) echo "with-wine: KET_WINE_ARCH must be win32 or win64, not $arch" >&2; exit 2 ;;
esac
[ -x "$server" ] || server=/usr/lib/wine/wineserver

base=$(mktemp -d /tmp/ket-wine.XXXXXX)
export HOME="$base/home"
export WINEPREFIX="$base/prefix"
# WINEARCH=win32 (the default) for the shipped PE32 build; win64 only when asked for.
export WINEARCH=$arch
export KET_WINE=$loader
export WINELOADER=$KET_WINE
export WINESERVER=$server
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export KET_WINE_BASE="$base"
mkdir -p "$HOME/Desktop"

xvfb_pid=""
server_started=""
cleanup() {
  local rc=$?
  if [ -n "$server_started" ]; then
    "$WINESERVER" -k >/dev/null 2>&1 || true
    # wineserver's socket folder for this prefix, named after the prefix's device and inode.
    local id
    id=$(stat -c 'server-%d-%i' "$WINEPREFIX" 2>/dev/null | awk -F- '{printf "server-%x-%x", $2, $3}')
    if [ -n "$id" ]; then
      for d in /tmp/wine-*/"$id" "/tmp/.wine-$(id -u)/$id"; do
        [ -d "$d" ] || continue
        rm -rf "$d"
        rmdir "$(dirname "$d")" 2>/dev/null || true
      done
    fi
  fi
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  if [ -z "${KET_KEEP_PREFIX:-}" ]; then rm -rf "$base"; else echo "with-wine: kept $base" >&2; fi
  exit $rc
}
trap cleanup EXIT INT TERM

if [ -z "${KET_USE_DISPLAY:-}" ]; then
  ket_start_xvfb "$base/xvfb.log"
  xvfb_pid=$ket_xvfb_pid
else
  export DISPLAY="$KET_USE_DISPLAY"
fi

# Output through files, never pipes: Wine's background services inherit the first program's
# handles and would hold a pipe open long after it ended.
server_started=1
if [ -n "${KET_WINE_PREFIX_FROM:-}" ] && [ "$arch" = win32 ]; then
  # A prefix made once beforehand (the emulated machine's, see scripts/ia32-vm.sh), where
  # wineboot -i costs minutes. Its user folders link into the HOME it was made with (in
  # $KET_WINE_PREFIX_FROM.home): they follow this HOME instead.
  cp -a "$KET_WINE_PREFIX_FROM" "$WINEPREFIX" || exit 1
  from_home=$(cat "$KET_WINE_PREFIX_FROM.home")
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    case $target in "$from_home" | "$from_home"/*) ln -sfn "$HOME${target#"$from_home"}" "$link" ;; esac
  done < <(find "$WINEPREFIX/drive_c/users" -type l -print0)
else
  "$KET_WINE" wineboot -i >"$base/wineboot.log" 2>&1 || { cat "$base/wineboot.log" >&2; exit 1; }
fi
# A crashing program must fail its test at once: Wine's crash dialog would keep it alive until
# the test's timeout.
"$KET_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  >>"$base/wineboot.log" 2>&1 || { cat "$base/wineboot.log" >&2; exit 1; }
"$WINESERVER" -p >/dev/null 2>&1 || true

"$@"
