"""The terrain grid is bounded before it is allocated: a whole build of the bundled sample
flight asked for a 1 mm terrain cell (35 billion cells over the site) coarsens the cell, says
so, and finishes within bounded memory, measured from this parent process."""
import os
import resource
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("TSL_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SAMPLE = os.path.join(SOURCE_DIR, "samples", "flight")
# The default build of the sample peaks at about 1.2 GB, the bounded grid's terrain model at
# about 1.6 GB; the unbounded grid ended in bad_alloc after asking for tens of gigabytes.
PEAK_LIMIT_KB = 2 * 1024 * 1024


class TinyTerrainCell(unittest.TestCase):
    def test_a_millimetre_cell_is_coarsened_and_the_build_finishes(self):
        exe = os.environ.get("TSL_EXE")
        if not exe:
            self.skipTest("TSL_EXE is not set")
        with tempfile.TemporaryDirectory() as tmp:
            mosaic = os.path.join(tmp, "ortho.tif")
            res = subprocess.run([exe, SAMPLE, "-o", mosaic, "--disk-cache-gb", "0", "--dsm-cell", "0.001"], capture_output=True, text=True, timeout=600)
            peak_kb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
            self.assertEqual(res.returncode, 0, res.stdout[-2000:] + res.stderr[-2000:])
            self.assertIn("exceeds 16000000 cells", res.stdout)
            self.assertTrue(os.path.exists(mosaic))
        self.assertLess(peak_kb, PEAK_LIMIT_KB)


if __name__ == "__main__":
    unittest.main()
