#!/bin/bash
# The rooms' dependencies point one way. Each folder may include only from the folders listed for
# it here (the same table as docs/architecture.md); an include from anywhere else fails, naming
# the file and the line. engine/ and db/ stay free of windows.h. The tests have rooms too: one
# folder per room, and test support taken only from the rooms below.
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

# Every test folder is named after the room it tests, or is one of the whole program's.
for dir in tests/*/ tests/platform/*/; do
  room=${dir#tests/}
  room=${room%/}
  case $room in e2e | release | layers | fuzz | platform) continue ;; esac
  if [ -z "${allowed[$room]+set}" ] && [ ! -d "$room" ]; then
    echo "FAIL: tests/$room: no room $room/ to test"
    failures=$((failures + 1))
  fi
done

# A test folder takes test support only from its room's folder and those of the rooms below it.
for room in "${!allowed[@]}"; do
  [ -d "tests/$room" ] || continue
  while IFS=: read -r file line text; do
    target=${text#*\"tests/}
    target=${target%%\"*}
    top=${target%%/*}
    [ "$top" = platform ] && top=platform/$(echo "$target" | cut -d/ -f2)
    ok=0
    for dep in "$room" ${allowed[$room]}; do
      [ "$top" = "$dep" ] && ok=1
    done
    if [ "$ok" = 0 ]; then
      echo "FAIL: $file:$line includes \"tests/$target\": tests/$room may take test support" \
        "only from tests/ of: $room ${allowed[$room]}"
      failures=$((failures + 1))
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' -E '^#include "tests/' "tests/$room")
done

if [ "$failures" -ne 0 ]; then
  echo "layers: $failures include(s) or folder(s) against the rules"
  exit 1
fi
echo "layers: every include points down"
