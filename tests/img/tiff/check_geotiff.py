"""Checks a GeoTIFF written by the program against GDAL, for geotiff_writer_test.cpp.

Usage: check_geotiff.py JOBS
JOBS holds one check per line (one interpreter start for all of them):
  rgba TIF RAW WIDTH HEIGHT BITS EPSG GSD EAST NORTH
      RAW holds the written samples: WIDTH*HEIGHT*4 little-endian u16 (R, G, B, alpha).
  dsm TIF RAW COLUMNS ROWS EPSG CELL EAST NORTH
      RAW holds the heights: COLUMNS*ROWS little-endian f32; EAST/NORTH is the outer corner.
Exits 0 when everything agrees, else prints what differs (prefixed by the file) and exits 1.
"""
import json
import math
import os
import subprocess
import sys

import numpy as np
from osgeo import gdal

gdal.UseExceptions()
problems = []


current = ""


def check(cond, what):
    if not cond:
        problems.append(f"{current}: {what}")


def close(a, b, tol=1e-9):
    return abs(a - b) <= tol * max(1.0, abs(a), abs(b))


def common(path, width, height, epsg, gsd, east, north, bands):
    info = json.loads(subprocess.run(["gdalinfo", "-json", path], capture_output=True, text=True, check=True).stdout)
    check(info["size"] == [width, height], f"size {info['size']}")
    check(len(info["bands"]) == bands, f"{len(info['bands'])} bands")
    gt = info.get("geoTransform")
    want = [east, gsd, 0.0, north, 0.0, -gsd]
    check(gt is not None and all(close(a, b) for a, b in zip(gt, want)), f"geotransform {gt} != {want}")
    wkt = info.get("coordinateSystem", {}).get("wkt", "")
    check(f'ID["EPSG",{epsg}]' in wkt, f"EPSG {epsg} not in the coordinate system")
    check(info.get("metadata", {}).get("", {}).get("AREA_OR_POINT") == "Area", "not pixel-is-area")
    return info


def check_rgba(path, raw, width, height, bits, epsg, gsd, east, north):
    info = common(path, width, height, epsg, gsd, east, north, 4)
    structure = info.get("metadata", {}).get("IMAGE_STRUCTURE", {})
    check(structure.get("COMPRESSION") == "DEFLATE", f"compression {structure.get('COMPRESSION')}")
    check(structure.get("PREDICTOR") == "2", f"predictor {structure.get('PREDICTOR')}")
    check(structure.get("INTERLEAVE") == "PIXEL", f"interleave {structure.get('INTERLEAVE')}")
    dtype = "Byte" if bits == 8 else "UInt16"
    for i, band in enumerate(info["bands"]):
        check(band["block"] == [512, 512], f"band {i + 1} block {band['block']}")
        check(band["type"] == dtype, f"band {i + 1} type {band['type']}")
    interp = [b.get("colorInterpretation") for b in info["bands"]]
    check(interp == ["Red", "Green", "Blue", "Alpha"], f"colour interpretation {interp}")
    ds = gdal.Open(path)
    got = ds.ReadAsArray()  # (4, height, width)
    want = np.fromfile(raw, dtype="<u2").reshape(height, width, 4).transpose(2, 0, 1)
    diff = int(np.count_nonzero(got.astype(np.uint32) != want.astype(np.uint32)))
    check(diff == 0, f"{diff} samples differ from what was written")
    # The world file names the centre of the top-left pixel.
    tfw = os.path.splitext(path)[0] + ".tfw"
    if os.path.exists(tfw):
        lines = open(tfw).read().split("\n")
        gt = ds.GetGeoTransform()
        vals = [float(x) for x in lines[:6]]
        want = [gt[1], gt[2], gt[4], gt[5], gt[0] + gt[1] / 2, gt[3] + gt[5] / 2]
        check(all(abs(a - b) < 1e-4 for a, b in zip(vals, want)), f"world file {vals} != {want}")


def check_dsm(path, raw, cols, rows, epsg, cell, east, north):
    info = common(path, cols, rows, epsg, cell, east, north, 1)
    check(info["bands"][0]["type"] == "Float32", f"type {info['bands'][0]['type']}")
    got = gdal.Open(path).ReadAsArray()
    want = np.fromfile(raw, dtype="<f4").reshape(rows, cols)
    same = (got == want) | (np.isnan(got) & np.isnan(want))
    check(bool(same.all()), f"{int((~same).sum())} heights differ")


def main():
    global current
    for line in open(sys.argv[1]).read().splitlines():
        if not line.strip():
            continue
        kind, path, raw, *a = line.split()
        current = path
        if kind == "rgba":
            check_rgba(path, raw, int(a[0]), int(a[1]), int(a[2]), int(a[3]), float(a[4]), float(a[5]), float(a[6]))
        else:
            check_dsm(path, raw, int(a[0]), int(a[1]), int(a[2]), float(a[3]), float(a[4]), float(a[5]))
    if problems:
        print("\n".join(problems))
        sys.exit(1)


if __name__ == "__main__":
    main()
