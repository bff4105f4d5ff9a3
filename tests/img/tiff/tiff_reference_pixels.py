"""Decodes TIFF files with tifffile (through libtiff's tiffcp for compressions tifffile cannot
decode here) for tiff_real_files_test.cpp.

Usage: tiff_reference_pixels.py LIST OUT_DIR
LIST holds one path per line. For file number i the output lists every top-level page that
decodes to 8- or 16-bit gray or RGB(A) samples:
  page I W H BITS       its samples are in OUT_DIR/I-K.rgb (K counts the pages listed for I),
                        W*H*3 little-endian u16: gray repeated three times, alpha dropped
"""
import os
import subprocess
import sys
import warnings

import numpy as np
import tifffile

warnings.simplefilter("ignore")


def pages_of(path):
    with tifffile.TiffFile(path) as tf:
        for page in tf.pages:
            if page.photometric not in (1, 2) or page.bitspersample not in (8, 16):
                continue
            if page.sampleformat not in (None, 1):
                continue
            a = page.asarray()
            if page.planarconfig == 2 and a.ndim == 3:
                a = np.moveaxis(a, 0, -1)
            yield a


def decoded_pages(path, tmp):
    try:
        return list(pages_of(path))
    except Exception:
        pass
    # Let libtiff undo the compression (LZW needs a codec package tifffile lacks here).
    try:
        subprocess.run(["tiffcp", "-c", "none", path, tmp], check=True, capture_output=True, timeout=60)
        return list(pages_of(tmp))
    except Exception:
        return []


def main():
    paths = [p for p in open(sys.argv[1]).read().splitlines() if p]
    out_dir = sys.argv[2]
    tmp = os.path.join(out_dir, "plain.tmp.tif")
    lines = []
    for i, path in enumerate(paths):
        k = 0
        for a in decoded_pages(path, tmp):
            if a.dtype not in (np.uint8, np.uint16) or a.ndim not in (2, 3):
                continue
            if a.ndim == 2:
                a = a[:, :, None]
            if a.shape[2] < 3:
                a = np.repeat(a[:, :, :1], 3, axis=2)
            rgb = np.ascontiguousarray(a[:, :, :3]).astype("<u2")
            rgb.tofile(os.path.join(out_dir, f"{i}-{k}.rgb"))
            bits = 8 if a.dtype == np.uint8 else 16
            lines.append(f"page {i} {a.shape[1]} {a.shape[0]} {bits}")
            k += 1
    with open(os.path.join(out_dir, "pages.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
