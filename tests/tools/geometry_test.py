"""Checks of the geometric evaluator against builds made up from the sample flight's
truth: the true poses, lens and surface must measure no error, and a build moved or
turned as a whole must measure exactly that move."""
import json
import math
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flightsim_common as fc  # noqa: E402

fc.require_prerequisites()

import numpy as np  # noqa: E402

import geometry  # noqa: E402

SAMPLE = os.path.join(fc.SOURCE_DIR, "samples", "flight")
POINTS = 4000
GSD = 0.0875
TRUTH = None


def setUpModule():
    global TRUTH
    TRUTH = geometry.Truth(SAMPLE)


def turn(deg):
    a = math.radians(deg)
    return np.array([[math.cos(a), -math.sin(a), 0.0], [math.sin(a), math.cos(a), 0.0], [0.0, 0.0, 1.0]])


def write_build(folder, shift=(0.0, 0.0), deg=0.0, seams=True):
    """A build's report, terrain and seam archives holding the truth carried by a turn of
    `deg` about the block's centre, then moved by `shift`: the true top surface on a grid
    of half the scene's terrain cell (so that the terrain between the grid's
    nodes is exactly the scene's), the true lens, and each place given to the photo that
    sees it nearest its centre. Returns the path of the mosaic it stands for."""
    t = TRUTH.truth
    Q = turn(deg)
    centre = TRUTH.C.mean(axis=0) * np.array([1.0, 1.0, 0.0])
    move = np.array([shift[0], shift[1], 0.0])

    def carry(p):
        return (np.asarray(p) - centre) @ Q.T + centre + move

    C = carry(TRUTH.C)
    R = TRUTH.R @ Q.T
    e_lo, n_lo = C[:, 0].min() - 56, C[:, 1].min() - 56
    e_hi, n_hi = C[:, 0].max() + 56, C[:, 1].max() + 56
    # Grid nodes on the scene's terrain nodes (before the turn).
    dem = TRUTH.scene.dem_m
    cell = dem / 2
    e0 = TRUTH.oe + TRUTH.scene.east0 + math.floor((e_lo - TRUTH.oe - TRUTH.scene.east0) / dem) * dem
    n0 = TRUTH.on + TRUTH.scene.north1 - math.floor((TRUTH.on + TRUTH.scene.north1 - n_hi) / dem) * dem
    nx, ny = int((e_hi - e0) / cell) + 2, int((n0 - n_lo) / cell) + 2
    ee, nn = np.meshgrid(e0 + np.arange(nx) * cell, n0 - np.arange(ny) * cell)
    back = (np.stack([ee.ravel(), nn.ravel(), np.zeros(ee.size)], axis=1) - move - centre) @ Q + centre
    Z = TRUTH.top(back[:, 0], back[:, 1]).reshape(ny, nx)
    stem = os.path.join(folder, "ortho")
    np.savez(stem + "_surface.npz", z0=np.float64(0.0), E0=np.float64(e0), N0=np.float64(n0),
             cell=np.float64(cell), Z=Z.astype(np.float32))
    c = t["camera"]
    report = dict(epsg=TRUTH.epsg, gsd_m=GSD, origin_utm=[e_lo, n_hi],
                  size_px=[int((e_hi - e_lo) / GSD), int((n_hi - n_lo) / GSD)],
                  lens=dict(W=c["width"], H=c["height"], fx=c["fx"], fy=c["fy"], cx=c["cx"], cy=c["cy"],
                            kind="brown", k=c["coeffs"], selfcal=[]),
                  selfcal={"camera": []}, ground_z=0.0, surface=dict(kind="dsm"),
                  surface_file=stem + "_surface.npz", seam_file=None,
                  shots=[dict(file=f, E=C[i, 0], N=C[i, 1], h=C[i, 2], R=R[i].tolist())
                         for i, f in enumerate(TRUTH.files)])
    if seams:
        gs = 1.0
        cols = e_lo + (np.arange(int((e_hi - e_lo) / gs)) + 0.5) * gs
        rows = n_hi - (np.arange(int((n_hi - n_lo) / gs)) + 0.5) * gs
        build = dict(report, C=C, R=R, files=TRUTH.files, lens=report["lens"], grid=dict(
            E0=e0, N0=n0, cell=cell, Z=Z.astype(np.float32).astype(np.float64)))
        cc, rr = np.meshgrid(cols, rows)
        z = geometry.surface_height(build, cc.ravel(), rr.ravel())
        label = np.full(cc.size, -1, np.int16)
        best = np.full(cc.size, np.inf)
        for i in range(len(TRUTH.files)):
            u, v, ok = geometry.to_photo(build, i, cc.ravel(), rr.ravel(), z)
            r2 = (u - c["cx"]) ** 2 + (v - c["cy"]) ** 2
            better = ok & (r2 < best)
            label[better], best[better] = i, r2[better]
        np.savez(stem + "_seams.npz", label=label.reshape(rows.size, cols.size), E0=np.float64(e_lo),
                 N0=np.float64(n_hi), gs=np.float64(gs), files=np.array(TRUTH.files))
        report["seam_file"] = stem + "_seams.npz"
    with open(stem + "_report.json", "w", encoding="utf-8") as f:
        json.dump(report, f)
    return stem + ".tif"


