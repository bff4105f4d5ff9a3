#!/usr/bin/env bash
# Writes the seed corpus of ljpeg_fuzz into $1: small lossless JPEG streams made by the DNG
# fixture script's encoder (every predictor, 1 to 3 components, restarts, a point transform),
# plus the real 16-bit predictor files when ../shared/data is there.
set -euo pipefail
out=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
if /usr/bin/python3 -c "import numpy, tifffile" 2>/dev/null; then
  /usr/bin/python3 "$src_dir/tests/img/dng/dng_fixtures.py" --ljpeg "$out"
fi
# A minimal 2x2 stream built byte by byte (one table, predictor 1), so the corpus is never empty.
printf '%b' "\xff\xd8\xff\xc4\x00\x14\x00\x01$(printf '\\x00%.0s' $(seq 15))\x00" \
  "\xff\xc3\x00\x0b\x10\x00\x02\x00\x02\x01\x01\x11\x00\xff\xda\x00\x08\x01\x01\x00\x01\x00\x00\x00\xff\xd9" \
  > "$out/seed_min.ljpg"
shared="$src_dir/../shared/data/jpeg-image-rs-reftest/reftest/images/lossless/1"
if [ -d "$shared" ]; then
  for p in 1 4 6 7; do cp "$shared/jpeg_lossless_sel$p.jpg" "$out/shared_sel$p.jpg"; done
fi
