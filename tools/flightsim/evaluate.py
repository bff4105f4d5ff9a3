#!/usr/bin/python3
"""Measures an orthomosaic against the truth of a synthetic flight.

    /usr/bin/python3 tools/flightsim/evaluate.py MOSAIC.tif FLIGHT_DIR [--json FILE]

FLIGHT_DIR is the generator's output folder (or its truth.json). Reports the local
shifts of the mosaic against the true orthophoto (median, RMS and 95th percentile, in
metres and in mosaic pixels), the share of the photographed ground the mosaic covers,
and its colour against the truth. Exit code 0 when measured, 1 when an input is
missing or unusable (the message says which and why), 2 for bad arguments.
"""
import argparse
import json
import math
import os
import sys

import numpy as np
from PIL import Image, ImageDraw
from scipy import ndimage

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fsim import geotiff, measure  # noqa: E402
from fsim.scene import srgb_to_linear, linear_to_srgb  # noqa: E402

from osgeo import gdal, osr  # noqa: E402

gdal.UseExceptions()
TRUTH_FORMAT = "tessaly-flightsim-truth"
MAX_WINDOWS = 800
MIN_TEXTURE = 0.01   # luma standard deviation (0..1 scale) below which a window is flat
MIN_NCC = 0.5


class InputError(Exception):
    pass


def load_truth(path):
    folder = path
    if os.path.isdir(path):
        path = os.path.join(path, "truth.json")
    else:
        folder = os.path.dirname(path)
    if not os.path.exists(path):
        raise InputError("no truth file %s" % path)
    try:
        with open(path, encoding="utf-8") as f:
            truth = json.load(f)
    except (OSError, UnicodeDecodeError, json.JSONDecodeError) as e:
        raise InputError("truth file %s cannot be read: %s" % (path, e))
    if not isinstance(truth, dict) or truth.get("format") != TRUTH_FORMAT:
        raise InputError("%s is not a flight truth file" % path)
    try:
        ortho = os.path.join(folder, truth["ortho"]["file"])
        epsg = int(truth["utm"]["epsg"])
        origin = (float(truth["utm"]["origin_e"]), float(truth["utm"]["origin_n"]))
        footprints = [[(float(x) + origin[0], float(y) + origin[1]) for x, y in p["footprint"]]
                      for p in truth["photos"]]
    except (KeyError, TypeError, ValueError) as e:
        raise InputError("truth file %s lacks a field or has a bad value: %s" % (path, e))
    return truth, ortho, epsg, footprints


def as_unit_rgb_and_cover(r, what):
    """Mosaic samples as sRGB in 0..1 (h, w, 3) and its coverage (h, w) bool."""
    a = r.bands
    if a.dtype == np.uint8:
        scale = 255.0
    elif a.dtype == np.uint16:
        scale = 65535.0
    else:
        raise InputError("%s %s has %s samples; 8 or 16 bits expected" % (what, r.path, a.dtype))
    n = a.shape[2]
    alpha = r.alpha if r.alpha is not None else (3 if n == 4 else 1 if n == 2 else None)
    colour = [i for i in range(n) if i != alpha]
    if len(colour) not in (1, 3):
        raise InputError("%s %s has %d bands; grey or RGB (with alpha) expected" % (what, r.path, n))
    rgb = a[:, :, colour].astype(np.float32) / scale
    if rgb.shape[2] == 1:
        rgb = np.repeat(rgb, 3, axis=2)
    cover = a[:, :, alpha] >= scale / 2 if alpha is not None else np.ones(a.shape[:2], bool)
    return rgb, cover


def _mem(arr, transform, wkt):
    h, w, n = arr.shape
    ds = gdal.GetDriverByName("MEM").Create("", w, h, n, gdal.GDT_Float32)
    ds.SetGeoTransform(transform)
    if wkt:
        ds.SetProjection(wkt)
    for i in range(n):
        ds.GetRasterBand(i + 1).WriteArray(arr[:, :, i])
    return ds


def _srs_wkt(epsg):
    s = osr.SpatialReference()
    s.ImportFromEPSG(epsg)
    return s.ExportToWkt()


