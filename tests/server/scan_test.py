"""POST /api/scan over loopback against the real binary, checked against an independent
recomputation: the photos' metadata read with exiftool, UTM from GDAL, the lens inverted with
OpenCV, footprints cast onto the take-off plane with numpy and overlaps measured with
shapely."""
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()
try:
    import cv2
    import numpy as np
    from osgeo import osr
    from shapely.geometry import MultiPoint, Polygon
except ImportError as e:  # pragma: no cover
    print("oracle missing: %s" % e)
    sys.exit(77)
if shutil.which("exiftool") is None:
    print("exiftool missing")
    sys.exit(77)

FLIGHT = os.path.join(su.SOURCE_DIR, "samples", "flight")
BRIGHTON = os.path.join(su.SHARED_DATA, "dji-phantom3-brighton-beach")
SAMPLES = 4


def exif_records(folder):
    tags = ["-GPSLatitude", "-GPSLongitude", "-RelativeAltitude", "-GimbalYawDegree", "-GimbalPitchDegree",
            "-GimbalRollDegree", "-DateTimeOriginal", "-ImageWidth", "-ImageHeight", "-DewarpData",
            "-CalibratedFocalLength"]
    files = sorted(os.path.join(folder, f) for f in os.listdir(folder) if f.lower().endswith((".jpg", ".jpeg")))
    out = subprocess.run(["exiftool", "-n", "-j", "-G0"] + tags + files, check=True, capture_output=True).stdout
    numeric = ("GPSLatitude", "GPSLongitude", "RelativeAltitude", "GimbalYawDegree", "GimbalPitchDegree",
               "GimbalRollDegree", "ImageWidth", "ImageHeight")
    records = {}
    for r in json.loads(out):
        rec = {}
        # The drone's XMP position is finer than the EXIF rationals and is the one taken when
        # present; XMP numbers come back as text ("+0.99").
        for key, value in sorted(r.items(), key=lambda kv: kv[0].startswith("XMP:")):
            name = key.split(":")[-1]
            rec[name] = float(value) if name in numeric else value
        records[os.path.basename(r["SourceFile"])] = rec
    return records


class Oracle:
    """The scan's figures recomputed from exiftool's values, the reply's focal length aside."""

    def __init__(self, records, fx, zone, south):
        self.records = records
        utm = osr.SpatialReference()
        utm.ImportFromEPSG((32700 if south else 32600) + zone)
        wgs = osr.SpatialReference()
        wgs.ImportFromEPSG(4326)
        for s in (utm, wgs):
            s.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
        self.to_utm = osr.CoordinateTransformation(wgs, utm)
        self.fx = fx

    def utm(self, lat, lon):
        e, n, _ = self.to_utm.TransformPoint(lon, lat)
        return e, n

    def grid_yaw(self, r):
        lat, lon = r["GPSLatitude"], r["GPSLongitude"]
        # True north seen on the grid: the UTM direction of a step due north.
        d = 1e-5
        e1, n1 = self.utm(lat - d, lon)
        e2, n2 = self.utm(lat + d, lon)
        return r["GimbalYawDegree"] + math.degrees(math.atan2(e2 - e1, n2 - n1))

    @staticmethod
    def camera_axes(yaw, pitch, roll):
        """Image right, image down and viewing direction in (east, north, up) for a camera
        heading `yaw` clockwise from north, tilted by `pitch` (-90 straight down), rolled."""
        y, p, r = (math.radians(v) for v in (yaw, pitch, roll))
        heading = np.array([math.sin(y), math.cos(y), 0.0])
        right = np.array([math.cos(y), -math.sin(y), 0.0])
        up = np.array([0.0, 0.0, 1.0])
        view = math.cos(p) * heading + math.sin(p) * up
        down = math.sin(p) * heading - math.cos(p) * up
        right_r = math.cos(r) * right + math.sin(r) * down
        down_r = math.cos(r) * down - math.sin(r) * right
        return right_r, down_r, view

    def border_rays(self, r):
        w, h = r["ImageWidth"], r["ImageHeight"]
        W, H = w - 1.0, h - 1.0
        t = [k / (SAMPLES - 1) for k in range(SAMPLES)]
        px = [(a * W, 0.0) for a in t] + [(W, a * H) for a in t] + [((1 - a) * W, H) for a in t] + \
             [(0.0, (1 - a) * H) for a in t]
        pts = np.array(px, dtype=np.float64).reshape(-1, 1, 2)
        dewarp = r.get("DewarpData")
        if dewarp:
            d = [float(v) for v in str(dewarp).split(";")[-1].split(",")]
            K = np.array([[d[0], 0, (w - 1) / 2 + d[2]], [0, d[1], (h - 1) / 2 + d[3]], [0, 0, 1]])
            dist = np.array([d[4], d[5], d[6], d[7], d[8]])
            crit = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 200, 1e-15)
            norm = cv2.undistortPointsIter(pts, K, dist, None, None, crit).reshape(-1, 2)
        else:
            norm = (pts.reshape(-1, 2) - [(w - 1) / 2, (h - 1) / 2]) / self.fx
        return norm

    def shots(self):
        out = {}
        for name, r in self.records.items():
            e, n = self.utm(r["GPSLatitude"], r["GPSLongitude"])
            out[name] = dict(e=e, n=n, alt=float(r["RelativeAltitude"]), time=str(r.get("DateTimeOriginal", "")),
                             rec=r)
        es = [s["e"] for s in out.values()]
        ns = [s["n"] for s in out.values()]
        self.origin = (100 * round(sum(es) / len(es) / 100), 100 * round(sum(ns) / len(ns) / 100))
        for name, s in out.items():
            r = s["rec"]
            right, down, view = self.camera_axes(self.grid_yaw(r), r["GimbalPitchDegree"], r.get("GimbalRollDegree", 0))
            c = np.array([s["e"] - self.origin[0], s["n"] - self.origin[1], s["alt"]])
            fp = []
            for x, y in self.border_rays(r):
                ray = x * right + y * down + view
                t = -c[2] / ray[2]
                fp.append((c[0] + t * ray[0], c[1] + t * ray[1]))
            s["fp"] = fp
            s["hull"] = MultiPoint(fp).convex_hull
            s["centre"] = (sum(p[0] for p in fp) / len(fp), sum(p[1] for p in fp) / len(fp))
            s["gsd"] = s["alt"] / self.fx
        return out


