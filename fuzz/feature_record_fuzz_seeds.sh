#!/usr/bin/env bash
# Writes the seed corpus of feature_record_fuzz into $1: whole feature records of 0, 1 and 3
# keypoints with small thumbnails, and one with a list of the wrong length, in the cache file
# layout ("TSLC", entry count, then per entry name length, name, kind, data length, data).
set -euo pipefail
out=$1
mkdir -p "$out"
/usr/bin/python3 - "$out" <<'PY'
import struct, sys
out = sys.argv[1]

def entry(name, kind, data):
    return struct.pack('<H', len(name)) + name.encode() + struct.pack('<BQ', kind, len(data)) + data

def record(n, tw, th, desc_len=None):
    kp = struct.pack(f'<{2 * n}f', *[10.5 + i for i in range(2 * n)])
    kp_m = struct.pack(f'<{2 * n}f', *[2.25 + i for i in range(2 * n)])
    d = 128 * n if desc_len is None else desc_len
    desc = struct.pack(f'<{d}e', *[(i % 16) / 16 for i in range(d)])
    thumb = struct.pack(f'<{tw * th * 3}e', *[(i % 7) / 8 for i in range(tw * th * 3)])
    entries = [entry('kp', 2, kp), entry('kp_m', 2, kp_m), entry('desc', 1, desc),
               entry('hw', 3, struct.pack('<2d', 3000, 4000)), entry('thumb', 1, thumb),
               entry('thumb_wh', 3, struct.pack('<2d', tw, th)), entry('tsc', 3, struct.pack('<2d', 0.12, 0.12)),
               entry('msc', 3, struct.pack('<2d', 0.5, 0.5))]
    return b'TSLC' + struct.pack('<I', len(entries)) + b''.join(entries)

for name, data in [('none', record(0, 1, 1)), ('one', record(1, 2, 1)), ('three', record(3, 2, 2)),
                   ('short_desc', record(2, 1, 1, desc_len=200))]:
    with open(f'{out}/seed_{name}', 'wb') as f:
        f.write(data)
PY
bash "$(dirname "$0")/regress_seeds.sh" feature_record_fuzz "$out"
