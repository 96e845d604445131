#!/usr/bin/env bash
# Database benchmark on a generated plain database of the shipped city database's shape (5961
# pages of 4096 bytes): AES-256-CBC throughput of both our paths against OpenSSL EVP; the re-key
# against the I/O floor and the same pass without the cipher; ketro-cts against SQLCipher's
# encrypted export (1024 KDF iterations); the fsync-type calls of one re-key, counted by strace;
# and, where valgrind is installed, the instructions of the re-keys against those of their floor
# (callgrind counts do not move with the load of a shared machine).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# KET_BENCH_BIN / KET_BENCH_WORK: another build's programs and scratch folder.
bin=${KET_BENCH_BIN:-$root/build/native/bin}
work=${KET_BENCH_WORK:-$root/build/bench/db}
runs=${KET_BENCH_RUNS:-5}
rm -rf "$work"
mkdir -p "$work"

"$bin/db-bench" generate "$work/plain.db"
echo "database: $(stat -c %s "$work/plain.db") bytes"
"$bin/db-bench" cipher
"$bin/db-bench" rekey "$work/plain.db" "$work" "$runs"
if command -v sqlcipher >/dev/null; then
  "$bin/db-bench" export "$work/plain.db" "$work" "$runs" "$bin/ketro-cts" "$(command -v sqlcipher)"
else
  echo "sqlcipher: not installed, comparison skipped"
fi

cp "$work/plain.db" "$work/sync.db"
strace -f -c -o "$work/strace.txt" -e trace=fsync,fdatasync,sync_file_range,syncfs,msync \
  "$bin/ketro-cts" rekey "$work/sync.db" --password xq_plume_vortex_731_bells
syncs=$(awk '$NF ~ /^(fsync|fdatasync|sync_file_range|syncfs|msync)$/ { n += $4 } END { print n + 0 }' \
  "$work/strace.txt")
echo "fsync-type calls of one re-key: $syncs"
"$bin/ketro-cts" check "$work/sync.db" --key xq_plume_vortex_731_bells >/dev/null

if command -v valgrind >/dev/null; then
  # Instructions of a command, as callgrind counts them.
  instructions() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
      awk '/Collected :/ { print $NF }'
  }
  ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
  millions() { awk -v n="$1" 'BEGIN { printf "%.1f M", n / 1e6 }'; }
  floor_ir=$(instructions "$bin/db-bench" floor "$work/plain.db" "$work")
  cp "$work/plain.db" "$work/ir.db"
  cts_ir=$(instructions "$bin/ketro-cts" rekey "$work/ir.db" --password xq_plume_vortex_731_bells)
  cp "$work/plain.db" "$work/ir.db"
  city_ir=$(instructions "$bin/db-bench" city "$work/ir.db")
  echo "instructions (callgrind): floor (key derived once, the file read, written plain and written"
  echo "  enciphered, both copies flushed) $(millions "$floor_ir")"
  echo "  ketro-cts rekey in place: $(millions "$cts_ir") = $(ratio "$cts_ir" "$floor_ir") x floor   (aim <= 110 M)"
  echo "  the installer's re-key (no journal): $(millions "$city_ir") = $(ratio "$city_ir" "$floor_ir") x floor"
else
  echo "valgrind: not installed, instruction counts skipped"
fi
rm -f "$work"/floor-* "$work"/*.db-journal