def measure(mosaic):
    return geometry.measure(geometry.load_build(mosaic), TRUTH, POINTS)


class TruthBuild(unittest.TestCase):
    def test_true_geometry_measures_no_error(self):
        for seams in (True, False):
            with self.subTest(seams=seams), tempfile.TemporaryDirectory() as tmp:
                r = measure(write_build(tmp, seams=seams))
                self.assertGreater(r["smooth"]["n"], POINTS // 8)
                self.assertEqual(r["points_unseen"], 0)
                self.assertLess(r["smooth"]["after_shift"]["p95_m"], 0.002)
                self.assertLess(max(abs(v) for v in r["shift_m"]), 0.001)
                self.assertLess(r["smooth"]["height_error_rms_m"], 0.001)
                # Roofs and crowns between the grid's nodes are only as good as the grid.
                self.assertGreater(r["raised"]["n"], 20)
                self.assertLess(r["raised"]["after_shift"]["median_m"], 0.01)
                # Roofs are the raised places under a building's top, not under a crown.
                self.assertGreater(r["roofs"]["n"], 10)
                self.assertLess(r["roofs"]["n"], r["raised"]["n"])
                self.assertLess(r["roofs"]["after_shift"]["median_m"], 0.01)

    def test_gnss_floor_is_the_fit_of_the_recorded_positions(self):
        with tempfile.TemporaryDirectory() as tmp:
            r = measure(write_build(tmp))
        # A standard receiver's scatter (about 0.6 m per photo) leaves about a decimetre.
        floor = r["smooth"]["gnss_floor"]["rms_m"]
        self.assertGreater(floor, 0.02)
        self.assertLess(floor, 0.5)
        self.assertAlmostEqual(r["gnss_similarity"]["scale"], 1.0, delta=0.02)


class MovedBuild(unittest.TestCase):
    def test_a_shift_is_measured_as_the_shift(self):
        with tempfile.TemporaryDirectory() as tmp:
            r = measure(write_build(tmp, shift=(0.3, -0.2)))
        # The build shows at p what lies at p - shift.
        self.assertAlmostEqual(r["shift_m"][0], -0.3, delta=0.001)
        self.assertAlmostEqual(r["shift_m"][1], 0.2, delta=0.001)
        self.assertLess(r["smooth"]["after_shift"]["p95_m"], 0.002)

    def test_a_turn_is_measured_as_the_turn(self):
        deg = 0.2
        with tempfile.TemporaryDirectory() as tmp:
            mosaic = write_build(tmp, deg=deg)
            build = geometry.load_build(mosaic)
            r = measure(mosaic)
        self.assertAlmostEqual(r["similarity"]["rotation_deg"], -deg, delta=0.002)
        self.assertAlmostEqual(r["similarity"]["scale"], 1.0, delta=1e-4)
        self.assertLess(r["smooth"]["after_similarity"]["p95_m"], 0.002)
        # After the shift, a turn leaves the distance from the centre of the measured places
        # times the angle.
        e, n, _ = geometry.mosaic_points(build, POINTS)
        smooth, _, _ = geometry.classes(TRUTH, e, n, TRUTH.terrain(e, n))
        d = np.hypot(e[smooth] - e[smooth].mean(), n[smooth] - n[smooth].mean())
        want = math.radians(deg) * math.sqrt(np.mean(d * d))
        self.assertAlmostEqual(r["smooth"]["after_shift"]["rms_m"], want, delta=0.05 * want)


class CommandLine(unittest.TestCase):
    def run_tool(self, *args):
        return subprocess.run([sys.executable, os.path.join(fc.TOOLS, "geometry.py")] + list(args),
                              capture_output=True, text=True)

    def test_figures_and_json(self):
        with tempfile.TemporaryDirectory() as tmp:
            mosaic = write_build(tmp)
            out = os.path.join(tmp, "g.json")
            res = self.run_tool(mosaic, SAMPLE, "--json", out, "--points", "500")
            self.assertEqual(res.returncode, 0, res.stderr)
            self.assertIn("GNSS floor", res.stdout)
            with open(out, encoding="utf-8") as f:
                self.assertIn("smooth", json.load(f))

    def test_missing_report_is_named(self):
        with tempfile.TemporaryDirectory() as tmp:
            res = self.run_tool(os.path.join(tmp, "ortho.tif"), SAMPLE)
        self.assertEqual(res.returncode, 1)
        self.assertIn("ortho_report.json", res.stderr)


if __name__ == "__main__":
    unittest.main()
