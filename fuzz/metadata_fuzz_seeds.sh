#!/usr/bin/env bash
# Writes the seed corpus of metadata_fuzz into $1. The first byte of an input picks the kind it
# is stored as (0 JPEG, 1 TIFF, 2 DNG); the rest is the file. Seeds are the heads (64 KiB) of
# the real photos in ../shared/data (EXIF, GPS, drone XMP, thermal) and the DNG and TIFF seeds
# of the other targets.
set -euo pipefail
out=$1
here=$(cd "$(dirname "$0")" && pwd)
src_dir=$(cd "$here/.." && pwd)
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
add() {  # kind byte, file, name
  { printf "\\x0$1"; head -c 65536 "$2"; } > "$out/$3"
}
shared="$src_dir/../shared/data"
n=0
for f in "$shared"/dji-phantom3-brighton-beach/DJI_0018.JPG "$shared"/dji-thermal-stripped/*.JPG \
         $(ls "$shared"/exif-goexif-samples/*.jpg 2>/dev/null | head -8); do
  [ -f "$f" ] && add 0 "$f" "jpeg_$n" && n=$((n + 1))
done
[ -f "$shared/dng-tinydng/colorchart.dng" ] && add 2 "$shared/dng-tinydng/colorchart.dng" dng_colorchart
bash "$here/dng_raw_fuzz_seeds.sh" "$tmp/dng" >/dev/null 2>&1 || true
for f in "$tmp"/dng/*; do [ -f "$f" ] && add 2 "$f" "dng_$(basename "$f")"; done
bash "$here/tiff_fuzz_seeds.sh" "$tmp/tiff" >/dev/null 2>&1 || true
for f in $(ls "$tmp"/tiff/* 2>/dev/null | head -10); do add 1 "$f" "tiff_$(basename "$f")"; done
bash "$here/regress_seeds.sh" metadata_fuzz "$out"
