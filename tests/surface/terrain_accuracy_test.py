"""The default build of the bundled sample flight, measured against the flight's truth by
the geometric evaluator: with the terrain model under it, smooth ground and roofs must land
where they stand. A pose error common to the block (what the recorded GNSS positions leave)
is removed as one similarity first, so the figures judge the terrain and the relative poses."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import flightsim_common as fc  # noqa: E402

fc.require_prerequisites()

import geometry  # noqa: E402

SAMPLE = os.path.join(fc.SOURCE_DIR, "samples", "flight")


class DefaultBuild(unittest.TestCase):
    def test_ground_and_roofs_land_in_place(self):
        exe = os.environ.get("TSL_EXE")
        if not exe:
            self.skipTest("TSL_EXE is not set")
        with tempfile.TemporaryDirectory() as tmp:
            mosaic = os.path.join(tmp, "ortho.tif")
            res = subprocess.run([exe, SAMPLE, "-o", mosaic, "--disk-cache-gb", "0"], capture_output=True, text=True)
            self.assertEqual(res.returncode, 0, res.stdout[-2000:] + res.stderr[-2000:])
            r = geometry.measure(geometry.load_build(mosaic), geometry.Truth(SAMPLE), 8000)
        gsd = r["gsd_m"]
        smooth, roofs = r["smooth"]["after_similarity"], r["roofs"]["after_similarity"]
        # Measured 1.07 GSD RMS and 0.19 median; a terrain model that spreads roofs over the
        # ground round them gave 1.9 RMS.
        self.assertLess(smooth["rms_m"], 1.4 * gsd)
        self.assertLess(smooth["median_m"], 0.4 * gsd)
        # Measured 0.19 GSD median.
        self.assertGreater(r["roofs"]["n"], 100)
        self.assertLess(roofs["median_m"], 0.6 * gsd)


if __name__ == "__main__":
    unittest.main()