def ratio(a, b):
    m = min(a["hull"].area, b["hull"].area)
    return a["hull"].intersection(b["hull"]).area / max(m, 1e-9)


def recompute(names, shots):
    order = sorted(names, key=lambda n: (shots[n]["time"].encode(), n.encode()))
    seq = {n: k for k, n in enumerate(order)}
    forward = [r for r in (ratio(shots[a], shots[b]) for a, b in zip(order, order[1:])) if r > 0.2]
    side = []
    for v in names:
        cv = shots[v]["centre"]
        near = sorted(((math.hypot(cv[0] - shots[i]["centre"][0], cv[1] - shots[i]["centre"][1]), k, i)
                       for k, i in enumerate(names)))[1:11]
        kept = [i for _, _, i in near if abs(seq[i] - seq[v]) >= 3]
        if kept:
            side.append(max(ratio(shots[v], shots[i]) for i in kept[:4]))
    points = [p for n in names for p in shots[n]["fp"]]
    area = MultiPoint(points).convex_hull.area
    g = float(np.median([shots[n]["gsd"] for n in names]))
    return dict(seq=seq, forward=float(np.median(forward)) if forward else None,
                side=float(np.median(side)) if side else None, area=area, gsd=g, est=area / (g * g) / 1e6)


class ScanAgainstOracle(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory(prefix="tsl_home_")
        cls.studio = su.Studio(env={"HOME": cls.home.name}).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.home.cleanup()

    def check_folder(self, folder, lens):
        status, scan = self.studio.post_json("/api/scan", {"input": [folder]})
        self.assertEqual(status, 200, scan)
        self.assertEqual(list(scan), ["log", "origin", "zone", "south", "epsg", "skipped", "camera", "stats", "shots"])
        self.assertEqual(scan["camera"]["lens"], lens)
        self.assertTrue(scan["log"] and scan["log"][0].startswith("[1/6] metadata"), scan["log"])
        self.assertNotIn("[1/6] metadata", self.studio.stdout())
        oracle = Oracle(exif_records(folder), scan["camera"]["fx"], scan["zone"], scan["south"])
        shots = oracle.shots()
        self.assertEqual(scan["origin"], list(oracle.origin))
        names = [s["name"] for s in scan["shots"]]
        self.assertEqual(sorted(names), sorted(shots))
        want = recompute(names, shots)
        for s in scan["shots"]:
            o = shots[s["name"]]
            self.assertAlmostEqual(s["E"], o["e"] - oracle.origin[0], delta=1e-3)
            self.assertAlmostEqual(s["N"], o["n"] - oracle.origin[1], delta=1e-3)
            self.assertEqual(s["seq"], want["seq"][s["name"]])
            self.assertEqual(len(s["fp"]), 4 * SAMPLES)
            for got, exp in zip(s["fp"], o["fp"]):
                # Rounded to centimetres: within half a centimetre and the UTM's sub-millimetre.
                self.assertAlmostEqual(got[0], exp[0], delta=0.0052)
                self.assertAlmostEqual(got[1], exp[1], delta=0.0052)
            # Each footprint's own area, from the rounded outline, within the rounding's reach.
            self.assertAlmostEqual(Polygon(s["fp"]).convex_hull.area / o["hull"].area, 1.0, delta=2e-3)
        st = scan["stats"]
        self.assertEqual(st["n"], len(names))
        self.assertAlmostEqual(st["gsd_cm"], 100 * want["gsd"], delta=1e-9)
        self.assertAlmostEqual(st["area_m2"] / want["area"], 1.0, delta=1e-6)
        self.assertAlmostEqual(st["est_mpix"] / want["est"], 1.0, delta=1e-6)
        self.assertIsNotNone(want["forward"])
        self.assertIsNotNone(want["side"])
        self.assertAlmostEqual(st["forward"], want["forward"], delta=1e-6)
        self.assertAlmostEqual(st["side"], want["side"], delta=1e-6)
        return scan

    def test_sample_flight(self):
        scan = self.check_folder(FLIGHT, "brown")
        self.assertEqual(scan["camera"]["fx"], 800.0)

    def test_brighton_beach(self):
        if not os.path.isdir(BRIGHTON):
            self.skipTest("Brighton data absent: " + BRIGHTON)
        scan = self.check_folder(BRIGHTON, "none")
        # Three legs of six, about 64 % forward and 62 % side overlap at 1.7 cm/px.
        st = scan["stats"]
        self.assertEqual(st["n"], 18)
        self.assertAlmostEqual(st["forward"], 0.64, delta=0.08)
        self.assertAlmostEqual(st["side"], 0.62, delta=0.1)
        self.assertAlmostEqual(st["gsd_cm"], 1.7, delta=0.2)


class ScanCases(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory(prefix="tsl_home_")
        cls.studio = su.Studio(env={"HOME": cls.home.name}).__enter__()
        cls.work = tempfile.TemporaryDirectory(prefix="tsl_scan_")

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.work.cleanup()
        cls.home.cleanup()

    def folder(self, name, files=()):
        d = os.path.join(self.work.name, name)
        os.makedirs(d)
        for f in files:
            shutil.copy(os.path.join(FLIGHT, f), d)
        return d

    def test_messages(self):
        status, reply = self.studio.post_json("/api/scan", {})
        self.assertEqual((status, reply), (400, {"error": "the following arguments are required: input"}))
        empty = self.folder("empty")
        with open(os.path.join(empty, "notes.txt"), "w") as f:
            f.write("no photos here")
        status, reply = self.studio.post_json("/api/scan", {"input": [empty]})
        self.assertEqual(status, 400)
        self.assertEqual(reply, {"error": "no photos (JPEG, DNG, TIFF) in " + empty})
        bare_folder = self.folder("nothing")
        status, reply = self.studio.post_json("/api/scan", {"input": [bare_folder]})
        self.assertEqual((status, reply), (400, {"error": "folder is empty: " + bare_folder}))
        # A missing photo is an unreadable input; a missing folder is named as missing.
        missing = os.path.join(self.work.name, "nowhere", "DJI_9999.JPG")
        status, reply = self.studio.post_json("/api/scan", {"input": [missing]})
        self.assertEqual((status, reply), (400, {"error": "no usable images: 1 skipped (1 unreadable)"}))
        status, reply = self.studio.post_json("/api/scan", {"input": [os.path.dirname(missing)]})
        self.assertEqual((status, reply), (400, {"error": "folder not found: " + os.path.dirname(missing)}))
        # A photo without any position is unusable.
        bare = self.folder("bare", ["DJI_0001.JPG"])
        subprocess.run(["exiftool", "-q", "-overwrite_original", "-all=", os.path.join(bare, "DJI_0001.JPG")],
                       check=True)
        status, reply = self.studio.post_json("/api/scan", {"input": [bare]})
        self.assertEqual((status, reply), (400, {"error": "no usable images: 1 skipped (1 no focal length)"}))

    def test_one_photo_and_a_tilted_one(self):
        d = self.folder("one", ["DJI_0001.JPG", "DJI_0002.JPG"])
        subprocess.run(["exiftool", "-q", "-overwrite_original", "-XMP-drone-dji:GimbalPitchDegree=-45",
                        os.path.join(d, "DJI_0001.JPG")], check=True)
        status, scan = self.studio.post_json("/api/scan", {"input": [d]})
        self.assertEqual(status, 200, scan)
        self.assertEqual([s["name"] for s in scan["shots"]], ["DJI_0002.JPG"])
        self.assertEqual(len(scan["skipped"]), 1)
        self.assertEqual(scan["skipped"][0][0], "DJI_0001.JPG")
        self.assertTrue(scan["skipped"][0][1].startswith("tilted"), scan["skipped"])
        st = scan["stats"]
        self.assertIsNone(st["forward"])
        self.assertIsNone(st["side"])
        self.assertEqual(scan["shots"][0]["seq"], 0)
        hull = Polygon(scan["shots"][0]["fp"]).convex_hull.area
        self.assertAlmostEqual(st["area_m2"] / hull, 1.0, delta=2e-3)

    def test_three_in_a_row_have_no_side_overlap(self):
        d = self.folder("three", ["DJI_0001.JPG", "DJI_0002.JPG", "DJI_0003.JPG"])
        status, scan = self.studio.post_json("/api/scan", {"input": [d]})
        self.assertEqual(status, 200, scan)
        self.assertIsNone(scan["stats"]["side"])
        self.assertIsNotNone(scan["stats"]["forward"])
        self.assertEqual(sorted(s["seq"] for s in scan["shots"]), [0, 1, 2])


if __name__ == "__main__":
    unittest.main()
