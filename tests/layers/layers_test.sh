#!/bin/bash
# The rooms' dependencies point one way. Each folder may include only from the folders listed for
# it here (the same table as docs/architecture.md); an include from anywhere else fails, naming
# the file and the line. engine/ and db/ stay free of windows.h.
set -u
root=${1:?usage: layers_test.sh SOURCE_DIR}
cd "$root" || exit 2

declare -A allowed=(
  [base]=""
  [engine]="base"
  [db]="base engine"
  [platform/posix]="base engine"
  [platform/win32]="base engine"
  [toolkit]="base"
  [controls]="base toolkit"
  [ui]="base engine db platform/win32 toolkit controls"
  [demo]="base db"
  [tools]="base engine db platform/posix"
  [fixtures]="base db"
  [bench]="base engine db fixtures"
)

failures=0
for room in "${!allowed[@]}"; do
  while IFS=: read -r file line text; do
    target=${text#*\"}
    target=${target%%\"*}
    top=${target%%/*}
    [ "$top" = platform ] && top=platform/$(echo "$target" | cut -d/ -f2)
    [ "$top" = "$room" ] && continue
    ok=0
    for dep in ${allowed[$room]}; do
      [ "$top" = "$dep" ] && ok=1
    done
    if [ "$ok" = 0 ]; then
      echo "FAIL: $file:$line includes \"$target\": $room may include only from: ${allowed[$room]:-nothing}"
      failures=$((failures + 1))
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' --include='*.c' -E '^#include "[a-z0-9_]+/' "$room")
done

while IFS= read -r hit; do
  echo "FAIL: $hit: engine/ and db/ are portable (no windows.h)"
  failures=$((failures + 1))
done < <(grep -rn --include='*.h' --include='*.cpp' -E '^#include <windows\.h>' engine db base)

if [ "$failures" -ne 0 ]; then
  echo "layers: $failures include(s) against the direction"
  exit 1
fi
echo "layers: every include points down"
