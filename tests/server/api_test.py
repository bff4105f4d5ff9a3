"""The studio's GET and POST endpoints over loopback: the settings schema, the page and icon,
the file server's allow-list, stored reports, argument lists, the disk-cache figures and
clearing, and thumbnails checked with djpeg and identify."""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()


def q(path):
    return urllib.parse.quote(path, safe="")


class Endpoints(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory(prefix="tsl_home_")
        cls.studio = su.Studio(env={"HOME": cls.home.name, "LOCALAPPDATA": ""}).__enter__()
        cls.work = tempfile.TemporaryDirectory(prefix="tsl_api_")

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.work.cleanup()
        cls.home.cleanup()

    def test_info_and_schema(self):
        status, info = self.studio.get_json("/api/info")
        self.assertEqual(status, 200)
        self.assertEqual(list(info), ["version", "ready", "rawpy", "engine", "cpu", "gpu", "lightglue", "schema", "cwd"])
        self.assertEqual((info["version"], info["ready"], info["engine"], info["gpu"], info["lightglue"]),
                         ("0.5.0b4", True, "native", None, False))
        self.assertEqual(info["cpu"], len(os.sched_getaffinity(0)))
        self.assertEqual(info["cwd"], self.studio.tmp.name)
        schema = info["schema"]
        self.assertEqual(len(schema), 63)
        for key, entry in schema.items():
            self.assertEqual(list(entry), ["flag", "default", "help", "choices", "kind"], key)
            self.assertEqual(entry["flag"], "--" + key.replace("_", "-") if key != "output" else entry["flag"])
        self.assertEqual(schema["bits"]["choices"], [8, 16])
        self.assertEqual(schema["bits"]["kind"], "value")
        self.assertEqual(schema["wb"]["kind"], "list")
        self.assertEqual(schema["exclude"]["kind"], "append")
        self.assertEqual(schema["max_tilt"]["flag"], "--max-tilt")
        flags = [k for k, e in schema.items() if e["kind"] == "bool"]
        self.assertTrue(flags)
        self.assertTrue(all(schema[k]["choices"] is None for k in flags))

    def test_page_and_icon(self):
        status, headers, page = self.studio.request("GET", "/")
        with open(os.path.join(su.SOURCE_DIR, "web", "index.html"), "rb") as f:
            self.assertEqual(page, f.read())
        self.assertEqual(headers["cache-control"], "no-store")
        self.assertEqual(self.studio.request("GET", "/index.html")[2], page)
        status, headers, icon = self.studio.request("GET", "/favicon.png")
        self.assertEqual((status, headers["content-type"]), (200, "image/png"))
        width, height, depth, colour = struct.unpack(">IIBB", icon[16:26])
        self.assertEqual((width, height, depth, colour), (64, 64, 8, 6))  # RGBA, 8 bits
        if shutil.which("pngcheck"):
            path = os.path.join(self.work.name, "icon.png")
            with open(path, "wb") as f:
                f.write(icon)
            self.assertEqual(subprocess.run(["pngcheck", "-q", path]).returncode, 0)

    def test_every_page_file_is_served_with_its_type(self):
        # The page's script modules load only when served with a JavaScript type.
        types = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8", ".png": "image/png"}
        web = os.path.join(su.SOURCE_DIR, "web")
        names = sorted(os.path.relpath(os.path.join(d, n), web) for d, _, ns in os.walk(web) for n in ns)
        self.assertIn("main.js", names)
        for name in names:
            with self.subTest(name=name):
                status, headers, body = self.studio.request("GET", "/" + name.replace(os.sep, "/"))
                with open(os.path.join(web, name), "rb") as f:
                    want = f.read()
                self.assertEqual((status, body), (200, want))
                self.assertEqual(headers["content-type"], types[os.path.splitext(name)[1]])
                # only the icon may be kept: a newer program must not run an older page's modules
                self.assertEqual(headers["cache-control"], "max-age=3600" if name == "favicon.png" else "no-store")

    def test_file_serves_only_files_of_loaded_builds(self):
        out = os.path.join(self.work.name, "ortho.tif")
        preview = os.path.join(self.work.name, "ortho_preview.jpg")
        report_path = os.path.join(self.work.name, "ortho_report.json")
        other = os.path.join(self.work.name, "secret.json")
        os.makedirs(os.path.join(self.work.name, "sub"), exist_ok=True)
        for p, data in [(preview, b"\xff\xd8jpeg"), (os.path.join(self.work.name, "ortho_preview_mask.png"), b"png"),
                        (other, b"{}"), (os.path.join(self.work.name, "ortho.tfw"), b"1\n")]:
            with open(p, "wb") as f:
                f.write(data)
        with open(report_path, "w") as f:
            json.dump({"version": "0.5.0b4", "images": 1, "output": out, "preview": preview, "shots": [], "config": {},
                       "ratio": float("nan")}, f)
        # Nothing is served before the report was loaded.
        for p in [preview, report_path, other, "/etc/hostname"]:
            self.assertEqual(self.studio.request("GET", "/api/file?path=" + q(p))[0], 404, p)
        status, report = self.studio.post_json("/api/report", {"path": report_path})
        self.assertEqual(status, 200)
        self.assertIsNone(report["ratio"])  # NaN in the file is null in the reply
        cases = [
            (preview, 200, "image/jpeg"),
            (report_path, 200, "application/json"),
            (os.path.join(self.work.name, "ortho_preview_mask.png"), 200, "image/png"),
            (os.path.join(self.work.name, "ortho.tfw"), 200, "text/plain"),
            (os.path.join(self.work.name, "sub", "..", "ortho_preview.jpg"), 200, "image/jpeg"),
            (other, 404, None),
            (out, 404, None),  # .tif is never served
            (os.path.join(self.work.name, "ortho_preview_neutral.jpg"), 404, None),  # allowed but missing
        ]
        for p, want, ctype in cases:
            status, headers, body = self.studio.request("GET", "/api/file?path=" + q(p) + "&t=123")
            self.assertEqual(status, want, p)
            if want == 200:
                self.assertEqual(headers["content-type"], ctype)
            else:
                self.assertEqual(json.loads(body), {"error": "not found"})

    def test_report(self):
        folder = os.path.join(self.work.name, "a_folder.json")
        os.makedirs(folder, exist_ok=True)
        status, body = self.studio.post_json("/api/report", {"path": folder})
        self.assertEqual((status, body), (404, {"error": "report not found: a_folder.json", "missing": True}))
        status, body = self.studio.post_json("/api/report", {})
        self.assertEqual((status, body), (404, {"error": "report not found: ", "missing": True}))
        arr = os.path.join(self.work.name, "arr.json")
        with open(arr, "w") as f:
            f.write("[1,2]")
        # Only the program's own reports load: any other JSON would be shown and widen /api/file.
        self.assertEqual(self.studio.post_json("/api/report", {"path": arr}),
                         (400, {"error": "not a build report: arr.json"}))
        bad = os.path.join(self.work.name, "bad.json")
        with open(bad, "w") as f:
            f.write("[1,2] x")
        status, body = self.studio.post_json("/api/report", {"path": bad})
        self.assertEqual(status, 400)
        self.assertIn("trailing characters", body["error"])

    def test_argv(self):
        status, body = self.studio.post_json("/api/argv", {"input": ["D:/my flight"], "no_refine": True, "bits": 8, "gsd": None})
        self.assertEqual(status, 200)
        self.assertEqual(body["argv"][0], "D:/my flight")
        self.assertIn("--no-refine", body["argv"])

    def test_cancel_and_reset_while_idle(self):
        self.assertEqual(self.studio.post_json("/api/cancel"), (200, {"ok": True}))
        self.assertEqual(self.studio.post_json("/api/reset"), (200, {"ok": True}))
        status, job = self.studio.get_json("/api/job?since=abc")
        self.assertEqual((job["state"], job["lines"], job["next"], job["elapsed"]), ("idle", [], 0, 0))

    def test_cache_figures_and_clearing(self):
        cache = os.path.join(self.home.name, ".cache", "tessaly")
        key = "0123456789abcdef01234567"
        os.makedirs(os.path.join(cache, "features", "01"), exist_ok=True)
        os.makedirs(os.path.join(cache, "decoded", "ab"), exist_ok=True)
        with open(os.path.join(cache, "features", "01", key + ".tslc"), "wb") as f:
            f.write(b"x" * 1000)
        with open(os.path.join(cache, "decoded", "ab", key + ".tslc"), "wb") as f:
            f.write(b"x" * 1000)
        with open(os.path.join(cache, "mine.txt"), "w") as f:
            f.write("not the cache's")
        status, info = self.studio.get_json("/api/cache")
        self.assertEqual(list(info), ["dir", "files", "gb", "hits", "misses", "enabled", "max_gb"])
        self.assertEqual((info["dir"], info["files"]), (cache, 3))
        status, cleared = self.studio.post_json("/api/cache_clear")
        self.assertEqual(status, 200)
        self.assertEqual(cleared, {"dir": cache, "files": 1, "gb": 0, "ok": True})
        self.assertTrue(os.path.exists(os.path.join(cache, "mine.txt")))
        # A failure is told, not hidden.
        stuck = os.path.join(cache, "features", "02", key + ".tslc")
        os.makedirs(stuck)
        with open(os.path.join(stuck, "inner"), "w") as f:
            f.write("x")
        status, cleared = self.studio.post_json("/api/cache_clear")
        self.assertEqual(status, 200)
        self.assertFalse(cleared["ok"])
        self.assertIn("cannot remove", cleared["error"])
        shutil.rmtree(os.path.join(cache, "features"))


class Thumbnails(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.studio = su.Studio().__enter__()
        cls.work = tempfile.TemporaryDirectory(prefix="tsl_thumb_")

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.work.cleanup()

    def thumb(self, path, size=None):
        url = "/api/thumb?path=" + q(path) + ("&size=%s" % size if size is not None else "")
        return self.studio.request("GET", url)

    def dims(self, data, tool):
        path = os.path.join(self.work.name, "t.jpg")
        with open(path, "wb") as f:
            f.write(data)
        if tool == "djpeg":
            ppm = subprocess.run(["djpeg", "-pnm", path], capture_output=True, check=True).stdout
            parts = ppm.split(maxsplit=3)
            return int(parts[1]), int(parts[2])
        out = subprocess.run(["identify", "-format", "%w %h %m", path], capture_output=True, text=True, check=True).stdout
        w, h, kind = out.split()
        self.assertEqual(kind, "JPEG")
        return int(w), int(h)

    def test_jpeg(self):
        if not shutil.which("djpeg"):
            self.skipTest("djpeg not installed")
        photo = os.path.join(su.SOURCE_DIR, "samples", "flight", "DJI_0001.JPG")
        status, headers, data = self.thumb(photo)
        self.assertEqual((status, headers["content-type"], headers["cache-control"]), (200, "image/jpeg", "max-age=3600"))
        w, h = self.dims(data, "djpeg")
        self.assertEqual(max(w, h), 320)
        status, _, data480 = self.thumb(photo, 480)
        self.assertEqual(max(self.dims(data480, "djpeg")), 480)
        self.assertEqual(self.thumb(photo, "abc")[2], data)  # counts as 320
        self.assertEqual(self.dims(self.thumb(photo, 0)[2], "djpeg"), (1, 1))

    def test_sixteen_bit_tiff(self):
        if not shutil.which("identify"):
            self.skipTest("identify not installed")
        tiff = os.path.join(su.SHARED_DATA, "tiff-image-rs", "images", "rgb-3c-16b.tiff")
        if not os.path.exists(tiff):
            self.skipTest("shared data absent")
        out = subprocess.run(["identify", "-format", "%w %h %z", tiff], capture_output=True, text=True).stdout.split()
        status, _, data = self.thumb(tiff, 40)
        self.assertEqual(status, 200)
        w, h = self.dims(data, "identify")
        sw, sh = int(out[0]), int(out[1])
        s = min(40 / max(sw, sh), 1)
        self.assertEqual((w, h), (max(1, round(sw * s)), max(1, round(sh * s))))

    def test_dng(self):
        if not shutil.which("identify"):
            self.skipTest("identify not installed")
        dng = os.path.join(su.SHARED_DATA, "dng-tinydng", "colorchart.dng")
        if not os.path.exists(dng):
            self.skipTest("shared data absent")
        upper = os.path.join(self.work.name, "IMG_0001.DNG")
        shutil.copy(dng, upper)
        for path in [dng, upper]:
            for size in [320, 480]:
                status, _, data = self.thumb(path, size)
                self.assertEqual(status, 200, (path, size, data[:200]))
                w, h = self.dims(data, "identify")
                self.assertLessEqual(max(w, h), max(size, 4000))

    def test_errors(self):
        text = os.path.join(self.work.name, "x.jpg")
        with open(text, "w") as f:
            f.write("plain text")
        status, _, body = self.thumb(text)
        self.assertEqual((status, json.loads(body)), (404, {"error": "not a JPEG"}))
        status, _, body = self.thumb(os.path.join(self.work.name, "missing.jpg"))
        self.assertEqual(status, 404)
        self.assertIn("No such file", json.loads(body)["error"])


if __name__ == "__main__":
    unittest.main()
