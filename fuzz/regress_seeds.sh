#!/usr/bin/env bash
# Copies the kept regression inputs of one fuzz target (fuzz/regress/NAME/*) into a seed folder:
# regress_seeds.sh NAME OUT. Sourced by the targets' seed scripts; inputs the fuzzer once found
# run first on every fuzz run.
set -euo pipefail
name=$1 out=$2
dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/regress/$name"
mkdir -p "$out"
if [ -d "$dir" ]; then
  for f in "$dir"/*; do [ -f "$f" ] && cp "$f" "$out/regress_$(basename "$f")"; done
fi
true
