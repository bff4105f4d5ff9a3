#!/usr/bin/env bash
# Writes the seed corpus of json_fuzz into $1: small documents of every kind of value, with the
# bare words, escapes and deep nesting the reader takes, plus the test data's JSON files.
set -euo pipefail
out=$1
src_dir=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
n=0
seed() { printf '%s' "$1" > "$out/seed_$n.json"; n=$((n + 1)); }
seed '{"a": [1, 2.5, -3e-7, true, false, null], "b": {"c": "d\u00e9\n\"x\""}, "e": []}'
seed '[NaN, Infinity, -Infinity, 1e308, -0, 0.1, 123456789012345678901234567890]'
seed '"\ud83d\ude00 \ud800 \\ \/ \b\f\r\t"'
seed '[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[{"k": [[[]]]}]]]]]]]]]]]]]]]]]]]]]]]]]]]'
seed '{"epsg": 32633, "shots": [{"file": "a.jpg", "R": [[1,0,0],[0,1,0],[0,0,1]], "E": 1.5, "N": 2, "h": 3, "gain": [1, 1, 1]}]}'
seed '  {"dup": 1, "dup": 2}  '
for f in $(find "$src_dir/tests" -name '*.json' -size -64k 2>/dev/null | head -20); do cp "$f" "$out/test_$(basename "$f")"; done
bash "$(dirname "$0")/regress_seeds.sh" json_fuzz "$out"
