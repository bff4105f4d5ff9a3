"""The --diagnostics road from outside: a build of the sample flight writes the archive, and
tools nobody here wrote judge it (unzip, zipinfo, djpeg, exiftool, xmllint)."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

SOURCE = os.environ.get("TSL_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
EXE = os.environ.get("TSL_EXE", os.path.join(SOURCE, "build", "tessaly"))
SAMPLE = os.path.join(SOURCE, "samples", "flight")
TOOLS = ["unzip", "zipinfo", "djpeg", "exiftool", "xmllint"]

missing = [t for t in TOOLS if shutil.which(t) is None]
if missing:
    print("skipped: tools not installed:", " ".join(missing))
    sys.exit(77)


def run(*args, check=True):
    p = subprocess.run(list(args), capture_output=True, text=True)
    if check and p.returncode != 0:
        raise AssertionError(f"{args} exited {p.returncode}: {p.stderr}{p.stdout}")
    return p


class DiagnosticsBuild(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.out = os.path.join(cls.tmp, "ortho.tif")
        cls.build = run(EXE, SAMPLE, "-o", cls.out, "--no-refine", "--diagnostics", "--cache-dir",
                        os.path.join(cls.tmp, "cache"))
        cls.zip = os.path.join(cls.tmp, "ortho_diagnostics.zip")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_archive_passes_unzip_and_has_the_member_order_and_methods(self):
        run("unzip", "-tq", self.zip)
        with zipfile.ZipFile(self.zip) as z:
            infos = z.infolist()
        names = [i.filename for i in infos]
        photos = sorted(f for f in os.listdir(SAMPLE) if f.endswith(".JPG"))
        expected = ["report.json", "config.json", "log.txt", "seams.json", "seams.jpg", "preview.jpg",
                    "preview_mask.png"] + ["images/" + os.path.splitext(p)[0] + ".jpg" for p in photos]
        self.assertEqual(names, expected)
        methods = {i.filename: i.compress_type for i in infos}
        for name in ("report.json", "config.json", "log.txt", "seams.json"):
            self.assertEqual(methods[name], zipfile.ZIP_DEFLATED, name)
        for name in names[4:]:
            self.assertEqual(methods[name], zipfile.ZIP_STORED, name)
        zi = run("zipinfo", self.zip).stdout
        self.assertIn("seams.jpg", zi)

    def test_pictures_decode_and_frames_carry_the_photos_metadata(self):
        d = tempfile.mkdtemp(dir=self.tmp)
        run("unzip", "-q", self.zip, "-d", d)
        jpgs = [os.path.join(d, "seams.jpg")] + [os.path.join(d, "images", f) for f in os.listdir(os.path.join(d, "images"))]
        for j in jpgs:
            run("djpeg", "-outfile", os.devnull, j)
        frame = os.path.join(d, "images", "DJI_0001.jpg")
        tags = json.loads(run("exiftool", "-j", "-n", "-GPSLatitude", "-GPSLongitude", "-ExposureTime",
                              "-XMP-drone-dji:all", "-Make", frame).stdout)[0]
        orig = json.loads(run("exiftool", "-j", "-n", "-GPSLatitude", "-GPSLongitude", "-ExposureTime", "-FNumber",
                              "-ISO", os.path.join(SAMPLE, "DJI_0001.JPG")).stdout)[0]
        self.assertAlmostEqual(float(tags["GPSLatitude"]), orig["GPSLatitude"], places=6)
        self.assertAlmostEqual(float(tags["GPSLongitude"]), orig["GPSLongitude"], places=6)
        # The exposure value (time x ISO / N^2) survives as the equivalent time at f/2.8, ISO 100.
        ev = orig["ExposureTime"] * orig["ISO"] / orig["FNumber"] ** 2
        self.assertAlmostEqual(tags["ExposureTime"] * 100 / 2.8 ** 2, ev, delta=ev * 1e-3)
        self.assertEqual(tags["TessalySource"], "DJI_0001.JPG")
        self.assertEqual(str(tags["TessalyProcessed"]), "0")
        self.assertIn("GimbalPitchDegree", tags)
        # Every XMP packet is well-formed XML.
        for j in jpgs[1:]:
            xmp = run("exiftool", "-b", "-XMP", j).stdout
            self.assertTrue(xmp.startswith("<x:xmpmeta"), j)
            p = subprocess.run(["xmllint", "--noout", "-"], input=xmp, capture_output=True, text=True)
            self.assertEqual(p.returncode, 0, p.stderr)

    def test_seams_json_and_log_lines(self):
        with zipfile.ZipFile(self.zip) as z:
            seams = json.loads(z.read("seams.json"))
            log = z.read("log.txt").decode()
            report = json.loads(z.read("report.json"))
        self.assertEqual(list(seams), ["summary", "pairs"])
        s = seams["summary"]
        self.assertEqual(list(s), ["pairs", "grid_cm", "median_cm", "sequence_median_cm", "side_median_cm",
                                   "edge_median_cm"])
        self.assertEqual(s["pairs"], len(seams["pairs"]))
        self.assertGreater(s["pairs"], 0)
        for p in seams["pairs"]:
            self.assertEqual(list(p), ["a", "b", "kind", "overlap", "valid_frac", "median_cm", "p90_cm", "centre_cm",
                                       "edge_cm", "flow_dx_cm", "flow_dy_cm"])
            self.assertIn(p["kind"], ("same line", "cross line"))
        self.assertIn("done in", log)
        with open(self.out[:-4] + "_report.json", encoding="utf-8") as f:
            self.assertEqual(report["output"], json.load(f)["output"])
        out = self.build.stdout
        self.assertIn("diagnostics: seam analysis over 15 images ...", out)
        self.assertIn("diagnostics: images 10/15", out)
        self.assertIn("diagnostics: images 15/15", out)
        m = re.search(r"diagnostics: ortho_diagnostics.zip \((\d+\.\d) MB\) \| seams median (\S+) cm "
                      r"\(same line (\S+), cross line (\S+), frame edges (\S+)\)", out)
        self.assertIsNotNone(m, out)
        for value, key in zip(m.groups()[1:], ("median_cm", "sequence_median_cm", "side_median_cm", "edge_median_cm")):
            self.assertEqual(value, "nan" if s[key] is None else f"{s[key]:.1f}")
        self.assertEqual(os.listdir(self.tmp).count("ortho_diagnostics.partial.zip"), 0)


if __name__ == "__main__":
    unittest.main()
