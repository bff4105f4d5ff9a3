#!/usr/bin/env bash
# Writes the seed corpus of scan_fuzz into $1: the metadata target's seeds (first byte 0 JPEG,
# 1 TIFF, 2 DNG, then the file) and the heads (64 KiB) of two of the sample flight's photos.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
bash "$here/metadata_fuzz_seeds.sh" "$out"
for f in "$here"/../samples/flight/DJI_0001.JPG "$here"/../samples/flight/DJI_0009.JPG; do
  [ -f "$f" ] && { printf '\x00'; head -c 65536 "$f"; } > "$out/sample_$(basename "$f")"
done
bash "$here/regress_seeds.sh" scan_fuzz "$out"
