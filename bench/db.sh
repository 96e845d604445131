#!/usr/bin/env bash
# Database benchmark on a generated plain database of the shipped city database's shape (5961
# pages of 4096 bytes): AES-256-CBC throughput of both our paths against OpenSSL EVP; the re-key
# against the same pass without the cipher; ketro-cts against SQLCipher's encrypted export (1024
# KDF iterations); and the fsync-type calls of one re-key, counted by strace.
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
