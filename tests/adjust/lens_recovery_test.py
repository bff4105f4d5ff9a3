"""Self-calibration of a lens the photos do not describe: a generated flight whose tags hold
only the 35 mm focal length (old firmware), photographed through a known Brown lens with
twice the default distortion. The default build must recover the lens: where the corners
of the frame truly look, within a tenth of how far the lens moves them."""
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import flightsim_common as fc  # noqa: E402

fc.require_prerequisites()

from fsim import camera  # noqa: E402

FLIGHT_ARGS = ["--photos", "15", "--legs", "3", "--width", "1200", "--height", "900", "--xmp-style", "old",
               "--distortion", "2", "--seed", "7"]


def selfcal_ideal(lens, u, v):
    """The ideal normalised ray of pixel (u, v) through the build's camera model (no recorded
    lens, so its self-calibration alone): S(x, y) with terms k1, k2[, dx, dy, p1, p2]."""
    x, y = (u - lens["cx"]) / lens["fx"], (v - lens["cy"]) / lens["fy"]
    t = list(lens["selfcal"]) + [0.0] * (6 - len(lens["selfcal"]))
    k1, k2, dx, dy, p1, p2 = t
    r2 = x * x + y * y
    s = (k2 * r2 + k1) * r2 + 1.0
    return (x * s + p2 * (2 * x * x + r2) + 2 * p1 * x * y + dx,
            y * s + 2 * p2 * x * y + p1 * (2 * y * y + r2) + dy)


class LensRecovery(unittest.TestCase):
    def test_corners_look_where_the_true_lens_makes_them(self):
        exe = os.environ.get("TSL_EXE")
        if not exe:
            self.skipTest("TSL_EXE is not set")
        with tempfile.TemporaryDirectory() as tmp:
            flight = os.path.join(tmp, "flight")
            fc.generate(flight, FLIGHT_ARGS)
            mosaic = os.path.join(tmp, "out", "ortho.tif")
            res = subprocess.run([exe, flight, "-o", mosaic, "--disk-cache-gb", "0", "--no-preview"],
                                 capture_output=True, text=True)
            self.assertEqual(res.returncode, 0, res.stdout[-3000:] + res.stderr[-2000:])
            self.assertNotIn("not monotonic", res.stdout)
            with open(os.path.join(tmp, "out", "ortho_report.json")) as f:
                lens = json.load(f)["lens"]
            with open(os.path.join(flight, "truth.json")) as f:
                truth = json.load(f)["camera"]
        true_cam = camera.Camera(width=truth["width"], height=truth["height"], fx=truth["fx"], fy=truth["fy"],
                                 cx=truth["cx"], cy=truth["cy"], coeffs=truth["coeffs"])
        self.assertEqual(lens["kind"], "none")  # nothing recorded: the lens is the self-calibration
        w, h = truth["width"] - 1, truth["height"] - 1
        report = []
        for u, v in ((0, 0), (w, 0), (0, h), (w, h)):
            tx, ty = camera.unproject(true_cam, u, v)
            bx, by = selfcal_ideal(lens, u, v)
            # How far the lens moves the corner, and how far the build's ray is from the true one,
            # in pixels at the true focal length.
            moved = truth["fx"] * ((float(tx) - (u - truth["cx"]) / truth["fx"]) ** 2 +
                                   (float(ty) - (v - truth["cy"]) / truth["fy"]) ** 2) ** 0.5
            off = truth["fx"] * ((bx - float(tx)) ** 2 + (by - float(ty)) ** 2) ** 0.5
            report.append((u, v, round(moved, 2), round(off, 2)))
        for u, v, moved, off in report:
            self.assertGreater(moved, 20.0, report)
            self.assertLess(off, 0.1 * moved, "corner (%d, %d): %s; terms %s" % (u, v, report, lens["selfcal"]))


if __name__ == "__main__":
    unittest.main()
