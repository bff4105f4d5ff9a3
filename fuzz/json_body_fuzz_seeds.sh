#!/usr/bin/env bash
# Writes the seed corpus of json_body_fuzz into $1: settings objects as the page sends them
# (every kind of option value, defaults, lists and repeatable options), wrong types, bytes
# that are not UTF-8, and the test data's JSON files.
set -euo pipefail
out=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
n=0
seed() { printf '%b' "$1" > "$out/seed_$n.json"; n=$((n + 1)); }
seed '{"input": ["samples/flight"], "output": "out/ortho.tif", "gsd": 0.05, "bits": 16, "no_refine": true}'
seed '{"input": ["a.jpg", "b.jpg"], "exclude": ["x", "y"], "blend": "feather", "ev": -0.5, "dsm": true, "dsm_cell": 0.5}'
seed '{"input": "not a list", "gsd": "0.1", "bits": 12, "cache_gb": 1e400, "jpeg_quality": NaN}'
seed '{"input": [1, null, {"a": []}, "c\xff\xfed.jpg"], "output": "", "max_features": 8000.5}'
seed '{"input": ["-", "--gsd", "-o"], "--help": true, "unknown_key": [true, false]}'
seed '[]'
for f in $(find "$src_dir/tests" -name '*settings*.json' -size -64k 2>/dev/null | head -10); do cp "$f" "$out/test_$(basename "$f")"; done
bash "$(dirname "$0")/regress_seeds.sh" json_body_fuzz "$out"
