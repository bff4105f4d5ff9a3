#!/usr/bin/env bash
# Writes the seed corpus of dng_raw_fuzz into $1: the small DNG fixtures of the tests
# (strips, tiles, packed 12-bit, deflate, lossless JPEG, LinearRaw, floats), made by
# tifffile through the fixture script.
set -euo pipefail
out=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if /usr/bin/python3 -c "import numpy, tifffile" 2>/dev/null; then
  /usr/bin/python3 "$src_dir/tests/img/dng/dng_fixtures.py" "$tmp"
  cp "$tmp"/*.dng "$out"/
fi
# A minimal classic TIFF with a 2x2 16-bit CFA strip, so the corpus is never empty.
printf '%b' "II*\x00\x08\x00\x00\x00\x08\x00" \
  "\xfe\x00\x04\x00\x01\x00\x00\x00\x00\x00\x00\x00" \
  "\x00\x01\x04\x00\x01\x00\x00\x00\x02\x00\x00\x00" \
  "\x01\x01\x04\x00\x01\x00\x00\x00\x02\x00\x00\x00" \
  "\x03\x01\x03\x00\x01\x00\x00\x00\x01\x00\x00\x00" \
  "\x06\x01\x03\x00\x01\x00\x00\x00\x23\x80\x00\x00" \
  "\x11\x01\x04\x00\x01\x00\x00\x00\x6e\x00\x00\x00" \
  "\x17\x01\x04\x00\x01\x00\x00\x00\x08\x00\x00\x00" \
  "\x8e\x82\x01\x00\x04\x00\x00\x00\x00\x01\x01\x02" \
  "\x00\x00\x00\x00" \
  "\x10\x00\x20\x00\x30\x00\x40\x00" > "$out/seed_min.dng"