def to_grid(arr, transform, wkt, bounds, gsd, dst_wkt, finer):
    """Resamples (h, w, n) float data onto the grid bounds/gsd; outside the source is 0."""
    ds = _mem(arr, transform, wkt)
    alg = "average" if finer else "bilinear"
    out = gdal.Warp("", ds, format="MEM", outputBounds=bounds, xRes=gsd, yRes=gsd,
                    resampleAlg=alg, dstSRS=dst_wkt, srcSRS=wkt or dst_wkt, dstNodata=None)
    res = out.ReadAsArray()
    if res.ndim == 2:
        res = res[None]
    return np.moveaxis(res, 0, -1).astype(np.float32)


def seen_mask(footprints, bounds, gsd, shape):
    """Union of the photo footprints rasterised on the grid."""
    img = Image.new("L", (shape[1], shape[0]), 0)
    d = ImageDraw.Draw(img)
    west, north = bounds[0], bounds[3]
    for fp in footprints:
        d.polygon([((e - west) / gsd - 0.5, (north - n) / gsd - 0.5) for e, n in fp], fill=1)
    return np.asarray(img, bool)


def seen_area(footprints, west, north, gsd):
    """Area of the footprint union, rasterised on a grid whose lines run through
    (west, north), so that it counts cells exactly as `seen_mask` on that grid does."""
    es = [e for fp in footprints for e, _ in fp]
    ns = [n for fp in footprints for _, n in fp]
    w0 = west - math.ceil((west - min(es)) / gsd + 1) * gsd
    n1 = north + math.ceil((max(ns) - north) / gsd + 1) * gsd
    shape = (int(math.ceil((n1 - min(ns)) / gsd)) + 2, int(math.ceil((max(es) - w0) / gsd)) + 2)
    b = (w0, n1 - shape[0] * gsd, w0 + shape[1] * gsd, n1)
    return float(seen_mask(footprints, b, gsd, shape).sum()) * gsd * gsd


def luma(rgb):
    return ndimage.gaussian_filter(rgb @ np.array([0.2126, 0.7152, 0.0722], np.float32), 0.7)


