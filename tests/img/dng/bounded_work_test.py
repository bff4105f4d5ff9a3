"""Hostile DNG files whose headers declare far more than their data holds: a few kilobytes that
declare a 16384 x 16384 sensor (in one strip, in 4096-pixel tiles, deflated) cropped by its
ActiveArea to 64 x 48. `tessaly __dngtest` must develop each to 64 x 48 with a peak resident
size under 64 MB, measured on the child process; the time is printed, not asserted.
"""
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SKIP = 77
LIMIT_BYTES = 64 << 20


def tiff(entries):
    """A little-endian classic TIFF with one directory; entries are (tag, type, values or bytes).
    Byte strings are stored as UNDEFINED data after the directory."""
    count = len(entries)
    data_at = 8 + 2 + 12 * count + 4
    blobs = b""
    dir_bytes = struct.pack("<H", count)
    sizes = {3: 2, 4: 4, 7: 1}
    for tag, typ, values in sorted(entries, key=lambda e: e[0]):
        if isinstance(values, bytes):
            raw, n = values, len(values)
        else:
            fmt = {3: "H", 4: "I"}[typ]
            raw, n = struct.pack("<%d%s" % (len(values), fmt), *values), len(values)
        if len(raw) <= 4:
            field = raw.ljust(4, b"\0")
        else:
            field = struct.pack("<I", data_at + len(blobs))
            blobs += raw + (b"\0" if len(raw) % 2 else b"")
        dir_bytes += struct.pack("<HHI", tag, typ, n) + field
    return b"II*\0" + struct.pack("<I", 8) + dir_bytes + struct.pack("<I", 0) + blobs


def dng(width, height, pieces, tiled, compression=1, area=(0, 0, 48, 64)):
    """Pieces are placed after a first pass fixes the directory size."""
    def build(offsets):
        e = [(254, 4, [0]), (256, 4, [width]), (257, 4, [height]), (258, 3, [16]), (259, 3, [compression]),
             (262, 3, [32803]), (277, 3, [1]), (33421, 3, [2, 2]), (33422, 7, bytes([0, 1, 1, 2])),
             (50829, 4, list(area)), (50706, 7, bytes([1, 4, 0, 0]))]
        counts = [len(p) for p in pieces]
        if tiled:
            e += [(322, 4, [4096]), (323, 4, [4096]), (324, 4, offsets), (325, 4, counts)]
        else:
            e += [(278, 4, [height]), (273, 4, offsets), (279, 4, counts)]
        return tiff(e)
    head = build([0] * len(pieces))
    offsets, at = [], len(head)
    for p in pieces:
        offsets.append(at)
        at += len(p)
    return build(offsets) + b"".join(pieces)


def main():
    exe = os.environ.get("TSL_EXE")
    if not exe or not os.path.exists(exe):
        print("skipped: TSL_EXE not set")
        return SKIP
    ramp = b"".join(struct.pack("<H", (i * 37) % 4096) for i in range(3500))
    cases = {
        "one strip": dng(16384, 16384, [ramp], tiled=False),
        "tiles": dng(16384, 16384, [ramp[:400]] * 16, tiled=True, area=(4000, 4050, 4048, 4114)),
        "deflate strip": dng(16384, 16384, [zlib.compress(ramp * 2)], tiled=False, compression=8),
    }
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, data in cases.items():
            path = os.path.join(tmp, "hostile.dng")
            with open(path, "wb") as f:
                f.write(data)
            out = os.path.join(tmp, "out.npy")
            before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
            start = time.monotonic()
            # A fresh child per case: ru_maxrss of the children is the largest of any of them.
            r = subprocess.run([exe, "__dngtest", path, out, "0"], capture_output=True, text=True, timeout=120)
            took = time.monotonic() - start
            peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
            print("%s: %d bytes, exit %d, %.0f ms, peak resident %.1f MB (so far)" %
                  (name, len(data), r.returncode, took * 1000, peak / 1e6))
            if r.returncode != 0:
                failures.append("%s: exit %d: %s" % (name, r.returncode, r.stdout + r.stderr))
                continue
            if "develop 64x48" not in r.stdout + r.stderr:
                failures.append("%s: not developed to 64x48: %s" % (name, r.stdout))
            if peak > LIMIT_BYTES and peak > before * 1024:
                failures.append("%s: peak resident %.1f MB above 64 MB" % (name, peak / 1e6))
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
