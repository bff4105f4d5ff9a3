"""Checks of the orthomosaic evaluator against manufactured mosaics whose errors are
known: the truth itself, copies moved, coarsened, re-coloured, cropped and
reprojected, and inputs that are broken in the ways users break them."""
import contextlib
import io
import json
import math
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flightsim_common as fc  # noqa: E402

fc.require_prerequisites()

import numpy as np  # noqa: E402
from osgeo import gdal, osr  # noqa: E402
from PIL import Image  # noqa: E402

import evaluate as evaluator  # noqa: E402

gdal.UseExceptions()

_tmp = tempfile.TemporaryDirectory()
FLIGHT = os.path.join(_tmp.name, "flight")
TRUTH = ORTHO = None


def setUpModule():
    """One generated flight for every case of the file."""
    global TRUTH, ORTHO
    fc.generate(FLIGHT, ["--seed", "2", "--photos", "4", "--legs", "2", "--width", "320", "--height", "240",
                         "--texels", "1", "--supersample", "1", "--jobs", "2"])
    with open(os.path.join(FLIGHT, "truth.json"), encoding="utf-8") as f:
        TRUTH = json.load(f)
    ORTHO = os.path.join(FLIGHT, TRUTH["ortho"]["file"])


def evaluate(mosaic, truth=FLIGHT):
    """The evaluator's figures, computed in this process (the command line is tested
    separately below)."""
    return evaluator.evaluate(mosaic, truth)


def srgb_to_linear(v):
    return np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)


def linear_to_srgb(x):
    x = np.clip(x, 0, 1)
    return np.where(x <= 0.0031308, 12.92 * x, 1.055 * x ** (1 / 2.4) - 0.055)


def write_mosaic(path, rgb01, transform, wkt, alpha=None, bits=8):
    """An RGBA GeoTIFF like the program writes: sRGB samples, alpha = coverage."""
    h, w, _ = rgb01.shape
    top = 255 if bits == 8 else 65535
    ds = gdal.GetDriverByName("GTiff").Create(path, w, h, 4, gdal.GDT_Byte if bits == 8 else gdal.GDT_UInt16,
                                              options=["TILED=YES", "COMPRESS=DEFLATE", "PREDICTOR=2", "PHOTOMETRIC=RGB",
                                                       "ALPHA=YES"])
    ds.SetGeoTransform(transform)
    ds.SetProjection(wkt)
    a = np.ones((h, w), bool) if alpha is None else alpha
    for c in range(3):
        ds.GetRasterBand(c + 1).WriteArray(np.rint(rgb01[:, :, c] * top) * a)
    ds.GetRasterBand(4).WriteArray(a * top)
    ds = None


def truth_image():
    ds = gdal.Open(ORTHO)
    return np.moveaxis(ds.ReadAsArray(), 0, -1) / 255.0, list(ds.GetGeoTransform()), ds.GetProjection()


