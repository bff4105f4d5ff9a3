#!/usr/bin/env bash
# Writes the seed corpus of tie_file_fuzz into $1: tie files as the matching stage writes them,
# with pairs a small build keeps and pairs it drops.
set -euo pipefail
out=$1
mkdir -p "$out"
printf '%s' '[{"i": 0, "j": 1, "a": [[10.5, 20.25], [30, 40]], "b": [[11, 21], [31, 41]], "a_all": [[1, 2]], "b_all": [[3, 4]]}]' > "$out/seed_one"
printf '%s' '[{"i": 2, "j": 2, "a": [], "b": []}, {"i": 9, "j": 0, "a": [[NaN, 1]], "b": [[1, 1]]}, {"i": 1, "j": 3, "a": [[1, 2]], "b": [], "logratio": [0.1, -0.2, 0.05]}, 7, "x"]' > "$out/seed_dropped"
printf '%s' '{"not": "an array"}' > "$out/seed_object"
bash "$(dirname "$0")/regress_seeds.sh" tie_file_fuzz "$out"
