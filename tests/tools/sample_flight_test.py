"""Checks of the bundled sample flight: small enough to ship, complete, its tags as its
truth says, and (with TSL_SLOW_TESTS=1) exactly what the generator makes from the
options recorded in it."""
import glob
import hashlib
import json
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import flightsim_common as fc  # noqa: E402

fc.require_prerequisites()

import evaluate as evaluator  # noqa: E402

SAMPLE = os.path.join(fc.SOURCE_DIR, "samples", "flight")
MAX_BYTES = 6_000_000


def files_of(folder):
    return sorted(p for p in glob.glob(os.path.join(folder, "**", "*"), recursive=True) if os.path.isfile(p))


def digest(folder):
    """SHA-256 of every generated file, by path within the folder."""
    out = {}
    for p in files_of(folder):
        if not os.path.basename(p).startswith("README"):
            with open(p, "rb") as f:
                out[os.path.relpath(p, folder)] = hashlib.sha256(f.read()).hexdigest()
    return out


def load_truth():
    with open(os.path.join(SAMPLE, "truth.json"), encoding="utf-8") as f:
        return json.load(f)


class SampleFlightTest(unittest.TestCase):
    def test_sample_is_small_and_complete(self):
        truth = load_truth()
        self.assertLess(sum(os.path.getsize(p) for p in files_of(SAMPLE)), MAX_BYTES)
        photos = sorted(os.path.basename(p) for p in glob.glob(os.path.join(SAMPLE, "*.JPG")))
        self.assertEqual(photos, [p["file"] for p in truth["photos"]])
        self.assertTrue(12 <= len(photos) <= 16, len(photos))
        self.assertEqual((truth["camera"]["width"], truth["camera"]["height"]), (1200, 900))
        for key in ("ortho", "dsm"):
            self.assertTrue(os.path.isfile(os.path.join(SAMPLE, truth[key]["file"])), key)
        # Nothing but the photos may carry an extension the program takes as input.
        inputs = [p for p in os.listdir(SAMPLE) if p.lower().rsplit(".", 1)[-1] in ("jpg", "jpeg", "tif", "tiff", "dng")]
        self.assertEqual(sorted(inputs), photos)

    def test_sample_tags_are_its_truth(self):
        fc.check_tags_read_back(self, SAMPLE, load_truth())

    def test_sample_truth_measures_itself_without_error(self):
        truth = load_truth()
        r = evaluator.evaluate(os.path.join(SAMPLE, truth["ortho"]["file"]), SAMPLE)
        self.assertLess(r["shift"]["p95_m"], 1e-3)
        self.assertGreater(r["coverage"], 0.999)

    @unittest.skipUnless(os.environ.get("TSL_SLOW_TESTS") == "1", "slow: set TSL_SLOW_TESTS=1")
    def test_generator_remakes_the_sample_exactly(self):
        truth = load_truth()
        args = ["--seed", str(truth["generator"]["seed"])]
        for key, value in truth["generator"]["options"].items():
            if key != "seed":
                args += ["--" + key.replace("_", "-"), str(value)]
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "flight")
            fc.generate(out, args)
            self.assertEqual(digest(out), digest(SAMPLE))


if __name__ == "__main__":
    unittest.main()
