"""The studio's HTTP/1.1 connection handling, driven over loopback with raw sockets and
http.client: persistence, pipelining, malformed requests, bounds and the access rules."""
import json
import os
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_util as su  # noqa: E402

su.require_exe()


class HttpConnection(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.studio = su.Studio().__enter__()
        cls.host = ("Host: 127.0.0.1:%d\r\n" % cls.studio.bound).encode()

    @classmethod
    def tearDownClass(cls):
        cls.studio.stop()

    def get(self, path, version="HTTP/1.1", extra=b""):
        return ("GET %s %s\r\n" % (path, version)).encode() + self.host + extra + b"\r\n"

    def test_keep_alive_and_pipelining(self):
        # Two requests in one packet, both answered in order on one connection.
        data = self.studio.raw(self.get("/api/job") + self.get("/api/info") + self.get("/api/job", extra=b"Connection: close\r\n"))
        rs = su.responses(data)
        self.assertEqual([r[0] for r in rs], [200, 200, 200])
        self.assertEqual(rs[0][1]["connection"], "keep-alive")
        self.assertIn("schema", json.loads(rs[1][2]))
        self.assertEqual(rs[2][1]["connection"], "close")

    def test_page_without_headers_keeps_the_connection(self):
        s = socket.create_connection(("127.0.0.1", self.studio.bound), timeout=5)
        s.sendall(b"GET / HTTP/1.1\r\n\r\n")
        time.sleep(0.3)
        s.sendall(b"GET /favicon.ico HTTP/1.1\r\nConnection: Close\r\n\r\n")
        rs = su.responses(su.read_all(s))
        self.assertEqual(len(rs), 2)
        self.assertEqual(rs[0][1]["content-type"], "text/html; charset=utf-8")
        self.assertEqual(rs[0][1]["connection"], "keep-alive")
        self.assertEqual(rs[1][1]["content-type"], "image/png")
        self.assertEqual(rs[1][1]["cache-control"], "max-age=3600")
        self.assertEqual(rs[1][2][:8], b"\x89PNG\r\n\x1a\n")

    def test_http10_closes_unless_keep_alive(self):
        rs = su.responses(self.studio.raw(self.get("/api/info", "HTTP/1.0") + self.get("/api/job")))
        self.assertEqual(len(rs), 1)
        self.assertEqual(rs[0][1]["connection"], "close")
        rs = su.responses(self.studio.raw(self.get("/api/info", "HTTP/1.0", b"Connection: keep-alive\r\n") +
                                          self.get("/api/job", extra=b"Connection: close\r\n")))
        self.assertEqual(len(rs), 2)

    def test_malformed_request_lines_close_without_reply(self):
        for data in [b"GET\r\n\r\n", b"\r\n", b"   \r\n", b"GET \xff\xfe HTTP/1.1\r\n\r\n"]:
            self.assertEqual(self.studio.raw(data, shutdown=True), b"", data)
        # A broken header line (not UTF-8) ends the connection too.
        self.assertEqual(self.studio.raw(b"GET / HTTP/1.1\r\nX: \xff\r\n\r\n", shutdown=True), b"")

    def test_content_length_values(self):
        # "+3" reads three body bytes, so the next request starts right after them.
        post = ("POST /api/argv HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Type: application/json\r\n" % self.studio.bound).encode()
        rs = su.responses(self.studio.raw(post + b"Content-Length: +3\r\n\r\n{} " + self.get("/api/job", extra=b"Connection: close\r\n")))
        self.assertEqual([r[0] for r in rs], [200, 200])
        self.assertEqual(json.loads(rs[0][2]), {"argv": []})
        # "-5", "abc" and an empty value count as 0: the bytes that follow are the next request.
        for value in [b"-5", b"abc", b""]:
            rs = su.responses(self.studio.raw(post + b"Content-Length: " + value + b"\r\n\r\n" +
                                              self.get("/api/job", extra=b"Connection: close\r\n")))
            self.assertEqual([r[0] for r in rs], [200, 200], value)
        # The last of two headers counts.
        rs = su.responses(self.studio.raw(post + b"Content-Length: 900\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"))
        self.assertEqual([r[0] for r in rs], [200])
        # Absurd values are refused before any body byte is read or allocated.
        for value in [b"18446744073709551615", b"99999999999999999999999999", b"17000000"]:
            data = self.studio.raw(post + b"Content-Length: " + value + b"\r\n\r\n")
            rs = su.responses(data)
            if value == b"99999999999999999999999999":
                # Does not fit in 64 bits: counts as 0, so the request is answered.
                self.assertEqual(rs[0][0], 200)
            else:
                self.assertEqual(rs[0][0], 413, value)
                self.assertEqual(rs[0][1]["connection"], "close")

    def test_headers_split_across_packets(self):
        s = socket.create_connection(("127.0.0.1", self.studio.bound), timeout=5)
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for part in [b"GE", b"T /api/in", b"fo HTTP/1.1\r", b"\nHo", self.host[2:], b"Conn", b"ection: close\r\n", b"\r", b"\n"]:
            s.sendall(part)
            time.sleep(0.05)
        rs = su.responses(su.read_all(s))
        self.assertEqual(len(rs), 1)
        self.assertEqual(rs[0][0], 200)

    def test_half_request_then_silence_leaves_no_thread(self):
        base = self.studio.settled_threads()
        s = socket.create_connection(("127.0.0.1", self.studio.bound), timeout=5)
        s.sendall(b"POST /api/run HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"inp")
        time.sleep(0.3)
        # Other clients are served meanwhile.
        status, _ = self.studio.get_json("/api/job")
        self.assertEqual(status, 200)
        self.assertEqual(self.studio.settled_threads(), base + 1)
        s.close()  # the client goes away without finishing: a clean close, no reply, no build
        end = time.time() + 5
        while self.studio.threads() > base and time.time() < end:
            time.sleep(0.05)
        self.assertEqual(self.studio.threads(), base)
        self.assertEqual(self.studio.get_json("/api/job")[1]["state"], "idle")

    def test_bounds(self):
        # A request line over 64 KiB, and more than 100 header lines, are refused and closed.
        rs = su.responses(self.studio.raw(b"GET /" + b"a" * (70 * 1024) + b" HTTP/1.1\r\n\r\n"))
        self.assertEqual(rs[0][0], 400)
        many = b"".join(b"X-%d: y\r\n" % i for i in range(101))
        rs = su.responses(self.studio.raw(b"GET /api/job HTTP/1.1\r\n" + many + b"\r\n"))
        self.assertEqual(rs[0][0], 400)
        # 100 header lines are fine.
        many = b"".join(b"X-%d: y\r\n" % i for i in range(98))
        rs = su.responses(self.studio.raw(b"GET /api/job HTTP/1.1\r\n" + self.host + many + b"Connection: close\r\n\r\n"))
        self.assertEqual(rs[0][0], 200)

    def test_foreign_host_and_origin_are_refused(self):
        port = self.studio.bound
        cases = [
            ({"Host": "evil.example:%d" % port}, 403),
            ({"Host": "127.0.0.1:%d" % (port + 1)}, 403),
            ({"Host": "localhost:%d" % port}, 200),
            ({"Origin": "http://evil.example"}, 403),
            ({"Origin": "null"}, 403),
            ({"Origin": "http://127.0.0.1:%d" % port}, 200),
            ({"Origin": "http://localhost:%d" % port}, 200),
        ]
        for headers, want in cases:
            for path in ["/api/job", "/api/file?path=/etc/hostname.txt"]:
                status, _, payload = self.studio.request("GET", path, headers=headers)
                if want == 403 or path == "/api/job":
                    self.assertEqual(status, want, (headers, path))
        status, _, payload = self.studio.request("POST", "/api/cache_clear", body={}, headers={"Origin": "http://evil.example"})
        self.assertEqual(status, 403)

    def test_posts_must_be_json(self):
        for ctype in ["text/plain", "application/x-www-form-urlencoded", None]:
            headers = {"Content-Type": ctype} if ctype else {}
            status, _, payload = self.studio.request("POST", "/api/run", raw_body=b'{"input": ["x"]}', headers=headers)
            self.assertEqual(status, 415, ctype)
        self.assertEqual(self.studio.get_json("/api/job")[1]["state"], "idle")
        status, _, _ = self.studio.request("POST", "/api/argv", raw_body=b"{}",
                                           headers={"Content-Type": "Application/JSON; charset=utf-8"})
        self.assertEqual(status, 200)

    def test_routing(self):
        cases = [
            ("GET", "/api/info?x=1", 200),
            ("GET", "/API/INFO", 404),
            ("GET", "/api%2Finfo", 200),
            ("GET", "/api/run", 404),
            ("GET", "/nothing", 404),
            ("HEAD", "/", 200),
            ("HEAD", "/nothing", 404),
            ("POST", "/api/run/", 404),
            ("POST", "/API/RUN", 404),
            ("POST", "/api/scan", 415),  # an endpoint: only JSON reaches it
            ("POST", "/api/nothing", 404),
        ]
        for method, path, want in cases:
            status, headers, payload = self.studio.request(method, path, raw_body=b"" if method != "GET" else None)
            self.assertEqual(status, want, (method, path))
            if want == 404 and method != "HEAD":
                self.assertEqual(json.loads(payload), {"error": "not found"})
            if method == "HEAD":
                self.assertEqual(payload, b"", path)
        # HEAD tells what GET would send, without the body.
        _, get_headers, page = self.studio.request("GET", "/")
        _, head_headers, _ = self.studio.request("HEAD", "/")
        self.assertEqual(head_headers["content-length"], str(len(page)))
        self.assertEqual(head_headers["content-type"], get_headers["content-type"])
        # A body that is not JSON, and no body, reach the endpoint as {}.
        for body in [b"not json", b""]:
            status, _, payload = self.studio.request("PUT", "/api/argv", raw_body=body, headers={"Content-Type": "application/json"})
            self.assertEqual((status, json.loads(payload)), (200, {"argv": []}))


class Limits(unittest.TestCase):
    def test_idle_connections_make_room_for_new_ones(self):
        # 128 connections that never send a request hold every slot; the next one is served
        # all the same, and the one that waited longest is closed for it.
        with su.Studio() as st:
            base = st.settled_threads()
            socks = []
            try:
                for _ in range(128):
                    socks.append(socket.create_connection(("127.0.0.1", st.bound), timeout=5))
                end = time.time() + 5
                while st.threads() < base + 128 and time.time() < end:
                    time.sleep(0.05)
                self.assertEqual(st.threads(), base + 128)
                self.assertEqual(st.get_json("/api/job")[0], 200)
                self.assertEqual(socks[0].recv(10), b"")  # closed without a reply
                self.assertLessEqual(st.settled_threads(), base + 128)
            finally:
                for s in socks:
                    s.close()
            end = time.time() + 5
            while st.threads() > base and time.time() < end:
                time.sleep(0.05)
            self.assertEqual(st.get_json("/api/job")[0], 200)

    def test_accept_failures_back_off(self):
        # With the process out of descriptors every accept fails; the loop must wait between
        # attempts instead of spinning on a core.
        import resource

        def low_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (24, 24))

        st = su.Studio()
        st.proc.kill()
        st.proc.wait()
        import subprocess
        words = [su.EXE, "studio", "--port", str(st.port), "--no-browser"]
        proc = subprocess.Popen(words, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=low_limit)
        socks = []
        try:
            end = time.time() + 10
            while time.time() < end:
                try:
                    socks.append(socket.create_connection(("127.0.0.1", st.port), timeout=1))
                    break
                except OSError:
                    time.sleep(0.05)
            for _ in range(40):
                socks.append(socket.create_connection(("127.0.0.1", st.port), timeout=1))
            time.sleep(0.5)

            def cpu_seconds():
                with open("/proc/%d/stat" % proc.pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

            c0 = cpu_seconds()
            time.sleep(2.0)
            used = cpu_seconds() - c0
            self.assertLess(used, 0.5, "the accept loop spins")
            self.assertIsNone(proc.poll())
        finally:
            for s in socks:
                s.close()
            proc.kill()
            proc.wait()
            st.tmp.cleanup()


if __name__ == "__main__":
    unittest.main()
