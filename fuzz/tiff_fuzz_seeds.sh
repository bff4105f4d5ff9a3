#!/usr/bin/env bash
# Writes the seed corpus of tiff_fuzz into $1: the small TIFF files of ../shared/data (strips,
# tiles, LZW, deflate, PackBits, predictors, planar, gray, 16-bit) when it is there, and a
# minimal 2x2 RGB strip file, so the corpus is never empty.
set -euo pipefail
out=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
shared="$src_dir/../shared/data"
for d in tiff-go-ximage tiff-image-rs; do
  [ -d "$shared/$d" ] || continue
  { find "$shared/$d" -type f \( -iname '*.tif' -o -iname '*.tiff' \) -size -48k || true; } | head -60 | while read -r f; do
    cp "$f" "$out/shared_$(basename "$(dirname "$f")")_$(basename "$f")"
  done
done
printf '%b' "II*\x00\x08\x00\x00\x00\x09\x00" \
  "\x00\x01\x03\x00\x01\x00\x00\x00\x02\x00\x00\x00" \
  "\x01\x01\x03\x00\x01\x00\x00\x00\x02\x00\x00\x00" \
  "\x02\x01\x03\x00\x01\x00\x00\x00\x08\x00\x00\x00" \
  "\x03\x01\x03\x00\x01\x00\x00\x00\x01\x00\x00\x00" \
  "\x06\x01\x03\x00\x01\x00\x00\x00\x02\x00\x00\x00" \
  "\x11\x01\x04\x00\x01\x00\x00\x00\x7a\x00\x00\x00" \
  "\x15\x01\x03\x00\x01\x00\x00\x00\x03\x00\x00\x00" \
  "\x16\x01\x03\x00\x01\x00\x00\x00\x02\x00\x00\x00" \
  "\x17\x01\x04\x00\x01\x00\x00\x00\x0c\x00\x00\x00" \
  "\x00\x00\x00\x00" \
  "\xff\x00\x00\x00\xff\x00\x00\x00\xff\x80\x80\x80" > "$out/seed_min.tif"
bash "$(dirname "$0")/regress_seeds.sh" tiff_fuzz "$out"
