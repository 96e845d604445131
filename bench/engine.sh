#!/usr/bin/env bash
# Installer benchmark: a payload shaped like the shipped one, installed fresh by ketro-install,
# installed again when everything is up to date, and the floor (inflate the same entries with
# zlib, one write per file, then the city database's one encrypted rewrite, flushed). The city
# database is a real one of the shipped shape, so the fresh install includes its re-key, which is
# also timed alone (ketro-cts on a copy). Prints the ratios and the peak memory of the fresh
# install, and where valgrind is installed the instructions of the fresh install against those
# of the floor (callgrind counts do not move with the load of a shared machine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# KET_BENCH_BIN / KET_BENCH_WORK: another build's tools and work folder (default the lead's).
bin=${KET_BENCH_BIN:-$root/build/native/bin}
work=${KET_BENCH_WORK:-$root/build/bench/engine}
runs=${KET_BENCH_RUNS:-7}
rm -rf "$work"
mkdir -p "$work/product"

"$bin/engine-gen" "$work/product"
# The generator's Ketro.cts is only filler of the right size; make it a real plain database.
rm -f "$work/product/Ketro.cts"
"$bin/db-bench" generate "$work/product/Ketro.cts" >/dev/null
cp "$work/product/Ketro.cts" "$work/plain.cts"
"$bin/ketro-pack" create --manifest "$work/product/list" --root "$work/product" \
  --output "$work/payload.bin" --date "2025-11-10 14:02:50" >/dev/null
entries=$("$bin/ketro-pack" list "$work/payload.bin" | wc -l)
largest=$("$bin/ketro-pack" list "$work/payload.bin" | cut -f3 | sort -n | tail -1)
echo "payload: $entries entries, $(stat -c %s "$work/payload.bin") bytes packed, largest entry $largest bytes"

# The runs of the four kinds take turns, so that they meet the same load of a shared machine;
# each kind keeps its best wall time (ns) and CPU time (us) and its largest peak memory (KiB).
declare -A wall cpu rss
once() { # once KIND COMMAND...
  local kind=$1 w c r
  shift
  read -r w c r < <("$bin/engine-timer" "$@" 2>&1 >/dev/null)
  if [ -z "${wall[$kind]:-}" ] || ((w < wall[$kind])); then wall[$kind]=$w; fi
  if [ -z "${cpu[$kind]:-}" ] || ((c < cpu[$kind])); then cpu[$kind]=$c; fi
  if [ -z "${rss[$kind]:-}" ] || ((r > rss[$kind])); then rss[$kind]=$r; fi
}

target=$work/installed
floor_dir=$work/floor
for ((i = 0; i < runs; i++)); do
  rm -rf "$floor_dir" "$target"
  mkdir -p "$floor_dir"
  once floor "$bin/engine-floor" "$work/payload.bin" "$floor_dir"
  once fresh "$bin/ketro-install" --archive "$work/payload.bin" --dir "$target"
  once rerun "$bin/ketro-install" --archive "$work/payload.bin" --dir "$target"
  once startup "$bin/ketro-install" --help
  cp "$work/plain.cts" "$work/rekey.cts"
  once rekey "$bin/ketro-cts" rekey "$work/rekey.cts" --password xq_plume_vortex_731_bells
done
floor=${wall[floor]} floor_cpu=${cpu[floor]} floor_kib=${rss[floor]}
fresh=${wall[fresh]} fresh_cpu=${cpu[fresh]} fresh_kib=${rss[fresh]}
rerun=${wall[rerun]} rerun_cpu=${cpu[rerun]} rerun_kib=${rss[rerun]}
startup=${wall[startup]} startup_cpu=${cpu[startup]}
rekey=${wall[rekey]}
# The installed database must be the encrypted one: readable with the password only.
"$bin/ketro-cts" check "$target/Ketro.cts" --key xq_plume_vortex_731_bells >/dev/null ||
  { echo "engine bench: installed Ketro.cts does not open with the password" >&2; exit 1; }
if "$bin/ketro-cts" check "$target/Ketro.cts" >/dev/null 2>&1; then
  echo "engine bench: installed Ketro.cts is not encrypted" >&2; exit 1
fi

ms() { awk -v ns="$1" 'BEGIN { printf "%.1f ms", ns / 1e6 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
limit_kib=$(((2 * largest + 16 * 1024 * 1024) / 1024))
echo "best of $runs runs; wall time, then CPU time (user + system) of the same runs"
echo "floor (zlib inflate + one write per file + the database's encrypted rewrite): $(ms "$floor"), CPU $(ms $((floor_cpu * 1000)))"
echo "fresh install:    $(ms "$fresh") = $(ratio "$fresh" "$floor") x floor; CPU $(ms $((fresh_cpu * 1000))) = $(ratio "$fresh_cpu" "$floor_cpu") x floor   (aim <= 1.1)"
echo "  of which the re-key of Ketro.cts (ketro-cts alone: $(ms "$rekey")); the install less it: $(ratio $((fresh - rekey)) "$floor") x floor"
echo "up-to-date rerun: $(ms "$rerun") = $(ratio "$rerun" "$fresh") x fresh; CPU $(ms $((rerun_cpu * 1000))) = $(ratio "$rerun_cpu" "$fresh_cpu") x fresh   (aim < 0.05)"
echo "  (of which process start-up alone, ketro-install --help: $(ms "$startup"), CPU $(ms $((startup_cpu * 1000))))"
echo "peak memory, fresh install: $((fresh_kib / 1024)) MiB = $(ratio "$fresh_kib" "$limit_kib") x (2 x largest + 16 MiB)   (aim <= 1); floor $((floor_kib / 1024)) MiB, rerun $((rerun_kib / 1024)) MiB"
if command -v valgrind >/dev/null; then
  # Instructions of a command, as callgrind counts them.
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
      awk '/Collected :/ { print $NF }'
  }
  millions() { awk -v n="$1" 'BEGIN { printf "%.1f M", n / 1e6 }'; }
  rm -rf "$floor_dir" "$target"
  mkdir -p "$floor_dir"
  floor_ir=$(instructions "$bin/engine-floor" "$work/payload.bin" "$floor_dir")
  fresh_ir=$(instructions "$bin/ketro-install" --archive "$work/payload.bin" --dir "$target")
  echo "instructions (callgrind): floor $(millions "$floor_ir"); fresh install $(millions "$fresh_ir") = $(ratio "$fresh_ir" "$floor_ir") x floor   (aim <= 1.10)"
else
  echo "valgrind: not installed, instruction counts skipped"
fi
rm -rf "$target" "$floor_dir" "$work/product" "$work/plain.cts" "$work/rekey.cts"
