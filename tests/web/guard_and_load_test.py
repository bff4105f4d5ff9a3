"""The studio page closed to other pages and kept usable under load, in headless Chromium
against the real program: a hostile page on a second loopback origin (framing, image loads,
form and beacon posts), 200 half-open connections while the page loads, and the page sent
gzip-encoded."""
import http.server
import os
import socket
import sys
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_browser as sb  # noqa: E402

sb.require()
if not os.path.isdir(sb.FLIGHT):
    sb.skip('samples/flight not found at ' + sb.FLIGHT)

STUDIO = None
DRV = None
PHOTO = os.path.join(sb.FLIGHT, sorted(f for f in os.listdir(sb.FLIGHT) if f.lower().endswith('.jpg'))[0])

HOSTILE = '''<!doctype html><html><body>
<script>window.seen = {{}};</script>
<iframe id="frame" src="{studio}" width="400" height="300"></iframe>
<img id="thumb" src="{studio}api/thumb?size=64&path={photo}" onload="window.seen.thumb='load'" onerror="window.seen.thumb='error'">
<iframe name="sink" width="10" height="10"></iframe>
<form id="form" method="POST" action="{studio}api/run" target="sink" enctype="text/plain">
<input name='{{"input": ["{flight}"], "x": "' value='"}}'></form>
<script>
window.beaconQueued = navigator.sendBeacon('{studio}api/run',
  new Blob([JSON.stringify({{input: ['{flight}']}})], {{type: 'text/plain'}}));
document.getElementById('form').submit();
</script></body></html>'''


class HostileServer:
    """A second web server on loopback that serves the hostile page at /."""

    def __init__(self, page):
        body = page.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header('Content-Type', 'text/html; charset=utf-8')
                self.send_header('Content-Length', str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def setUpModule():
    global STUDIO, DRV
    STUDIO = sb.Studio()
    DRV = sb.browser()


def tearDownModule():
    sb.wait_idle(STUDIO)


class HostilePage(unittest.TestCase):
    def test_another_origin_can_neither_frame_nor_read_nor_post(self):
        page = HOSTILE.format(studio=STUDIO.url, photo=urllib.parse.quote(PHOTO), flight=sb.FLIGHT)
        hostile = HostileServer(page)
        try:
            sb.console(DRV)
            # Another port of 127.0.0.1 is the same site to a browser; "localhost" another site.
            for host in ['127.0.0.1', 'localhost']:
                DRV.get('http://%s:%d/' % (host, hostile.port))
                sb.wait(DRV, lambda d: len(sb.js(d, 'return Object.keys(window.seen)')) == 1, 20, 'the image loads to end')
                seen = sb.js(DRV, 'return window.seen')
                self.assertEqual(seen, {'thumb': 'error'}, host)
                time.sleep(1.0)  # the form post and the beacon have gone out
                status, job = STUDIO.api('api/job')
                self.assertEqual(job['state'], 'idle', host)
                logs = ' '.join(text for _, text in sb.console(DRV))
                self.assertRegex(logs, r"Framing '[^']*' violates .*frame-ancestors 'none'", host)
        finally:
            hostile.stop()
        # The same image loads in the studio's own page.
        sb.open_page(DRV, STUDIO.url, fresh=True)
        loaded = sb.js(DRV, '''return new Promise(done => {
            const im = new Image(); im.onload = () => done(im.naturalWidth); im.onerror = () => done(-1);
            im.src = '/api/thumb?size=64&path=' + encodeURIComponent(arguments[0]); })''', PHOTO)
        self.assertEqual(loaded, 64)


class UnderLoad(unittest.TestCase):
    def test_page_loads_while_200_connections_hang_half_open(self):
        socks = []
        try:
            for i in range(200):
                s = socket.create_connection(('127.0.0.1', int(STUDIO.url.rsplit(':', 1)[1].strip('/'))), timeout=5)
                if i % 2:
                    s.sendall(b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n')  # a head that never ends
                socks.append(s)
            t0 = time.time()
            DRV.get(STUDIO.url)
            sb.wait(DRV, lambda d: d.execute_script('return document.body.dataset.ready === "1"'), 30, 'page start-up')
            took = time.time() - t0
            statuses = sb.js(DRV, '''return performance.getEntriesByType('resource').concat(
                performance.getEntriesByType('navigation')).map(e => [e.name, e.responseStatus])''')
            print('\npage ready in %.2f s with 200 half-open connections' % took)
            self.assertTrue(statuses)
            for name, status in statuses:
                self.assertIn(status, (200, 204), name)
            self.assertLess(took, 10.0)  # not starved: before, every request got 503 for a minute
        finally:
            for s in socks:
                s.close()

    def test_page_arrives_gzip_encoded(self):
        sb.open_page(DRV, STUDIO.url)
        sizes = sb.js(DRV, '''return [performance.getEntriesByType('navigation')[0]].concat(
            performance.getEntriesByType('resource').filter(e => e.name.endsWith('.js')))
            .map(e => [e.name, e.encodedBodySize, e.decodedBodySize])''')
        self.assertTrue(len(sizes) > 5, sizes)
        for name, encoded, decoded in sizes:
            if encoded:  # 0 when taken from the browser's cache
                self.assertLess(encoded, decoded, name)


if __name__ == '__main__':
    unittest.main()
