"""Start-up of the studio: the banner, the port search over twelve ports, the browser opener
(an argument list, never a shell; nothing without a display) and the sampler's first state."""
import os
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()


def hold(port):
    s = socket.socket()
    s.bind(("127.0.0.1", port))
    s.listen(1)
    return s


class PortSearch(unittest.TestCase):
    def test_banner_on_the_given_port(self):
        with su.Studio() as st:
            line = st.wait_banner()
            self.assertEqual(line, "tessaly studio 0.5.0b4 -> http://127.0.0.1:%d/   (close this window to quit)" % st.port)
            self.assertEqual(st.bound, st.port)

    def test_next_port_when_the_first_is_held(self):
        base = su.free_port_block()
        held = hold(base)
        try:
            with su.Studio(port=base) as st:
                self.assertEqual(st.bound, base + 1)
                status, info = st.get_json("/api/info")
                self.assertEqual(status, 200)
        finally:
            held.close()

    def test_twelve_held_ports(self):
        base = su.free_port_block()
        held = [hold(p) for p in range(base, base + 12)]
        try:
            st = su.Studio(port=base)
            code = st.proc.wait(timeout=10)
            self.assertEqual(code, 1)
            self.assertEqual(st.stderr(), "no free port in %d-%d\n" % (base, base + 11))
            self.assertEqual(st.stdout(), "")
            st.stop()
        finally:
            for s in held:
                s.close()

    def test_listens_on_loopback_only(self):
        with su.Studio() as st:
            # Every listening socket of the process is bound to 127.0.0.1.
            with open("/proc/%d/net/tcp" % st.proc.pid) as f:
                rows = [line.split() for line in f.readlines()[1:]]
            listening = [r[1] for r in rows if r[3] == "0A" and int(r[1].split(":")[1], 16) == st.bound]
            self.assertEqual(listening, ["0100007F:%04X" % st.bound])


class BrowserOpener(unittest.TestCase):
    def setUp(self):
        self.bin = tempfile.TemporaryDirectory(prefix="tsl_bin_")
        self.marker = os.path.join(self.bin.name, "opened.txt")
        script = os.path.join(self.bin.name, "xdg-open")
        with open(script, "w") as f:
            # Records each argument on its own line.
            f.write('#!/bin/sh\nfor a in "$@"; do printf "%%s\\n" "$a" >> "%s"; done\n' % self.marker)
        os.chmod(script, stat.S_IRWXU)
        self.path = self.bin.name + os.pathsep + os.environ.get("PATH", "")

    def tearDown(self):
        self.bin.cleanup()

    def run_studio(self, display, browser):
        env = {"PATH": self.path, "DISPLAY": display, "WAYLAND_DISPLAY": ""}
        st = su.Studio(env=env, browser=browser)
        st.__enter__()
        time.sleep(1.5)
        st.stop()
        if not os.path.exists(self.marker):
            return None
        with open(self.marker) as f:
            return f.read()

    def test_opens_the_page_with_a_display(self):
        got = self.run_studio(":99", True)
        self.assertIsNotNone(got)
        lines = got.splitlines()
        self.assertEqual(len(lines), 1)
        self.assertRegex(lines[0], r"^http://127\.0\.0\.1:\d+/$")

    def test_nothing_without_a_display(self):
        self.assertIsNone(self.run_studio("", True))

    def test_nothing_with_no_browser(self):
        self.assertIsNone(self.run_studio(":99", False))


class Sampler(unittest.TestCase):
    def test_static_facts_then_samples(self):
        with su.Studio() as st:
            status, perf = st.get_json("/api/perf")
            self.assertEqual(status, 200)
            static = perf["static"]
            self.assertEqual(list(static), ["cores_logical", "cores_physical", "ram_total", "gpu_name", "workers"])
            self.assertEqual(static["cores_logical"], len(os.sched_getaffinity(0)))
            self.assertIsNone(static["gpu_name"])
            self.assertEqual(perf["timings"], None)
            self.assertEqual(perf["live_stage_times"], [])
            end = time.time() + 5
            while not perf["samples"] and time.time() < end:
                time.sleep(0.2)
                perf = st.get_json("/api/perf")[1]
            self.assertTrue(perf["samples"])
            s = perf["samples"][0]
            self.assertEqual(list(s)[:10], ["t", "stage", "state", "progress", "cpu", "cores", "ram", "rss", "threads", "gpu_cache"])
            self.assertEqual((s["state"], s["stage"], s["progress"]), ("idle", 0, 0))
            self.assertEqual(len(s["cores"]), os.cpu_count())
            self.assertTrue(all(0 <= c <= 100 for c in s["cores"]))
            self.assertGreater(s["rss"], 0)
            # since = the newest t gives nothing; a sample whose t equals since is left out.
            newest = perf["samples"][-1]["t"]
            self.assertEqual(st.get_json("/api/perf?since=%r" % newest)[1]["samples"], [])
            self.assertEqual(len(st.get_json("/api/perf?since=abc")[1]["samples"]), len(st.get_json("/api/perf")[1]["samples"]))


class GpuProbe(unittest.TestCase):
    def fake(self, body):
        d = tempfile.TemporaryDirectory(prefix="tsl_gpu_")
        script = os.path.join(d.name, "nvidia-smi")
        with open(script, "w") as f:
            f.write("#!/bin/sh\n" + body)
        os.chmod(script, stat.S_IRWXU)
        return d, {"PATH": d.name + os.pathsep + os.environ.get("PATH", "")}

    def samples_after(self, env, seconds):
        with su.Studio(env=env) as st:
            time.sleep(seconds)
            return st.get_json("/api/perf")[1]

    def test_readings_with_a_field_that_is_not_a_number(self):
        d, env = self.fake('echo "37, 1024, 8192, 55, [N/A], 1500, Test GPU"\n')
        with d:
            perf = self.samples_after(env, 3.4)
        self.assertEqual(perf["static"]["gpu_name"], "Test GPU")
        self.assertGreaterEqual(len(perf["samples"]), 2)
        for s in perf["samples"]:
            self.assertEqual([s["gpu"], s["vram"], s["vram_total"], s["gpu_temp"], s["gpu_power"], s["gpu_clock"]],
                             [37, 1024, 8192, 55, None, 1500])

    def test_a_probe_that_hangs_is_killed(self):
        with tempfile.TemporaryDirectory(prefix="tsl_gpu_pid_") as pid_dir:
            pid_file = os.path.join(pid_dir, "pid")
            d, env = self.fake('echo $$ > "%s"\nexec sleep 60\n' % pid_file)
            with d, su.Studio(env=env) as st:
                time.sleep(5.5)
                perf = st.get_json("/api/perf")[1]
                with open(pid_file) as f:
                    pid = int(f.read())
                # Killed after its 3 seconds (and reaped); the sampler went on without a GPU.
                self.assertFalse(os.path.exists("/proc/%d" % pid))
                self.assertGreaterEqual(len(perf["samples"]), 1)
                self.assertTrue(all("gpu" not in s for s in perf["samples"]))
                self.assertIsNone(perf["static"]["gpu_name"])


if __name__ == "__main__":
    unittest.main()
