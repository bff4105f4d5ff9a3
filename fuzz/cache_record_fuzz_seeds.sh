#!/usr/bin/env bash
# Writes the seed corpus of cache_record_fuzz into $1: records of each entry kind built byte by
# byte ("TSLC", entry count, then per entry name length, name, kind, data length, data).
set -euo pipefail
out=$1
mkdir -p "$out"
printf '%b' 'TSLC\x00\x00\x00\x00' > "$out/seed_empty"
printf '%b' 'TSLC\x03\x00\x00\x00' \
  '\x05\x00gains\x01\x06\x00\x00\x00\x00\x00\x00\x00\x01\x00\x02\x00\x03\x00' \
  '\x04\x00pts1\x02\x08\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x3f\x00\x00\x00\x40' \
  '\x05\x00scale\x03\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xf0\x3f\x00\x00\x00\x00\x00\x00\xe0\x3f' \
  > "$out/seed_three"
bash "$(dirname "$0")/regress_seeds.sh" cache_record_fuzz "$out"
