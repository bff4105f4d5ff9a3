"""Starts the real studio on loopback for the server tests and talks to it."""
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.environ.get("TSL_SOURCE_DIR") or os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXE = os.environ.get("TSL_EXE") or os.path.join(SOURCE_DIR, "build", "tessaly")
SHARED_DATA = os.path.abspath(os.path.join(SOURCE_DIR, "..", "shared", "data"))


def require_exe():
    if not os.path.exists(EXE):
        print("tessaly executable not found: " + EXE)
        sys.exit(77)


def free_port_block(count=12):
    """A start port whose `count` ports are all free right now."""
    for _ in range(200):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        base = s.getsockname()[1]
        s.close()
        if base + count > 65535:
            continue
        ok = True
        for p in range(base, base + count):
            t = socket.socket()
            try:
                t.bind(("127.0.0.1", p))
            except OSError:
                ok = False
            finally:
                t.close()
            if not ok:
                break
        if ok:
            return base
    raise RuntimeError("no free port block")


class Studio:
    """One studio process; its stdout goes to a file so a chatty build never blocks it."""

    def __init__(self, args=(), env=None, port=None, browser=False, cwd=None):
        self.port = port or free_port_block()
        self.tmp = tempfile.TemporaryDirectory(prefix="tsl_studio_")
        self.out_path = os.path.join(self.tmp.name, "stdout.txt")
        self.err_path = os.path.join(self.tmp.name, "stderr.txt")
        words = [EXE, "studio", "--port", str(self.port)]
        if not browser:
            words.append("--no-browser")
        words += list(args)
        full_env = dict(os.environ)
        full_env.setdefault("HOME", self.tmp.name)
        if env:
            full_env.update(env)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(words, stdout=out, stderr=err, env=full_env, cwd=cwd or self.tmp.name)
        self.bound = None

    def wait_banner(self, timeout=10.0):
        end = time.time() + timeout
        while time.time() < end:
            text = self.stdout()
            for line in text.splitlines():
                if line.startswith("tessaly studio "):
                    self.bound = int(line.split("http://127.0.0.1:")[1].split("/")[0])
                    return line
            if self.proc.poll() is not None:
                return None
            time.sleep(0.02)
        return None

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    def settled_threads(self, timeout=5.0):
        """The thread count once it has stopped changing (finished connections wound up)."""
        last, since, end = self.threads(), time.time(), time.time() + timeout
        while time.time() < end:
            time.sleep(0.05)
            n = self.threads()
            if n != last:
                last, since = n, time.time()
            elif time.time() - since > 0.3:
                break
        return last

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
        self.proc.wait(timeout=10)
        self.tmp.cleanup()

    def __enter__(self):
        line = self.wait_banner()
        if line is None:
            self.stop()
            raise RuntimeError("studio did not start")
        return self

    def __exit__(self, *exc):
        self.stop()

    # --- requests -------------------------------------------------------------------

    def conn(self, timeout=30):
        return http.client.HTTPConnection("127.0.0.1", self.bound, timeout=timeout)

    def request(self, method, path, body=None, headers=None, raw_body=None):
        c = self.conn()
        h = {}
        data = raw_body
        if body is not None:
            data = json.dumps(body).encode()
            h["Content-Type"] = "application/json"
        elif raw_body is None and method != "GET":
            h["Content-Type"] = "application/json"
        if headers:
            h.update(headers)
        c.request(method, path, body=data, headers=h)
        r = c.getresponse()
        payload = r.read()
        c.close()
        return r.status, dict((k.lower(), v) for k, v in r.getheaders()), payload

    def get_json(self, path):
        status, _, payload = self.request("GET", path)
        return status, json.loads(payload)

    def post_json(self, path, body=None):
        status, _, payload = self.request("POST", path, body=body if body is not None else {})
        return status, json.loads(payload)

    def raw(self, data, timeout=5.0, shutdown=False):
        """Sends bytes on a fresh connection and returns everything received until the
        server closes or the time-out passes."""
        s = socket.create_connection(("127.0.0.1", self.bound), timeout=timeout)
        if data:
            s.sendall(data)
        if shutdown:
            s.shutdown(socket.SHUT_WR)
        out = b""
        try:
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                out += chunk
        except socket.timeout:
            pass
        s.close()
        return out


def read_all(s):
    """Everything a socket receives until the server closes it; the socket is closed."""
    data = b""
    while True:
        chunk = s.recv(65536)
        if not chunk:
            break
        data += chunk
    s.close()
    return data


def responses(data):
    """Splits raw reply bytes into (status, headers, body) records."""
    out = []
    while data:
        head, sep, rest = data.partition(b"\r\n\r\n")
        if not sep:
            break
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        headers = {}
        for line in lines[1:]:
            k, _, v = line.partition(":")
            headers[k.strip().lower()] = v.strip()
        n = int(headers.get("content-length", "0"))
        out.append((status, headers, rest[:n]))
        data = rest[n:]
    return out
