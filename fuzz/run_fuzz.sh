#!/usr/bin/env bash
# Runs one fuzz target for a fixed time on a fresh seed corpus: run_fuzz.sh EXE SEEDS_SCRIPT SECONDS WORK_DIR.
# A crash, a sanitizer report or a leak makes libFuzzer exit non-zero, and so this script.
set -euo pipefail
exe=$1 seeds=$2 seconds=$3 work=$4
rm -rf "$work"
mkdir -p "$work/corpus" "$work/artifacts"
if [ -f "$seeds" ]; then bash "$seeds" "$work/seeds"; else mkdir -p "$work/seeds"; fi
# Memory limits as for long runs by hand (decoders must work in proportion to their input);
# the time limit is looser, for a loaded machine.
exec "$exe" -max_total_time="$seconds" -timeout=10 -malloc_limit_mb=256 -rss_limit_mb=512 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$work/seeds"
