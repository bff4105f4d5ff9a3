"""The studio closed to other pages and bounded under load, driven over loopback: headers that
forbid framing, requests of other sites refused, half-open connections and request bodies
bounded, file reads bounded, only build reports loaded, the page gzip-encoded, and the counts
of processors under an affinity mask."""
import gzip
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()
FLIGHT = os.path.join(su.SOURCE_DIR, "samples", "flight")


class Hardening(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.studio = su.Studio().__enter__()
        cls.work = tempfile.TemporaryDirectory(prefix="tsl_hard_")

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.work.cleanup()

    def test_every_reply_forbids_framing(self):
        for method, path in [("GET", "/"), ("GET", "/main.js"), ("GET", "/api/job"), ("POST", "/api/argv")]:
            _, headers, _ = self.studio.request(method, path, body={} if method == "POST" else None)
            self.assertEqual(headers.get("x-frame-options"), "DENY", path)
            csp = headers.get("content-security-policy", "")
            self.assertIn("frame-ancestors 'none'", csp, path)
            self.assertIn("default-src 'self'", csp, path)

    def test_requests_of_other_sites_are_refused(self):
        photo = os.path.join(FLIGHT, sorted(os.listdir(FLIGHT))[0])
        paths = ["/api/thumb?size=64&path=" + photo, "/api/job", "/"]
        cases = [("cross-site", 403), ("same-site", 403), ("Cross-Site", 403),
                 ("same-origin", 200), ("none", 200), (None, 200)]
        for site, want in cases:
            for path in paths:
                headers = {"Sec-Fetch-Site": site} if site else {}
                status, _, payload = self.studio.request("GET", path, headers=headers)
                self.assertEqual(status, want, (site, path, payload[:80]))
        status, _, _ = self.studio.request("POST", "/api/cancel", body={}, headers={"Sec-Fetch-Site": "same-site"})
        self.assertEqual(status, 403)

    def test_page_is_sent_gzip_encoded_when_accepted(self):
        for path in ["/", "/index.html", "/main.js"]:
            _, plain_headers, plain = self.studio.request("GET", path)
            self.assertNotIn("content-encoding", plain_headers)
            _, headers, packed = self.studio.request("GET", path, headers={"Accept-Encoding": "gzip, deflate, br"})
            self.assertEqual(headers.get("content-encoding"), "gzip", path)
            self.assertEqual(headers.get("vary"), "Accept-Encoding")
            self.assertLess(len(packed), len(plain) // 2, path)
            self.assertEqual(gzip.decompress(packed), plain, path)  # zlib as the oracle
        for value in ["gzip;q=0", "br", "identity"]:
            _, headers, _ = self.studio.request("GET", "/", headers={"Accept-Encoding": value})
            self.assertNotIn("content-encoding", headers, value)

    def test_a_connection_that_sends_no_whole_head_is_closed(self):
        for first in [b"", b"GET /api/job HTTP/1.1\r\nHost: 127.0.0.1\r\n"]:
            s = socket.create_connection(("127.0.0.1", self.studio.bound), timeout=20)
            s.sendall(first)
            t0 = time.time()
            self.assertEqual(s.recv(100), b"")
            self.assertLess(time.time() - t0, 15, first)  # the deadline is a few seconds, not minutes
            s.close()

    def test_bodies_in_flight_are_bounded_together(self):
        # Each announces the largest body allowed and sends none of it; together they may not
        # hold more than the budget.
        head = (b"POST /api/argv HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n"
                b"Content-Length: %d\r\n\r\n" % (self.studio.bound, 16 << 20))
        socks, refused = [], 0
        try:
            for _ in range(6):
                s = socket.create_connection(("127.0.0.1", self.studio.bound), timeout=5)
                s.sendall(head)
                socks.append(s)
            time.sleep(0.5)
            for s in socks:
                s.settimeout(0.3)
                try:
                    data = s.recv(4096)
                except socket.timeout:
                    continue
                if data.startswith(b"HTTP/1.1 503"):
                    refused += 1
            self.assertEqual(refused, 2)
        finally:
            for s in socks:
                s.close()
        time.sleep(0.3)
        self.assertEqual(self.studio.post_json("/api/argv", {"input": ["x"]})[0], 200)

    def test_only_build_reports_are_loaded(self):
        secret = os.path.join(self.work.name, "secret.txt")
        with open(secret, "w") as f:
            f.write("private")
        other = os.path.join(self.work.name, "package.json")
        with open(other, "w") as f:
            json.dump({"output": os.path.join(self.work.name, "secret.tif"), "preview": secret}, f)
        status, reply = self.studio.post_json("/api/report", {"path": other})
        self.assertEqual((status, reply), (400, {"error": "not a build report: package.json"}))
        status, _, _ = self.studio.request("GET", "/api/file?path=" + secret)
        self.assertEqual(status, 404)
        # A report of the program's own shape loads, and so do the files it names.
        report = os.path.join(self.work.name, "o_report.json")
        with open(report, "w") as f:
            json.dump({"version": "x", "images": 1, "output": os.path.join(self.work.name, "o.tif"), "shots": [],
                       "config": {}, "preview": secret.replace(".txt", ".jpg")}, f)
        with open(secret.replace(".txt", ".jpg"), "wb") as f:
            f.write(b"\xff\xd8")
        self.assertEqual(self.studio.post_json("/api/report", {"path": report})[0], 200)
        self.assertEqual(self.studio.request("GET", "/api/file?path=" + secret.replace(".txt", ".jpg"))[0], 200)

    def test_photos_above_the_limit_are_refused_unread(self):
        big = os.path.join(self.work.name, "huge.jpg")
        with open(big, "wb") as f:
            f.truncate(1_100_000_000)  # sparse: costs no disk
        t0 = time.time()
        status, _, payload = self.studio.request("GET", "/api/thumb?path=" + big)
        self.assertEqual(status, 404)
        self.assertEqual(json.loads(payload), {"error": "too large (1.1 GB, limit 1 GB)"})
        self.assertLess(time.time() - t0, 5)
        os.remove(big)

    def test_errors_a_person_can_act_on(self):
        out = os.path.join(self.work.name, "busy", "o.tif")
        status, started = self.studio.post_json("/api/run", {"input": [FLIGHT], "output": out, "no_refine": True})
        self.assertEqual(status, 200, started)
        try:
            status, reply = self.studio.post_json("/api/run", {"input": [FLIGHT], "output": out})
            self.assertEqual(status, 409)
            self.assertEqual(reply["error"], "a build is already running")
        finally:
            self.studio.post_json("/api/cancel")
            end = time.time() + 120
            while time.time() < end and self.studio.get_json("/api/job")[1]["state"] == "running":
                time.sleep(0.1)


class Entry(unittest.TestCase):
    def test_studio_help_prints_the_usage(self):
        for words in [["studio", "--help"], ["studio", "-h"], ["--studio", "--port", "9", "--help"]]:
            r = subprocess.run([su.EXE] + words, capture_output=True, text=True, timeout=10)
            self.assertEqual(r.returncode, 0, words)
            self.assertTrue(r.stdout.startswith("usage: tessaly studio [--port PORT] [--no-browser]"), r.stdout)

    def test_processor_counts_follow_the_affinity_mask(self):
        if not shutil.which("taskset") or os.cpu_count() < 3:
            self.skipTest("taskset or 3 processors needed")
        # The studio of studio_util, started under a mask of two processors.
        st = su.Studio.__new__(su.Studio)
        st.port, st.bound = su.free_port_block(), None
        st.tmp = tempfile.TemporaryDirectory(prefix="tsl_studio_")
        st.out_path = os.path.join(st.tmp.name, "stdout.txt")
        st.err_path = os.path.join(st.tmp.name, "stderr.txt")
        words = ["taskset", "-c", "0,1", su.EXE, "studio", "--port", str(st.port), "--no-browser"]
        with open(st.out_path, "wb") as out, open(st.err_path, "wb") as err:
            st.proc = subprocess.Popen(words, stdout=out, stderr=err, cwd=st.tmp.name)
        with st:
            end = time.time() + 10
            while True:
                perf = st.get_json("/api/perf")[1]
                if perf["samples"] or time.time() > end:
                    break
                time.sleep(0.2)
            static = perf["static"]
            self.assertEqual(static["cores_logical"], 2)
            self.assertIn(static["cores_physical"], (1, 2))
            self.assertEqual(static["workers"], 1)
            self.assertEqual(st.get_json("/api/info")[1]["cpu"], 2)
            self.assertGreaterEqual(perf["samples"][-1]["threads"], 2)  # the accept loop and the sampler


if __name__ == "__main__":
    unittest.main()
