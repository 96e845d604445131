#!/usr/bin/env bash
# Runs every benchmark script in bench/ (bench/*.sh, in name order). Each prints ratios against a
# baseline it measures in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
for b in bench/*.sh; do
  [ -e "$b" ] || continue
  echo "== $(basename "$b" .sh)"
  bash "$b"
done