class EvaluateTest(unittest.TestCase):
    def test_truth_against_itself_has_no_error(self):
        r = evaluate(ORTHO)
        self.assertGreater(r["windows"]["measured"], 10)
        self.assertLess(r["shift"]["p95_m"], 1e-3)
        self.assertAlmostEqual(r["coverage"], 1.0, delta=1e-9)
        np.testing.assert_allclose(r["radiometry"]["gain_rgb"], 1.0, atol=1e-6)
        self.assertLess(r["radiometry"]["rms_diff_8bit"], 1e-3)

    def test_moved_copy_gives_the_known_shift(self):
        # Same pixels, georeference moved by a non-integer number of cells: the content
        # sits that far east and south of the truth; tolerance 2 % of a cell.
        rgb, gt, wkt = truth_image()
        gsd = gt[1]
        for de, dn in ((0.37, -0.21), (-1.3 * gsd, 2.6 * gsd)):
            with self.subTest(shift=(de, dn)):
                path = os.path.join(_tmp.name, "moved.tif")
                write_mosaic(path, rgb, (gt[0] + de, gsd, 0, gt[3] + dn, 0, -gsd), wkt)
                r = evaluate(path)
                s = r["shift"]
                self.assertAlmostEqual(s["mean_east_m"], de, delta=0.02 * gsd)
                self.assertAlmostEqual(s["mean_north_m"], dn, delta=0.02 * gsd)
                self.assertAlmostEqual(s["median_m"], math.hypot(de, dn), delta=0.02 * gsd)
                self.assertAlmostEqual(s["median_px"], math.hypot(de, dn) / gsd, delta=0.02)

    def test_coarse_dark_half_covered_16_bit_mosaic(self):
        # Half the resolution, 16-bit samples, 20 % darker in linear light, coverage only
        # east of the middle: no shift, gain 0.8, coverage about the covered share.
        rgb, gt, wkt = truth_image()
        h, w = rgb.shape[0] // 2 * 2, rgb.shape[1] // 2 * 2
        lin = srgb_to_linear(rgb[:h, :w]).reshape(h // 2, 2, w // 2, 2, 3).mean(axis=(1, 3))
        dark = linear_to_srgb(0.8 * lin)
        alpha = np.zeros(dark.shape[:2], bool)
        alpha[:, alpha.shape[1] // 2:] = True
        path = os.path.join(_tmp.name, "coarse.tif")
        write_mosaic(path, dark, (gt[0], 2 * gt[1], 0, gt[3], 0, -2 * gt[1]), wkt, alpha, bits=16)
        r = evaluate(path)
        self.assertAlmostEqual(r["grid_gsd_m"], 2 * gt[1])
        self.assertLess(r["shift"]["p95_px"], 0.05)
        np.testing.assert_allclose(r["radiometry"]["gain_rgb"], 0.8, atol=0.005)
        self.assertLess(r["radiometry"]["spread_percent"], 0.5)
        self.assertGreater(r["coverage"], 0.25)
        self.assertLess(r["coverage"], 0.75)

    def test_mosaic_in_the_neighbouring_zone_is_reprojected(self):
        epsg = TRUTH["utm"]["epsg"]
        other = epsg - 1
        srs = osr.SpatialReference()
        srs.ImportFromEPSG(other)
        path = os.path.join(_tmp.name, "zone.tif")
        gdal.Warp(path, ORTHO, dstSRS=srs.ExportToWkt(), resampleAlg="cubic", dstAlpha=True)
        r = evaluate(path)
        self.assertTrue(any("reprojected" in n for n in r["notes"]), r["notes"])
        # Two resamplings of a rotated grid: a tenth of a cell.
        self.assertLess(r["shift"]["median_px"], 0.1)

    def test_mosaic_elsewhere_has_no_overlap(self):
        rgb, gt, wkt = truth_image()
        path = os.path.join(_tmp.name, "far.tif")
        write_mosaic(path, rgb, (gt[0] + 10000, gt[1], 0, gt[3], 0, gt[5]), wkt)
        r = evaluate(path)
        self.assertEqual(r["coverage"], 0.0)
        self.assertIn("no overlap between the mosaic and the truth orthophoto", r["notes"])

    def test_command_line_reports_text_and_json(self):
        res = fc.run_tool(fc.EVALUATE, [ORTHO, os.path.join(FLIGHT, "truth.json")])
        self.assertEqual(res.returncode, 0, res.stderr)
        for word in ("coverage", "shift", "median", "rms", "p95", "gain"):
            self.assertIn(word, res.stdout)
        res = fc.run_tool(fc.EVALUATE, [ORTHO, FLIGHT, "--json", "-"])
        self.assertEqual(res.returncode, 0, res.stderr)
        self.assertEqual(json.loads(res.stdout)["coverage"], 1.0)

    def test_bad_inputs_are_named(self):
        d = os.path.join(_tmp.name, "bad")
        os.makedirs(d, exist_ok=True)
        text_tif = os.path.join(d, "text.tif")
        with open(text_tif, "w") as f:
            f.write("not an image\n")
        plain_tif = os.path.join(d, "plain.tif")
        Image.new("RGB", (64, 64), (90, 120, 60)).save(plain_tif)
        float_tif = os.path.join(d, "float.tif")
        rgb, gt, wkt = truth_image()
        ds = gdal.GetDriverByName("GTiff").Create(float_tif, 32, 32, 3, gdal.GDT_Float32)
        ds.SetGeoTransform(gt)
        ds.SetProjection(wkt)
        ds = None
        empty_dir = os.path.join(d, "empty")
        os.makedirs(empty_dir, exist_ok=True)
        broken = os.path.join(d, "broken")
        os.makedirs(broken, exist_ok=True)
        with open(os.path.join(broken, "truth.json"), "w") as f:
            f.write("{ not json")
        foreign = os.path.join(d, "foreign")
        os.makedirs(foreign, exist_ok=True)
        with open(os.path.join(foreign, "truth.json"), "w") as f:
            json.dump({"format": "something else"}, f)
        cases = [  # (mosaic, truth folder, words the message must hold)
            (os.path.join(d, "missing.tif"), FLIGHT, "does not exist"),
            (d, FLIGHT, "is a folder"),
            (text_tif, FLIGHT, "cannot be read"),
            (plain_tif, FLIGHT, "has no georeference"),
            (float_tif, FLIGHT, "8 or 16 bits expected"),
            (ORTHO, empty_dir, "no truth file"),
            (ORTHO, broken, "cannot be read"),
            (ORTHO, foreign, "is not a flight truth file"),
        ]
        for mosaic, truth, words in cases:
            with self.subTest(mosaic=os.path.basename(mosaic), truth=os.path.basename(truth)):
                err = io.StringIO()
                with contextlib.redirect_stderr(err):
                    code = evaluator.main([mosaic, truth])
                self.assertEqual(code, 1, err.getvalue())
                self.assertTrue(err.getvalue().startswith("error: "), err.getvalue())
                self.assertIn(words, err.getvalue())
        # And once through the command line: the message, no traceback.
        res = fc.run_tool(fc.EVALUATE, [cases[0][0], FLIGHT])
        self.assertEqual(res.returncode, 1)
        self.assertIn("does not exist", res.stderr)
        self.assertNotIn("Traceback", res.stderr)


if __name__ == "__main__":
    unittest.main()
