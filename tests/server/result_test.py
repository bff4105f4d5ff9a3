"""A finished studio build of the sample flight, then its live previews and its diagnostics
archive over loopback: previews checked with pngcheck and against a gdal_translate crop of the
GeoTIFF, the newest-request-first rule per page, the size caps, and archives checked with
unzip."""
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()
try:
    import numpy as np
    from PIL import Image
except ImportError as e:  # pragma: no cover
    print("oracle missing: %s" % e)
    sys.exit(77)
for tool in ("pngcheck", "gdal_translate", "unzip"):
    if shutil.which(tool) is None:
        print(tool + " missing")
        sys.exit(77)

FLIGHT = os.path.join(su.SOURCE_DIR, "samples", "flight")


class Result(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory(prefix="tsl_home_")
        cls.work = tempfile.TemporaryDirectory(prefix="tsl_result_")
        cls.studio = su.Studio(env={"HOME": cls.home.name}).__enter__()
        # ".tif" inside a folder name must not hide the build's own report from the archive.
        cls.out_dir = os.path.join(cls.work.name, "run.tif_files")
        os.makedirs(cls.out_dir)
        cls.output = os.path.join(cls.out_dir, "ortho.tif")
        cls.report_path = os.path.join(cls.out_dir, "ortho_report.json")
        # Two photos keep the seam analysis of the archive short.
        photos = [os.path.join(FLIGHT, n) for n in ("DJI_0001.JPG", "DJI_0002.JPG")]
        cls.job = cls.build({"input": photos, "output": cls.output, "no_refine": True, "gsd": 20})
        with open(cls.report_path) as f:
            cls.report = json.load(f)

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.work.cleanup()
        cls.home.cleanup()

    @classmethod
    def build(cls, settings, timeout=300):
        status, started = cls.studio.post_json("/api/run", settings)
        if status != 200:
            raise RuntimeError("run refused: %r" % (started,))
        end = time.time() + timeout
        while time.time() < end:
            _, job = cls.studio.get_json("/api/job")
            if job["state"] != "running":
                if job["state"] != "done":
                    raise RuntimeError("build ended %s: %s" % (job["state"], job["error"]))
                return job
            time.sleep(0.2)
        raise RuntimeError("build did not finish")

    # --- helpers ----------------------------------------------------------------------

    def preview(self, body):
        status, headers, payload = self.studio.request("POST", "/api/preview", body=body)
        meta = json.loads(headers["x-preview"]) if "x-preview" in headers else None
        return status, headers, payload, meta

    def bounds(self, fx0, fy0, fx1, fy1):
        """A ground rectangle given as fractions of the mosaic, north up."""
        e0, n0 = self.report["origin_utm"]
        w, h = self.report["size_px"]
        g = self.report["gsd_m"]
        return [e0 + fx0 * w * g, n0 - fy0 * h * g, e0 + fx1 * w * g, n0 - fy1 * h * g]

    @staticmethod
    def rgba(payload):
        return np.asarray(Image.open(io.BytesIO(payload)).convert("RGBA")).astype(np.int32)

    def gdal_crop(self, meta, resampling):
        e0, n0, g, w, h = meta["E0"], meta["N0"], meta["gsd"], meta["W"], meta["H"]
        out = os.path.join(self.work.name, "crop_%d.tif" % meta["seq"])
        subprocess.run(["gdal_translate", "-q", "-projwin", repr(e0), repr(n0), repr(e0 + w * g), repr(n0 - h * g),
                        "-outsize", str(w), str(h), "-r", resampling, self.output, out], check=True)
        from osgeo import gdal
        ds = gdal.Open(out)
        return np.stack([ds.GetRasterBand(b + 1).ReadAsArray() for b in range(ds.RasterCount)], axis=-1).astype(np.int32)

    def compare_with_geotiff(self, body, resampling):
        status, headers, payload, meta = self.preview(body)
        self.assertEqual(status, 200, payload[:200])
        self.assertEqual(headers["content-type"], "image/png")
        self.assertEqual(headers["cache-control"], "no-store")
        path = os.path.join(self.work.name, "preview.png")
        with open(path, "wb") as f:
            f.write(payload)
        check = subprocess.run(["pngcheck", path], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertEqual(list(meta), ["E0", "N0", "gsd", "W", "H", "ms", "seq"])
        self.assertEqual(meta["seq"], body["seq"])
        pic = self.rgba(payload)
        self.assertEqual(pic.shape, (meta["H"], meta["W"], 4))
        # The picture's top-left corner is the requested rectangle's (absolute UTM edges).
        b = body["bounds"]
        self.assertAlmostEqual(meta["E0"], min(b[0], b[2]), delta=1e-6)
        self.assertAlmostEqual(meta["N0"], max(b[1], b[3]), delta=1e-6)
        crop = self.gdal_crop(meta, resampling)
        both = (pic[..., 3] == 255) & (crop[..., 3] == 255)
        self.assertGreater(both.mean(), 0.9)
        mad = np.abs(pic[..., :3] - crop[..., :3])[both].mean()
        return pic, meta, mad

    def test_preview_matches_the_geotiff(self):
        g = self.report["gsd_m"]
        e0, n0 = self.report["origin_utm"]
        # On the build's own pixel grid the re-render is the GeoTIFF's picture.
        body = {"report": self.report_path, "seq": 1, "client": "match", "max_px": 400,
                "bounds": [e0 + 100 * g, n0 - 100 * g, e0 + 400 * g, n0 - 500 * g]}
        _, meta, mad = self.compare_with_geotiff(body, "near")
        self.assertEqual((meta["W"], meta["H"]), (300, 400))
        self.assertAlmostEqual(meta["gsd"], g, delta=1e-12)
        self.assertLess(mad, 0.5)
        # A coarser view of an arbitrary rectangle against the crop resampled to its size.
        body = {"report": self.report_path, "seq": 2, "client": "match", "bounds": self.bounds(0.2, 0.15, 0.8, 0.7),
                "max_px": 250}
        pic, meta, mad = self.compare_with_geotiff(body, "average")
        self.assertLessEqual(max(meta["W"], meta["H"]), 252)
        self.assertLess(mad, 2.0)
        # Corners in either order, or the other diagonal, give the same picture.
        b = body["bounds"]
        for other in ([b[2], b[3], b[0], b[1]], [b[2], b[1], b[0], b[3]]):
            status, _, again, _ = self.preview(dict(body, bounds=other))
            self.assertEqual(status, 200)
            self.assertTrue(np.array_equal(self.rgba(again), pic))

    def test_overrides(self):
        base = {"report": self.report_path, "client": "overrides", "bounds": self.bounds(0.3, 0.3, 0.6, 0.6),
                "max_px": 200}
        _, _, plain, _ = self.preview(dict(base, seq=1))
        # Exposure and white balance are the page's own finish: the server renders neutral.
        status, _, toned, _ = self.preview(dict(base, seq=2, ev=1.5, wb=[2, 1, 0.5], saturation=0, contrast=1))
        self.assertEqual(status, 200)
        self.assertTrue(np.array_equal(self.rgba(toned), self.rgba(plain)))
        gains = [s["gain"][0] for s in self.report["shots"]]
        self.assertGreater(max(gains) - min(gains), 0.02)
        status, _, unit, _ = self.preview(dict(base, seq=3, no_gains=True))
        self.assertEqual(status, 200)
        diff = np.abs(self.rgba(unit)[..., :3] - self.rgba(plain)[..., :3]).mean()
        self.assertGreater(diff, 0.5)
        status, _, linear, _ = self.preview(dict(base, seq=4, interp="linear"))
        self.assertEqual(status, 200)
        self.assertFalse(np.array_equal(self.rgba(linear), self.rgba(plain)))

    def test_sizes_are_bounded(self):
        base = {"report": self.report_path, "client": "sizes"}
        # max_px 10 counts as 16.
        status, _, _, meta = self.preview(dict(base, seq=1, bounds=self.bounds(0, 0, 1, 1), max_px=10))
        self.assertEqual(status, 200)
        self.assertLessEqual(max(meta["W"], meta["H"]), 17)
        # Never sharper than twice the photos' native resolution.
        status, _, _, meta = self.preview(dict(base, seq=2, bounds=self.bounds(0.4, 0.4, 0.45, 0.45), max_px=2048))
        self.assertEqual(status, 200)
        native = self.report["shots"][0]["h"] / 800.0
        self.assertAlmostEqual(meta["gsd"], native / 2, delta=native * 0.05)
        # An enormous max_px is held at 4096 pixels along the longer side of the request.
        e, n = self.report["origin_utm"]
        box = [e - 1000, n - 2000, e + 1000, n]
        status, _, _, meta = self.preview(dict(base, seq=3, bounds=box, max_px=1e12))
        self.assertEqual(status, 200)
        self.assertAlmostEqual(meta["gsd"], 2000 / 4096, delta=1e-9)
        self.assertLessEqual(meta["W"] * meta["H"], 16.8e6)

    def test_errors(self):
        base = {"report": self.report_path, "client": "errors", "seq": 1}
        for bounds in ([1, 2, 3], [1, 2, 3, 4, 5], None, "1,2,3,4"):
            status, _, payload, _ = self.preview(dict(base, bounds=bounds))
            self.assertEqual((status, json.loads(payload)), (400, {"error": "bounds missing"}), bounds)
        e, n = self.report["origin_utm"]
        status, _, payload, _ = self.preview(dict(base, bounds=[e + 5000, n + 5000, e + 5100, n + 5100]))
        self.assertEqual(status, 400)
        self.assertIn("bounds", json.loads(payload)["error"])
        missing = os.path.join(self.work.name, "gone_report.json")
        status, _, payload, _ = self.preview(dict(base, report=missing, bounds=[e, n, e + 10, n - 10]))
        self.assertEqual((status, json.loads(payload)), (404, {"error": "file not found: gone_report.json"}))
        old = dict(self.report)
        old.pop("config")
        old_path = os.path.join(self.work.name, "old_report.json")
        with open(old_path, "w") as f:
            json.dump(old, f)
        for _ in range(2):  # nothing was kept from the first refusal
            status, _, payload, _ = self.preview(dict(base, report=old_path, bounds=[e, n, e + 10, n - 10]))
            self.assertEqual((status, json.loads(payload)),
                             (400, {"error": "report has no stored configuration (older version) - rebuild once"}))

    def test_newest_request_first_per_page(self):
        body = {"report": self.report_path, "client": "pageA", "bounds": self.bounds(0.1, 0.1, 0.6, 0.6)}
        results = {}

        def post(seq, max_px, whole=False):
            extra = {"bounds": self.bounds(0, 0, 1, 1)} if whole else {}
            results[seq] = self.preview(dict(body, seq=seq, max_px=max_px, **extra))

        # The first request renders the whole mosaic at full size, so that it is still
        # rendering while the next two arrive, also on a fast, idle machine.
        slow = threading.Thread(target=post, args=(10, 4096, True))
        slow.start()
        time.sleep(0.3)
        waiting = [threading.Thread(target=post, args=(11, 200))]
        waiting[0].start()
        time.sleep(0.3)
        waiting.append(threading.Thread(target=post, args=(12, 200)))
        waiting[1].start()
        for t in [slow] + waiting:
            t.join(120)
        self.assertEqual(results[10][0], 200)
        self.assertEqual(results[11][0], 204)
        self.assertEqual(results[11][1]["content-length"], "0")
        self.assertEqual(results[11][2], b"")
        self.assertEqual(results[12][0], 200)
        # The same page's older counter is refused; equal to the highest seen renders.
        self.assertEqual(self.preview(dict(body, seq=3, max_px=64))[0], 204)
        self.assertEqual(self.preview(dict(body, seq=12, max_px=64))[0], 200)
        # A reloaded page (or a second tab) counts from 1 again under a new client id.
        self.assertEqual(self.preview(dict(body, client="pageA-reloaded", seq=1, max_px=64))[0], 200)
        self.assertEqual(self.preview(dict(body, client="pageB", seq=2, max_px=64))[0], 200)
        self.assertEqual(self.preview(dict(body, seq=13, max_px=64))[0], 200)

    # --- diagnostics ------------------------------------------------------------------

    def archive(self, body):
        c = self.studio.conn(timeout=600)
        c.request("POST", "/api/diagnostics", body=json.dumps(body), headers={"Content-Type": "application/json"})
        r = c.getresponse()
        status, reply = r.status, json.loads(r.read())
        c.close()
        self.assertEqual(status, 200, reply)
        self.assertEqual(list(reply), ["path", "size_mb", "seams"])
        self.assertEqual(os.path.normpath(reply["path"]), os.path.join(self.out_dir, "ortho_diagnostics.zip"))
        test = subprocess.run(["unzip", "-t", reply["path"]], capture_output=True, text=True)
        self.assertEqual(test.returncode, 0, test.stdout + test.stderr)
        size = os.path.getsize(reply["path"])
        self.assertEqual(reply["size_mb"], round(size / 1e6, 1))
        with zipfile.ZipFile(reply["path"]) as z:
            members = {n: z.read(n) for n in z.namelist()}
        return reply, members

    def frame_sides(self, members):
        return sorted({max(Image.open(io.BytesIO(b)).size) for n, b in members.items() if n.startswith("images/")})

    def test_diagnostics_archive(self):
        reply, members = self.archive({"path": self.report_path, "max_px": "-5", "images": True})
        self.assertIsInstance(reply["seams"], dict)
        log = members["log.txt"].decode()
        # The build this studio ran last: its live lines, command echo included.
        self.assertIn("$ tessaly", log)
        self.assertIn("[6/6] render", log)
        self.assertEqual(self.frame_sides(members), [64])
        # The same report named another way is not the live build's: its own (absent) log.
        other = os.path.join(self.out_dir, ".", "ortho_report.json")
        _, members = self.archive({"path": other, "max_px": "800", "images": 0})
        self.assertEqual(members["log.txt"], b"")
        self.assertEqual(self.frame_sides(members), [])
        status, reply = self.studio.post_json("/api/diagnostics", {"path": os.path.join(self.work.name, "no_report.json")})
        self.assertEqual(status // 100, 4, reply)

    # --- last: these change the studio's state ------------------------------------------

    def test_z_reset_loads_the_scene_from_the_report(self):
        body = {"report": self.report_path, "client": "reset", "bounds": self.bounds(0.3, 0.3, 0.5, 0.5), "max_px": 128}
        status, _, before, _ = self.preview(dict(body, seq=1))
        self.assertEqual(status, 200)
        status, reply = self.studio.post_json("/api/reset")
        self.assertEqual((status, reply), (200, {"ok": True}))
        # The reset keeps the page's counter; the scene now comes from the report file.
        self.assertEqual(self.preview(dict(body, seq=0))[0], 204)
        status, _, after, _ = self.preview(dict(body, seq=2))
        self.assertEqual(status, 200)
        mad = np.abs(self.rgba(after).astype(float) - self.rgba(before)).mean()
        self.assertLess(mad, 1.0)

    def test_z_diagnostics_refused_but_scan_allowed_while_a_build_runs(self):
        status, started = self.studio.post_json(
            "/api/run", {"input": [FLIGHT], "output": os.path.join(self.work.name, "busy", "o.tif"), "no_refine": True})
        self.assertEqual(status, 200, started)
        status, reply = self.studio.post_json("/api/diagnostics", {"path": self.report_path})
        self.assertEqual((status, reply), (409, {"error": "a render is running"}))
        # A scan only reads metadata: a page reloaded during the build gets its image list.
        status, reply = self.studio.post_json("/api/scan", {"input": [FLIGHT]})
        self.assertEqual(status, 200, reply)
        self.assertTrue(reply["shots"])
        self.studio.post_json("/api/cancel")
        end = time.time() + 120
        while time.time() < end and self.studio.get_json("/api/job")[1]["state"] == "running":
            time.sleep(0.1)


if __name__ == "__main__":
    unittest.main()