def evaluate(mosaic_path, truth_path, window=64, search_m=3.0):
    truth, ortho_path, epsg, footprints = load_truth(truth_path)
    mos = geotiff.read(mosaic_path, "mosaic")
    tru = geotiff.read(ortho_path, "truth orthophoto")
    m_rgb, m_cover = as_unit_rgb_and_cover(mos, "mosaic")
    t_rgb, _ = as_unit_rgb_and_cover(tru, "truth orthophoto")
    truth_wkt = tru.wkt or _srs_wkt(epsg)
    notes = []
    if mos.epsg is None and not mos.wkt:
        notes.append("mosaic has no coordinate system; taken as EPSG:%d" % epsg)
    elif mos.epsg != epsg:
        notes.append("mosaic in EPSG:%s, reprojected to the truth's EPSG:%d" % (mos.epsg, epsg))
    mos_wkt = mos.wkt or truth_wkt

    # Everything is resampled in linear light, where averaging is what optics does.
    m_data = np.dstack([srgb_to_linear(m_rgb), m_cover.astype(np.float32)]).astype(np.float32)
    t_lin = srgb_to_linear(t_rgb).astype(np.float32)
    if mos.epsg is not None and mos.epsg != epsg:
        warped = gdal.Warp("", _mem(m_data, mos.transform, mos_wkt), format="MEM", dstSRS=truth_wkt,
                           xRes=mos.gsd, yRes=mos.gsd, resampleAlg="bilinear")
        m_data = np.moveaxis(warped.ReadAsArray(), 0, -1).astype(np.float32)
        m_transform = warped.GetGeoTransform()
    else:
        m_transform = mos.transform
    m_gsd = m_transform[1]
    mh, mw = m_data.shape[:2]
    m_bounds = (m_transform[0], m_transform[3] - mh * m_gsd, m_transform[0] + mw * m_gsd, m_transform[3])
    th, tw = t_rgb.shape[:2]
    t_bounds = (tru.transform[0], tru.transform[3] - th * tru.gsd, tru.transform[0] + tw * tru.gsd, tru.transform[3])
    gsd = max(m_gsd, tru.gsd)
    mosaic_area = float((m_data[:, :, 3] >= 0.5).sum()) * m_gsd * m_gsd
    west, south = max(m_bounds[0], t_bounds[0]), max(m_bounds[1], t_bounds[1])
    east, north = min(m_bounds[2], t_bounds[2]), min(m_bounds[3], t_bounds[3])
    result = dict(mosaic=mosaic_path, truth=ortho_path, notes=notes, mosaic_gsd_m=m_gsd, truth_gsd_m=tru.gsd,
                  grid_gsd_m=gsd, epsg=epsg, mosaic_area_m2=mosaic_area)
    if east - west < gsd * (window + 2) or north - south < gsd * (window + 2):
        result["photographed_area_m2"] = seen_area(footprints, t_bounds[0], t_bounds[3], gsd)
        notes.append("no overlap between the mosaic and the truth orthophoto")
        result.update(coverage=0.0, outside_area_m2=mosaic_area, windows=dict(total=0), shift=None, radiometry=None)
        return result
    # Snap the grid to the coarser raster so that it is not resampled at all.
    ref = m_transform if m_gsd >= tru.gsd else tru.transform
    west = ref[0] + math.ceil((west - ref[0]) / gsd - 1e-9) * gsd
    north = ref[3] - math.ceil((ref[3] - north) / gsd - 1e-9) * gsd
    w = int(math.floor((east - west) / gsd + 1e-9))
    h = int(math.floor((north - south) / gsd + 1e-9))
    bounds = (west, north - h * gsd, west + w * gsd, north)
    M = to_grid(m_data, m_transform, truth_wkt, bounds, gsd, truth_wkt, finer=m_gsd < gsd / 1.5)
    T = to_grid(np.dstack([t_lin, np.ones(t_lin.shape[:2], np.float32)]), tru.transform, truth_wkt, bounds,
                gsd, truth_wkt, finer=tru.gsd < gsd / 1.5)
    cover = M[:, :, 3] >= 0.999
    t_valid = T[:, :, 3] >= 0.999
    seen = seen_mask(footprints, bounds, gsd, (h, w))
    seen_total = seen_area(footprints, bounds[0], bounds[3], gsd)
    result["photographed_area_m2"] = seen_total
    covered_seen = float((cover & seen).sum()) * gsd * gsd
    result["coverage"] = covered_seen / seen_total if seen_total > 0 else 0.0
    result["outside_area_m2"] = max(0.0, mosaic_area - covered_seen)

    # Shifts on a grid of windows.
    search = max(4, int(math.ceil(search_m / gsd)))
    lin_m, lin_t = M[:, :, :3], T[:, :, :3]
    lm, lt = luma(linear_to_srgb(lin_m)), luma(linear_to_srgb(lin_t))
    starts_r = np.arange(search, h - window - search + 1, window)
    starts_c = np.arange(search, w - window - search + 1, window)
    step = max(1, int(math.ceil(math.sqrt(starts_r.size * starts_c.size / MAX_WINDOWS))))
    starts_r, starts_c = starts_r[::step], starts_c[::step]
    counts = dict(total=0, flat=0, directional=0, unmatched=0, measured=0)
    shifts, ratios, sq_err = [], [], []
    for r in starts_r:
        for c in starts_c:
            win = (slice(r, r + window), slice(c, c + window))
            big = (slice(r - search, r + window + search), slice(c - search, c + window + search))
            if not cover[win].all() or not t_valid[big].all():
                continue
            counts["total"] += 1
            if lt[win].std() < MIN_TEXTURE:
                counts["flat"] += 1
                continue
            if measure.isotropy(lt[win]) < measure.MIN_ISOTROPY:
                counts["directional"] += 1
                continue
            off, ncc = measure.match_window(lm[win], lt[big], search)
            if off is None or ncc < MIN_NCC:
                counts["unmatched"] += 1
                continue
            counts["measured"] += 1
            # The mosaic shows at p what the truth has at p + off: its content moved by -off.
            shifts.append((-off[0] * gsd, off[1] * gsd))
            rr, cc = np.mgrid[r:r + window, c:c + window].astype(np.float64)
            tw_lin = np.dstack([ndimage.map_coordinates(lin_t[:, :, k], [rr + off[1], cc + off[0]], order=1)
                                for k in range(3)])
            mw_lin = lin_m[win]
            ratios.append(mw_lin.reshape(-1, 3).mean(0) / np.maximum(tw_lin.reshape(-1, 3).mean(0), 1e-6))
            sq_err.append((mw_lin, tw_lin))
    result["windows"] = dict(counts, size_px=window, search_px=search)
    if not shifts:
        notes.append("no window could be measured")
        result.update(shift=None, radiometry=None)
        return result
    s = np.array(shifts)
    mag = np.hypot(s[:, 0], s[:, 1])
    result["shift"] = dict(
        median_m=float(np.median(mag)), rms_m=float(np.sqrt((mag ** 2).mean())), p95_m=float(np.percentile(mag, 95)),
        median_px=float(np.median(mag) / m_gsd), rms_px=float(np.sqrt((mag ** 2).mean()) / m_gsd),
        p95_px=float(np.percentile(mag, 95) / m_gsd),
        mean_east_m=float(s[:, 0].mean()), mean_north_m=float(s[:, 1].mean()))
    ratios = np.array(ratios)
    gain = np.median(ratios, axis=0)
    spread = float(np.mean(np.std(np.log(np.maximum(ratios, 1e-6) / gain), axis=0)))
    diff = [((linear_to_srgb(mw / gain) - linear_to_srgb(tw)) * 255) ** 2 for mw, tw in sq_err]
    result["radiometry"] = dict(gain_rgb=[float(g) for g in gain], spread_percent=100 * spread,
                                rms_diff_8bit=float(np.sqrt(np.mean([d.mean() for d in diff]))))
    return result


