#!/usr/bin/env bash
# Writes the seed corpus of jpeg_fuzz into $1: small files of every kind the decoder reads,
# made by cjpeg and jpegtran from a generated picture, plus a few real small files when
# ../shared/data is there.
set -euo pipefail
out=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# A 40x24 picture with gradients and edges, as PPM and PGM.
awk 'BEGIN {
  w = 40; h = 24
  printf "P6\n%d %d\n255\n", w, h > "'"$tmp"'/in.ppm"
  printf "P5\n%d %d\n255\n", w, h > "'"$tmp"'/in.pgm"
  for (y = 0; y < h; y++) for (x = 0; x < w; x++) {
    r = (x * 6 + y * 3) % 256; g = ((x / 5 + y / 4) % 2) * 200 + 20; b = (x * y) % 256
    printf "%c%c%c", r, g, b > "'"$tmp"'/in.ppm"
    printf "%c", (r + g) % 256 > "'"$tmp"'/in.pgm"
  }
}' </dev/null

n=0
seed() { cp "$1" "$out/seed_$n.jpg"; n=$((n + 1)); }
if command -v cjpeg >/dev/null && command -v jpegtran >/dev/null; then
  for args in "-sample 1x1" "-sample 2x1" "-sample 2x2" "-sample 1x2" "-quality 20" "-quality 4" \
              "-restart 1B" "-optimize" "-sample 4x1"; do
    cjpeg $args -outfile "$tmp/a.jpg" "$tmp/in.ppm" && seed "$tmp/a.jpg"
    jpegtran -progressive -outfile "$tmp/p.jpg" "$tmp/a.jpg" && seed "$tmp/p.jpg"
  done
  cjpeg -grayscale -outfile "$tmp/g.jpg" "$tmp/in.pgm" && seed "$tmp/g.jpg"
  jpegtran -progressive -restart 2B -outfile "$tmp/gp.jpg" "$tmp/g.jpg" && seed "$tmp/gp.jpg"
  cjpeg -rgb -outfile "$tmp/rgb.jpg" "$tmp/in.ppm" 2>/dev/null && seed "$tmp/rgb.jpg" || true
fi
# A minimal gray file built byte by byte, so the corpus is never empty.
q=$(printf '\\x01%.0s' $(seq 64))
printf '%b' "\xff\xd8\xff\xdb\x00\x43\x00$q\xff\xc0\x00\x0b\x08\x00\x08\x00\x08\x01\x01\x11\x00" \
  "\xff\xc4\x00\x14\x00\x01$(printf '\\x00%.0s' $(seq 16))" \
  "\xff\xc4\x00\x14\x10\x01$(printf '\\x00%.0s' $(seq 16))" \
  "\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x00\xff\xd9" > "$out/seed_min.jpg"
shared="$src_dir/../shared/data/jpeg-go-stdlib"
if [ -d "$shared" ]; then
  for f in video-001.q50.420.jpeg video-001.q50.422.progressive.jpeg video-005.gray.q50.2x2.jpeg \
           video-001.progressive.truncated.jpeg video-001.separate.dc.progression.progressive.jpeg; do
    [ -f "$shared/$f" ] && cp "$shared/$f" "$out/shared_$f"
  done
fi
