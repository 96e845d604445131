#!/usr/bin/env bash
# Runs the archive fuzzer for a bounded time from a seed corpus of real archives.
#   run_fuzz.sh FUZZER KETRO_PACK SECONDS
set -euo pipefail
fuzzer=$1
pack=$2
seconds=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/product/d"
printf 'a.txt||#|x\r\nd\\b.bin|P|#|\r\nold|K|\r\n' >"$work/product/list"
printf 'hello hello hello\n' >"$work/product/a.txt"
head -c 3000 /dev/zero >"$work/product/d/b.bin"
"$pack" create --manifest "$work/product/list" --root "$work/product" \
  --output "$work/corpus/seed1" --date "2025-11-10 14:02:50" >/dev/null
printf 'x||#|\r\n' >"$work/product/list"
: >"$work/product/x"
"$pack" create --manifest "$work/product/list" --root "$work/product" \
  --output "$work/corpus/seed2" --date "2025-11-10 14:02:50" >/dev/null
# One worker on a shared machine; crashes end the run with a non-zero code.
exec "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=1024 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus"
