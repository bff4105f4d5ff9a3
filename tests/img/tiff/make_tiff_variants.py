"""Writes TIFF variants and what independent tools read from them, for tiff_oracle_test.cpp.

Usage: make_tiff_variants.py OUT_DIR

Files are made by tifffile and by libtiff's tiffcp. For each file the manifest lists:
  file NAME W H BITS      the decoded pixels are in NAME.rgb: W*H*3 little-endian u16 (RGB)
  ifd K                   then, per directory of the top-level chain as tiffdump lists it,
  entry TAG TYPE COUNT V1,V2,...|-   the entries in file order, with tifffile's values for
                                     unsigned integer types (- for the others)
Expected pixels come from libtiff (tiffcp -c none) read back with tifffile, so an LZW file,
which tifffile cannot decode here, still has an oracle other than our own reader.
"""
import os
import re
import subprocess
import sys

import numpy as np
import tifffile

UNSIGNED_TYPES = {1, 3, 4, 13, 16, 18}
DUMP_RE = re.compile(r"^\S+ \((\w+)\) \S+ \((\w+)\) (\d+)<")


def photo_like(h, w, s, bits, seed):
    """Smooth gradients plus noise, so predictors and compressors see real structure."""
    rng = np.random.default_rng(seed)
    top = (1 << bits) - 1
    y, x = np.mgrid[0:h, 0:w]
    chans = []
    for c in range(s):
        base = (np.sin(x / (5.0 + c)) + np.cos(y / (7.0 + 2 * c)) + 2.0) / 4.0
        v = base * top + rng.normal(0, top / 40.0, size=(h, w))
        chans.append(np.clip(v, 0, top))
    a = np.stack(chans, axis=-1).astype(np.uint8 if bits == 8 else np.uint16)
    return a[:, :, 0] if s == 1 else a


def to_rgb(a):
    if a.ndim == 2:
        a = a[:, :, None]
    if a.shape[2] < 3:
        a = np.repeat(a[:, :, :1], 3, axis=2)
    return np.ascontiguousarray(a[:, :, :3]).astype("<u2")


def dump_entries(path):
    out = subprocess.run(["tiffdump", path], capture_output=True, text=True, check=True).stdout
    dirs = []
    for line in out.splitlines():
        if line.startswith("Directory "):
            dirs.append([])
            continue
        m = DUMP_RE.match(line)
        if m and dirs:
            dirs[-1].append((int(m.group(1), 0), int(m.group(2), 0), int(m.group(3))))
    return dirs


def tifffile_values(path):
    pages = []
    with tifffile.TiffFile(path) as tf:
        for page in tf.pages:
            vals = []
            for tag in page.tags.values():
                v = tag.value
                if tag.dtype in UNSIGNED_TYPES:
                    if isinstance(v, (int, np.integer)):
                        v = [int(v)]
                    elif isinstance(v, (tuple, list, np.ndarray)) and all(isinstance(x, (int, np.integer)) for x in v):
                        v = [int(x) for x in v]
                    elif isinstance(v, bytes):
                        v = list(v)
                    else:
                        v = None
                else:
                    v = None
                vals.append((tag.code, v))
            pages.append(vals)
    return pages


