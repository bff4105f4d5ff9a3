"""The lens the default build self-calibrates on the real Brighton flight, against an
independent reconstruction of the same photos by COLMAP (CPU; one OPENCV camera with the
focal length and principal point fixed at ours, distortion refined). The radial
displacement of both lenses, averaged round the frame centre so that a principal point
shift or tangential terms do not enter, must agree within 30 % at 1500 px from the centre,
at the long edges and in the corners.

The peer takes many minutes on a CPU, so the test runs only when TSL_PEER_COLMAP is set and
skips visibly otherwise. Both results are kept under TSL_PEER_CACHE (default: peer_cache
beside the program) and reused by the next run."""
import json
import math
import os
import shutil
import subprocess
import unittest

SOURCE_DIR = os.environ.get("TSL_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
FLIGHT = os.path.normpath(os.path.join(SOURCE_DIR, "..", "shared", "data", "dji-phantom3-brighton-beach"))
FRACTION = 0.3


def build_lens(exe, cache):
    """Our lens (the report's "lens" object), from a default build kept in the cache."""
    report = os.path.join(cache, "ours", "ortho_report.json")
    if not os.path.exists(report):
        os.makedirs(os.path.join(cache, "ours"), exist_ok=True)
        res = subprocess.run([exe, FLIGHT, "-o", os.path.join(cache, "ours", "ortho.tif"), "--no-preview"],
                             capture_output=True, text=True)
        with open(os.path.join(cache, "ours", "log.txt"), "w") as f:
            f.write(res.stdout + res.stderr)
        if res.returncode != 0:
            raise AssertionError("build failed: " + res.stdout[-2000:] + res.stderr[-2000:])
    with open(report) as f:
        return json.load(f)["lens"]


def peer_camera(lens, cache):
    """COLMAP's OPENCV parameters fx, fy, cx, cy, k1, k2, p1, p2 of its largest model."""
    work = os.path.join(cache, "colmap")
    cameras = os.path.join(work, "cameras.txt")
    if not os.path.exists(cameras):
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(os.path.join(work, "sparse"))
        db = os.path.join(work, "db.db")
        params = "%.9f,%.9f,%.3f,%.3f,0,0,0,0" % (lens["fx"], lens["fy"], lens["cx"], lens["cy"])
        steps = [
            ["feature_extractor", "--database_path", db, "--image_path", FLIGHT, "--ImageReader.camera_model", "OPENCV",
             "--ImageReader.single_camera", "1", "--ImageReader.camera_params", params, "--SiftExtraction.use_gpu", "0",
             "--SiftExtraction.max_image_size", "2000", "--SiftExtraction.max_num_features", "8000"],
            ["exhaustive_matcher", "--database_path", db, "--SiftMatching.use_gpu", "0"],
            ["mapper", "--database_path", db, "--image_path", FLIGHT, "--output_path", os.path.join(work, "sparse"),
             "--Mapper.ba_refine_focal_length", "0", "--Mapper.ba_refine_principal_point", "0",
             "--Mapper.ba_refine_extra_params", "1"],
        ]
        for step in steps:
            res = subprocess.run(["colmap"] + step, capture_output=True, text=True)
            if res.returncode != 0:
                raise AssertionError("colmap %s failed: %s" % (step[0], res.stderr[-2000:]))
        models = sorted(os.listdir(os.path.join(work, "sparse")))
        if not models:
            raise AssertionError("colmap made no model")
        subprocess.run(["colmap", "model_converter", "--input_path", os.path.join(work, "sparse", models[0]),
                        "--output_path", work, "--output_type", "TXT"], check=True, capture_output=True)
    with open(cameras) as f:
        line = [l for l in f if l.strip() and not l.startswith("#")][0].split()
    assert line[1] == "OPENCV", line
    return [float(v) for v in line[4:]]


def ours_ideal(lens, u, v):
    x, y = (u - lens["cx"]) / lens["fx"], (v - lens["cy"]) / lens["fy"]
    k1, k2, dx, dy, p1, p2 = (list(lens["selfcal"]) + [0.0] * 6)[:6]
    r2 = x * x + y * y
    s = (k2 * r2 + k1) * r2 + 1.0
    return (x * s + p2 * (2 * x * x + r2) + 2 * p1 * x * y + dx,
            y * s + 2 * p2 * x * y + p1 * (2 * y * y + r2) + dy)


def peer_ideal(cam, u, v):
    """Undistorts pixel (u, v) through COLMAP's OPENCV model by fixed-point steps."""
    fx, fy, cx, cy, k1, k2, p1, p2 = cam
    xd, yd = (u - cx) / fx, (v - cy) / fy
    x, y = xd, yd
    for _ in range(50):
        r2 = x * x + y * y
        rad = 1 + k1 * r2 + k2 * r2 * r2
        dxt = 2 * p1 * x * y + p2 * (r2 + 2 * x * x)
        dyt = p1 * (r2 + 2 * y * y) + 2 * p2 * x * y
        x, y = (xd - dxt) / rad, (yd - dyt) / rad
    return x, y


def radial_displacement(ideal, lens, points):
    """Mean outward displacement, pixels, of the recorded pixels at `points` (offsets from
    the frame centre) from where an ideal pinhole of focal fx would put them: positive is
    pincushion."""
    cx, cy, f = (lens["W"] - 1) / 2, (lens["H"] - 1) / 2, lens["fx"]
    total = 0.0
    for du, dv in points:
        x, y = ideal(cx + du, cy + dv)
        r = math.hypot(du, dv)
        total += (du * (du - f * x) + dv * (dv - f * y)) / r
    return total / len(points)


class PeerLens(unittest.TestCase):
    def test_radial_displacement_agrees_with_colmap(self):
        if not os.environ.get("TSL_PEER_COLMAP"):
            self.skipTest("set TSL_PEER_COLMAP=1 to compare with COLMAP (many minutes on a CPU)")
        exe = os.environ.get("TSL_EXE")
        if not exe:
            self.skipTest("TSL_EXE is not set")
        if not os.path.isdir(FLIGHT):
            self.skipTest("no Brighton flight at " + FLIGHT)
        if shutil.which("colmap") is None:
            self.skipTest("colmap is not installed")
        cache = os.environ.get("TSL_PEER_CACHE") or os.path.join(os.path.dirname(exe), "peer_cache")
        lens = build_lens(exe, cache)
        cam = peer_camera(lens, cache)
        half_w, half_h = (lens["W"] - 1) / 2, (lens["H"] - 1) / 2
        places = {
            "1500 px": [(1500 * math.cos(a), 1500 * math.sin(a)) for a in (k * math.pi / 18 for k in range(36))],
            "long edges": [(half_w, 0), (-half_w, 0)],
            "corners": [(half_w, half_h), (-half_w, half_h), (half_w, -half_h), (-half_w, -half_h)],
        }
        figures = {}
        for name, points in places.items():
            figures[name] = (radial_displacement(lambda u, v: ours_ideal(lens, u, v), lens, points),
                             radial_displacement(lambda u, v: peer_ideal(cam, u, v), lens, points))
        print("radial displacement, px (ours, COLMAP):", {k: tuple(round(x, 1) for x in v) for k, v in figures.items()})
        for name, (ours, peer) in figures.items():
            self.assertLessEqual(abs(ours - peer), FRACTION * abs(peer), "%s: %s" % (name, figures))


if __name__ == "__main__":
    unittest.main()
