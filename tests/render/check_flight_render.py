"""Judges mosaics rendered from a generated flight, for flight_render_test.cpp.

Usage:
  check_flight_render.py coverage MOSAIC.tif FLIGHT_DIR
      The alpha band covers the union of the photos' true footprints: every pixel whose
      centre lies more than one pixel inside the union is covered, every pixel more than one
      pixel outside it is not.
  check_flight_render.py tone FEATHER.tif MULTIBAND.tif FLIGHT_DIR
      Prints the tone step of each mosaic: the 99th percentile of the gradient (per pixel) of
      the smoothed log ratio of mosaic to true orthophoto luma. Exits 1 unless the multi-band
      mosaic's step is the smaller.
Exits 0 when the check holds, else prints what differs and exits 1.
"""
import json
import os
import sys

import numpy as np
from osgeo import gdal, ogr
from scipy import ndimage
from shapely.geometry import Polygon
from shapely.ops import unary_union

gdal.UseExceptions()


def read(path):
    ds = gdal.Open(path)
    return ds.ReadAsArray().astype(np.float64), ds.GetGeoTransform()


def rasterize(geometry, gt, w, h):
    """1 where a pixel's centre lies inside the geometry (GDAL's default rule)."""
    drv = ogr.GetDriverByName("Memory")
    src = drv.CreateDataSource("mem")
    layer = src.CreateLayer("l", geom_type=ogr.wkbMultiPolygon)
    feat = ogr.Feature(layer.GetLayerDefn())
    feat.SetGeometry(ogr.CreateGeometryFromWkb(geometry.wkb))
    layer.CreateFeature(feat)
    out = gdal.GetDriverByName("MEM").Create("", w, h, 1, gdal.GDT_Byte)
    out.SetGeoTransform(gt)
    gdal.RasterizeLayer(out, [1], layer, burn_values=[1])
    return out.ReadAsArray() > 0


def coverage(mosaic, flight):
    with open(os.path.join(flight, "truth.json")) as f:
        truth = json.load(f)
    oe, on = truth["utm"]["origin_e"], truth["utm"]["origin_n"]
    union = unary_union([Polygon([(oe + x, on + y) for x, y in p["footprint"]]) for p in truth["photos"]])
    a, gt = read(mosaic)
    alpha = a[3]
    h, w = alpha.shape
    inner = rasterize(union.buffer(-gt[1]), gt, w, h)
    outer = rasterize(union.buffer(gt[1]), gt, w, h)
    bad_in = int((inner & (alpha == 0)).sum())
    bad_out = int((~outer & (alpha != 0)).sum())
    print(f"coverage: {int((alpha != 0).sum())} covered pixels; {bad_in} inside the footprints uncovered, "
          f"{bad_out} outside them covered")
    return 1 if bad_in or bad_out or not inner.any() else 0


def srgb_to_linear(v):
    v = v / 255.0
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def tone_step(mosaic, truth_tif):
    a, gt = read(mosaic)
    h, w = a.shape[1:]
    t = gdal.Warp("", truth_tif, format="MEM", outputBounds=(gt[0], gt[3] + h * gt[5], gt[0] + w * gt[1], gt[3]),
                  width=w, height=h, resampleAlg="bilinear")
    tv = t.ReadAsArray().astype(np.float64)
    weights = np.array([0.2126, 0.7152, 0.0722])
    lm = np.tensordot(weights, srgb_to_linear(a[:3]), 1)
    lt = np.tensordot(weights, srgb_to_linear(tv[:3]), 1)
    valid = (a[3] > 0) & (lt > 0.02) & (lm > 0.0)
    if tv.shape[0] > 3:
        valid &= tv[3] > 0
    ratio = np.where(valid, np.log(np.maximum(lm, 1e-6) / np.maximum(lt, 1e-6)), 0.0)
    # Normalised box smoothing over 15 pixels: texture misregistration and detail switching at
    # seams average out, the exposure's tone stays.
    k = 15
    num = ndimage.uniform_filter(ratio, k)
    den = ndimage.uniform_filter(valid.astype(np.float64), k)
    smooth = num / np.maximum(den, 1e-9)
    full = ndimage.minimum_filter(valid.astype(np.uint8), k + 2) > 0
    gy, gx = np.gradient(smooth)
    grad = np.hypot(gx, gy)[full]
    return float(np.percentile(grad, 99))


def tone(feather, multiband, flight):
    truth_tif = os.path.join(flight, "truth", "ortho.tif")
    f, m = tone_step(feather, truth_tif), tone_step(multiband, truth_tif)
    print(f"tone step: feather {f:.5f}, multi-band {m:.5f} (log ratio per pixel, 99th percentile)")
    return 0 if m < f else 1


if __name__ == "__main__":
    if sys.argv[1] == "coverage":
        sys.exit(coverage(sys.argv[2], sys.argv[3]))
    sys.exit(tone(sys.argv[2], sys.argv[3], sys.argv[4]))
