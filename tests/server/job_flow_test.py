"""A studio build of the sample flight followed over loopback from POST /api/run through
GET /api/job to its end; refusals while it runs, cancellation, and start/reset requests racing
each other."""
import json
import os
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()

FLIGHT = os.path.join(su.SOURCE_DIR, "samples", "flight")
if not os.path.isdir(FLIGHT):
    print("samples/flight absent")
    sys.exit(77)


class JobFlow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = tempfile.TemporaryDirectory(prefix="tsl_home_")
        cls.studio = su.Studio(env={"HOME": cls.home.name, "LOCALAPPDATA": ""}).__enter__()
        cls.work = tempfile.TemporaryDirectory(prefix="tsl_job_")

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()
        cls.work.cleanup()
        cls.home.cleanup()

    def settings(self, name="ortho"):
        return {"input": [FLIGHT], "output": os.path.join(self.work.name, name + ".tif"), "no_refine": True}

    def follow(self, timeout=240):
        """Polls like the page until the job leaves "running"; returns the last reply, every line
        and the (stage, progress) pairs seen."""
        lines, seen = [], []
        end = time.time() + timeout
        while time.time() < end:
            status, job = self.studio.get_json("/api/job?since=%d" % len(lines))
            self.assertEqual(status, 200)
            lines += job["lines"]
            self.assertEqual(job["next"], len(lines))
            seen.append((job["stage"], job["progress"]))
            if job["state"] != "running":
                return job, lines, seen
            time.sleep(0.1)
        self.fail("the build did not end")

    def wait_not_running(self):
        end = time.time() + 240
        while self.studio.get_json("/api/job")[1]["state"] == "running":
            self.assertLess(time.time(), end)
            time.sleep(0.05)

    def test_1_build_followed_to_the_end(self):
        status, started = self.studio.post_json("/api/run", self.settings())
        self.assertEqual(status, 200)
        self.assertTrue(started["ok"])
        self.assertEqual(started["argv"][0], FLIGHT)
        # A second start while the first runs is refused with the list it would have used.
        status, refused = self.studio.post_json("/api/run", self.settings("other"))
        self.assertEqual(status, 409)
        self.assertEqual(refused["ok"], False)
        self.assertEqual(refused["argv"][0], FLIGHT)
        self.assertEqual(self.studio.post_json("/api/reset")[0], 409)
        self.assertEqual(self.studio.post_json("/api/cache_clear")[1], {"error": "a build is running - cancel it first"})

        job, lines, seen = self.follow()
        self.assertEqual(job["state"], "done", lines[-5:])
        self.assertEqual(job["progress"], 1)
        self.assertIsNone(job["error"])
        self.assertTrue(lines[0].startswith("$ tessaly " + FLIGHT))
        self.assertIn("[1/6] metadata", [l.split(":")[0] for l in lines])
        self.assertTrue(any(l.startswith("  block row ") for l in lines))
        # Stages and progress only move forward while polled.
        self.assertEqual([s for s, _ in seen], sorted(s for s, _ in seen))
        self.assertEqual([p for _, p in seen], sorted(p for _, p in seen))
        self.assertEqual(seen[-1], (6, 1))
        report = job["report"]
        self.assertEqual(report["output"], self.settings()["output"])
        # The clock stops at the end.
        e1 = self.studio.get_json("/api/job")[1]["elapsed"]
        time.sleep(0.4)
        self.assertEqual(self.studio.get_json("/api/job")[1]["elapsed"], e1)
        # The build's files are now served, and its timings shown.
        status, headers, body = self.studio.request("GET", "/api/file?path=" + report["preview"])
        self.assertEqual((status, headers["content-type"]), (200, "image/jpeg"))
        report_path = report["output"][:-4] + "_report.json"
        self.assertEqual(self.studio.request("GET", "/api/file?path=" + report_path)[0], 200)
        perf = self.studio.get_json("/api/perf")[1]
        self.assertIsInstance(perf["timings"], dict)
        self.assertEqual(perf["live_stage_times"][0]["stage"], "metadata")
        # The reply never carries bare NaN words.
        raw = self.studio.request("GET", "/api/job")[2].decode()
        self.assertNotIn("NaN", raw.replace('"NaN"', ""))
        json.loads(raw, parse_constant=lambda c: self.fail("bare " + c))

    def test_2_cancel(self):
        status, _ = self.studio.post_json("/api/run", self.settings("cancelled"))
        self.assertEqual(status, 200)
        end = time.time() + 30
        while not any(l.startswith("[1/6]") for l in self.studio.get_json("/api/job")[1]["lines"]):
            self.assertLess(time.time(), end)
            time.sleep(0.02)
        self.assertEqual(self.studio.post_json("/api/cancel"), (200, {"ok": True}))
        job, lines, _ = self.follow()
        self.assertEqual(job["state"], "cancelled")
        self.assertEqual(lines[-1], "cancelled")
        self.assertIsNone(job["error"])
        self.assertIsNone(job["report"])
        # The next build is not cancelled by the old request.
        status, _ = self.studio.post_json("/api/run", {"input": [os.path.join(self.work.name, "nothing here")]})
        self.assertEqual(status, 200)
        job, lines, _ = self.follow()
        self.assertEqual(job["state"], "error")
        self.assertEqual(lines[-1], "error: " + job["error"])

    def test_3_back_to_back_builds_keep_their_log(self):
        # Each build is started the moment the one before leaves "running" (polled without a
        # pause); every one of them must still receive its own log lines.
        bad = {"input": [os.path.join(self.work.name, "no such folder")]}
        conn = self.studio.conn()

        def call(method, path, body=None):
            conn.request(method, path, body=json.dumps(body) if body is not None else None,
                         headers={"Content-Type": "application/json"} if body is not None else {})
            r = conn.getresponse()
            return r.status, json.loads(r.read())

        for _ in range(30):
            end = time.time() + 30
            while call("POST", "/api/run", bad)[0] != 200:
                self.assertLess(time.time(), end)
            while True:
                status, job = call("GET", "/api/job")
                if job["state"] != "running":
                    break
                self.assertLess(time.time(), end)
            lines = job["lines"]
            self.assertEqual(job["state"], "error")
            # The build's own logged lines sit between the echo and the final error line.
            self.assertGreater(len(lines), 2, lines)
            self.assertEqual(lines[1], "tessaly 0.5.0b4")
        conn.close()

    def test_4_run_and_reset_racing(self):
        # A reset decided while no build ran must never wipe a build that started meanwhile.
        for i in range(12):
            self.wait_not_running()
            results = {}

            def post(name, path, body):
                results[name] = self.studio.post_json(path, body)

            threads = [threading.Thread(target=post, args=("run", "/api/run", self.settings("race%d" % i)))]
            threads += [threading.Thread(target=post, args=("reset%d" % k, "/api/reset", {})) for k in range(4)]
            threads += [threading.Thread(target=post, args=("clear%d" % k, "/api/cache_clear", {})) for k in range(2)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            self.assertEqual(results["run"][0], 200)
            job = self.studio.get_json("/api/job")[1]
            self.assertNotEqual(job["state"], "idle")
            end = time.time() + 5
            while not job["lines"] and time.time() < end:
                time.sleep(0.02)
                job = self.studio.get_json("/api/job")[1]
            self.assertTrue(job["lines"][0].startswith("$ tessaly "), job["lines"][:2])
            for name, (status, body) in results.items():
                if name != "run":
                    self.assertIn(status, (200, 409), (name, body))
            self.studio.post_json("/api/cancel")
        self.wait_not_running()


if __name__ == "__main__":
    unittest.main()
