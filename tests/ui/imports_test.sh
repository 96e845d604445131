#!/usr/bin/env bash
# KetroSetup.exe must start on a bare Windows: it may import only DLLs that Windows itself has.
#   imports_test.sh OBJDUMP EXE
set -euo pipefail
objdump=${1:?}
exe=${2:?}
allowed='^(advapi32|comctl32|comdlg32|gdi32|kernel32|msvcrt|ole32|oleaut32|shell32|user32|uuid|version|shlwapi|ws2_32|bcrypt|api-ms-win-[a-z0-9-]+)\.dll$'
dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$dlls" ] || { echo "no imports read from $exe" >&2; exit 1; }
bad=$(grep -vE "$allowed" <<<"$dlls" || true)
if [ -n "$bad" ]; then
  echo "$exe imports DLLs that Windows does not have: $bad" >&2
  exit 1
fi
echo "$exe imports only: $(tr '\n' ' ' <<<"$dlls")"