def report_text(r):
    lines = ["mosaic  %s (%.4f m per pixel)" % (r["mosaic"], r["mosaic_gsd_m"]),
             "truth   %s (%.4f m per pixel), compared at %.4f m, EPSG:%d" % (
                 r["truth"], r["truth_gsd_m"], r["grid_gsd_m"], r["epsg"])]
    lines += ["note    " + n for n in r["notes"]]
    lines.append("coverage %.1f %% of the photographed ground (%.0f m2); %.0f m2 of mosaic outside it" % (
        100 * r["coverage"], r["photographed_area_m2"], r["outside_area_m2"]))
    wn = r["windows"]
    if wn.get("total"):
        lines.append("windows %d: %d measured, %d flat, %d with one-directional texture, %d unmatched "
                     "(%d px, search %d px)" % (wn["total"], wn["measured"], wn["flat"], wn["directional"],
                                                wn["unmatched"], wn["size_px"], wn["search_px"]))
    s = r.get("shift")
    if s:
        lines.append("shift   median %.3f m, rms %.3f m, p95 %.3f m; mean east %+.3f m, north %+.3f m" % (
            s["median_m"], s["rms_m"], s["p95_m"], s["mean_east_m"], s["mean_north_m"]))
        lines.append("        median %.2f, rms %.2f, p95 %.2f mosaic pixels" % (s["median_px"], s["rms_px"], s["p95_px"]))
    g = r.get("radiometry")
    if g:
        lines.append("colour  gain R %.3f G %.3f B %.3f (linear), spread %.1f %%, rms difference %.1f (8-bit)" % (
            *g["gain_rgb"], g["spread_percent"], g["rms_diff_8bit"]))
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description="Measure an orthomosaic against a synthetic flight's truth.")
    p.add_argument("mosaic", help="orthomosaic GeoTIFF")
    p.add_argument("truth", help="flight folder holding truth.json, or the truth.json itself")
    p.add_argument("--window", type=int, default=64, help="correlation window, pixels of the compared grid")
    p.add_argument("--search", type=float, default=3.0, help="largest shift searched, metres")
    p.add_argument("--json", help="also write the figures as JSON to this file ('-' for stdout)")
    a = p.parse_args(argv)
    if a.window < 16:
        p.error("--window must be at least 16")
    if a.search <= 0:
        p.error("--search must be positive")
    try:
        r = evaluate(a.mosaic, a.truth, a.window, a.search)
    except (InputError, ValueError) as e:
        print("error: %s" % e, file=sys.stderr)
        return 1
    if a.json == "-":
        print(json.dumps(r, indent=1))
    else:
        print(report_text(r))
        if a.json:
            with open(a.json, "w", encoding="utf-8") as f:
                json.dump(r, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
