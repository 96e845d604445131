#!/usr/bin/env bash
# The main job. Until the setup window exists: pack the demo product with ketro-pack and install
# it with ketro-install into a folder under build/, saying what it did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bin=build/native/bin
out=build/run
mkdir -p "$out"
"$bin/ketro-pack" create --manifest demo/list --root demo --output "$out/payload.bin"
"$bin/ketro-pack" list "$out/payload.bin"
"$bin/ketro-install" --archive "$out/payload.bin" --dir "$out/Ketro"
echo "run: installed the demo product into $out/Ketro"
