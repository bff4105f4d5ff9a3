#!/usr/bin/env bash
# Writes the seed corpus of reuse_report_fuzz into $1: reports of the zone the target's photo
# set is in (EPSG 32633), with usable, unusable and missing shots, gains, self-calibration and
# ground height, and one of another zone.
set -euo pipefail
out=$1
mkdir -p "$out"
printf '%s' '{"epsg": 32633, "ground_z": 12.5, "shots": [
 {"file": "DJI_0001.JPG", "R": [[1, 0, 0], [0, 1, 0], [0, 0, 1]], "E": 500010.5, "N": 5000020.25, "h": 98.5, "gain": [1.1, 0.9, 1.0]},
 {"file": "DJI_0002.JPG", "R": [[0, -1, 0], [1, 0, 0], [0, 0, 1]], "E": 500030, "N": 5000040, "h": 99},
 {"file": "DJI_0003.JPG", "R": [[2, 0, 0], [0, 1, 0], [0, 0, 1]], "E": 1, "N": 2, "h": 3}],
 "selfcal": {"FC3411|5472x3648|8.4": [0.01, -0.002], "other": [1, 2, 3]},
 "surface_file": "dsm.tif", "adjustment": {"rms": 0.4}, "tie_pairs": [[0, 1, 120]]}' > "$out/seed_full"
printf '%s' '{"epsg": 32634, "shots": []}' > "$out/seed_other_zone"
printf '%s' '{"epsg": 32633.9, "shots": [{"file": "DJI_0001.JPG", "R": [1, 0, 0, 0, 1, 0, 0, 0, 1], "E": NaN}], "ground_z": Infinity}' > "$out/seed_odd"
bash "$(dirname "$0")/regress_seeds.sh" reuse_report_fuzz "$out"