def expected_pixels(path, tmp):
    """tifffile's pixels; for LZW, which tifffile cannot decode here, libtiff decodes
    (tiffcp -c none) and tifffile reads the uncompressed result."""
    with tifffile.TiffFile(path) as tf:
        if tf.pages[0].compression != 5:
            tmp = path
    if tmp != path:
        subprocess.run(["tiffcp", "-c", "none", path, tmp], check=True, capture_output=True)
    with tifffile.TiffFile(tmp) as tf:
        page = tf.pages[0]
        a = page.asarray()
        if page.planarconfig == 2 and a.ndim == 3:
            a = np.moveaxis(a, 0, -1)
        return a


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    manifest = []

    def add(name, path, base):
        got = expected_pixels(path, os.path.join(out_dir, "plain.tmp.tif"))
        if not np.array_equal(got, base):
            raise SystemExit(f"{name}: libtiff's pixels differ from the source")
        rgb = to_rgb(got)
        rgb.tofile(os.path.join(out_dir, name + ".rgb"))
        h, w = got.shape[:2]
        bits = 8 if got.dtype == np.uint8 else 16
        manifest.append(f"file {name} {w} {h} {bits}")
        dirs = dump_entries(path)
        vals = tifffile_values(path)
        if len(dirs) != len(vals):
            raise SystemExit(f"{name}: tiffdump and tifffile disagree on the number of directories")
        for k, (entries, values) in enumerate(zip(dirs, vals)):
            manifest.append(f"ifd {k}")
            by_code = dict(values)
            for tag, typ, count in entries:
                v = by_code.get(tag)
                text = ",".join(str(x) for x in v) if v is not None and len(v) == count else "-"
                manifest.append(f"entry {tag} {typ} {count} {text}")

    bases = {
        "rgb8": (photo_like(37, 53, 3, 8, 1), "rgb"),
        "rgb16": (photo_like(29, 41, 3, 16, 2), "rgb"),
        "gray8": (photo_like(33, 47, 1, 8, 3), "minisblack"),
        "gray16": (photo_like(21, 19, 1, 16, 4), "minisblack"),
        "rgba8": (photo_like(24, 35, 4, 8, 5), "rgb"),
    }
    # Files made by tifffile.
    for key, (a, photometric) in bases.items():
        extra = {"extrasamples": ["unassalpha"]} if a.ndim == 3 and a.shape[2] == 4 else {}
        variants = {
            "plain": {},
            "strips5": {"rowsperstrip": 5},
            "deflate": {"compression": "zlib"},
            "deflate-pred": {"compression": "zlib", "predictor": True, "rowsperstrip": 8},
            "tiled": {"tile": (16, 16)},
            "tiled-deflate-pred": {"tile": (16, 32), "compression": "zlib", "predictor": True},
            "bigendian": {"byteorder": ">"},
            "bigtiff": {"bigtiff": True, "compression": "zlib"},
            "bigtiff-be-tiled": {"bigtiff": True, "byteorder": ">", "tile": (16, 16)},
        }
        if a.ndim == 3:
            variants["planar"] = {"planarconfig": "separate", "rowsperstrip": 7}
            variants["planar-tiled-deflate"] = {"planarconfig": "separate", "tile": (16, 16), "compression": "zlib"}
        for vname, kw in variants.items():
            name = f"tf-{key}-{vname}"
            path = os.path.join(out_dir, name + ".tif")
            # tifffile takes planar data as (samples, rows, columns).
            data = np.moveaxis(a, -1, 0) if kw.get("planarconfig") == "separate" else a
            tifffile.imwrite(path, data, photometric=photometric, metadata=None, **extra, **kw)
            add(name, path, a)

    # Files made by libtiff's tiffcp from a plain source.
    tiffcp_variants = {
        "lzw": ["-c", "lzw"],
        "lzw-pred": ["-c", "lzw:2"],
        "lzw-strips": ["-c", "lzw", "-r", "6"],
        "zip-pred": ["-c", "zip:2"],
        "packbits": ["-c", "packbits"],
        "planar-lzw": ["-p", "separate", "-c", "lzw"],
        "tiled-lzw-pred": ["-t", "-w", "16", "-l", "16", "-c", "lzw:2"],
        "tiled-packbits": ["-t", "-w", "32", "-l", "16", "-c", "packbits"],
        "bigendian-lzw": ["-B", "-c", "lzw"],
        "bigtiff-lzw": ["-8", "-c", "lzw"],
        "bigtiff-be-planar-tiled-zip": ["-8", "-B", "-p", "separate", "-t", "-w", "16", "-l", "16", "-c", "zip:2"],
    }
    for key, (a, photometric) in bases.items():
        src = os.path.join(out_dir, f"tf-{key}-plain.tif")
        for vname, args in tiffcp_variants.items():
            # tiffcp converts between contiguous and separate samples at 8 bits only.
            if "separate" in args and (a.ndim == 2 or a.dtype != np.uint8):
                continue
            name = f"cp-{key}-{vname}"
            path = os.path.join(out_dir, name + ".tif")
            subprocess.run(["tiffcp", *args, src, path], check=True, capture_output=True)
            add(name, path, a)

    # Two pages in one chain.
    a = bases["rgb8"][0]
    path = os.path.join(out_dir, "tf-two-pages.tif")
    tifffile.imwrite(path, a, photometric="rgb", metadata=None)
    tifffile.imwrite(path, a[:10, :12], photometric="rgb", metadata=None, append=True)
    add("tf-two-pages", path, a)

    if os.path.exists(os.path.join(out_dir, "plain.tmp.tif")):
        os.remove(os.path.join(out_dir, "plain.tmp.tif"))
    with open(os.path.join(out_dir, "manifest.txt"), "w") as f:
        f.write("\n".join(manifest) + "\n")


if __name__ == "__main__":
    main()
