"""Shared set-up of the studio page tests: the real program serving the studio on a loopback port
and a headless Chromium driven by selenium, each with a fresh profile.

A test module calls `require()` first: it exits with code 77 (skipped) when chromium, its
driver or selenium are missing, or when the program does not serve the studio page.
"""
import atexit
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
SOURCE_DIR = os.environ.get('TSL_SOURCE_DIR', os.path.join(os.path.dirname(__file__), '..', '..'))
EXE = os.environ.get('TSL_EXE', os.path.join('build', 'tessaly'))
FLIGHT = os.path.join(SOURCE_DIR, 'samples', 'flight')
# A text of the page itself, so that a placeholder page does not count as the studio.
PAGE_MARK = 'Ortho studio by Oskarn'


def skip(reason):
    print('SKIP: ' + reason)
    sys.exit(77)


def require():
    """Skips the calling test unless a browser, its driver and selenium are at hand."""
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        skip('chromium or chromedriver not installed (apt-get install chromium chromium-driver)')
    try:
        import selenium  # noqa: F401
    except ImportError:
        skip('python3-selenium not installed')
    if not os.access(EXE, os.X_OK):
        skip('program not built: ' + EXE)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def http(url, body=None, timeout=10):
    """(status, parsed JSON or raw bytes) of a GET, or of a JSON POST when body is given."""
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(url, data=data, headers={'Content-Type': 'application/json'} if data else {})
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            status, raw, ctype = r.status, r.read(), r.headers.get('Content-Type', '')
    except urllib.error.HTTPError as e:
        status, raw, ctype = e.code, e.read(), e.headers.get('Content-Type', '')
    if 'json' in ctype:
        return status, json.loads(raw.decode())
    return status, raw


class Studio:
    """`tessaly studio` running in a temporary working folder until the test process ends."""

    def __init__(self):
        self.cwd = tempfile.mkdtemp(prefix='tsl-studio-')
        self.output = []
        if os.environ.get('TSL_STUDIO_URL'):  # drive a studio that is already running there
            self.url, self.proc = os.environ['TSL_STUDIO_URL'], None
            return
        self.proc = subprocess.Popen([os.path.abspath(EXE), 'studio', '--port', str(free_port()), '--no-browser'],
                                     cwd=self.cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        atexit.register(self.stop)
        self.url = None
        found = threading.Event()

        def reader():
            for line in self.proc.stdout:
                self.output.append(line)
                m = re.search(r' -> (http://127\.0\.0\.1:\d+/)', line)
                if m and not found.is_set():
                    self.url = m.group(1)
                    found.set()
            found.set()

        threading.Thread(target=reader, daemon=True).start()
        found.wait(15)
        if not self.url:
            self.stop()
            skip('the program does not serve the studio (no banner): ' + ''.join(self.output)[-300:].strip())
        try:
            status, page = http(self.url)
        except OSError as e:
            self.stop()
            skip('the studio does not answer on ' + self.url + ': ' + str(e))
        if status != 200 or PAGE_MARK.encode() not in page:
            self.stop()
            skip('the program does not serve the studio page yet')
        status, _ = http(self.url + 'api/info')
        if status != 200:
            self.stop()
            skip('the studio has no /api/info yet')

    def api(self, path, body=None):
        return http(self.url + path.lstrip('/'), body)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        shutil.rmtree(self.cwd, ignore_errors=True)


def browser(width=1440, height=900):
    """A headless Chromium with a fresh profile, logging every console message."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    profile = tempfile.mkdtemp(prefix='tsl-chromium-')
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
              '--disable-background-networking', '--disable-component-update', '--disable-sync',
              '--disable-dev-shm-usage', '--user-data-dir=' + profile, '--window-size=%d,%d' % (width, height)]:
        opts.add_argument(a)
    opts.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    drv = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    # The page's viewport itself gets the asked size (the window would include the browser's frame).
    drv.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                        {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': False})

    def close():
        try:
            drv.quit()
        except Exception:
            pass
        shutil.rmtree(profile, ignore_errors=True)

    atexit.register(close)
    return drv


def open_page(drv, url, fresh=False):
    """Loads the page (optionally with empty browser storage) and waits for its start-up."""
    if fresh:  # empty the storage from a page of the same origin that runs no start-up
        drv.get(url + 'favicon.png')
        drv.execute_script('localStorage.clear()')
    drv.get(url)
    # A machine busy with parallel tests can take tens of seconds to start a page.
    wait(drv, lambda d: d.execute_script('return document.body.dataset.ready === "1"'), 60, 'page start-up')


def wait(drv, cond, timeout=20, what='condition'):
    from selenium.webdriver.support.ui import WebDriverWait
    return WebDriverWait(drv, timeout, poll_frequency=0.05).until(cond, 'timed out waiting for ' + what)


def console(drv):
    """Console messages since the last call, as (level, text)."""
    return [(e['level'], e['message']) for e in drv.get_log('browser')]


def js(drv, script, *args):
    return drv.execute_script(script, *args)


def cmd_line(drv):
    return drv.find_element('id', 'cmd').text.strip()


def toast_text(drv):
    return js(drv, 'const t = document.getElementById("toast"); return t.hidden ? "" : t.textContent')


def wait_toast(drv, pred, timeout=20, what='toast'):
    """The first toast text that satisfies pred. The text it matched is returned, not read again:
    a toast lasts 2.8 s, which a busy page can spend before a second read."""
    seen = []
    hit = []

    def cond(d):
        t = toast_text(d)
        if t and (not seen or seen[-1] != t):
            seen.append(t)
        if pred(t):
            hit.append(t)
            return True
        return False

    try:
        wait(drv, cond, timeout, what)
    except Exception:
        raise AssertionError('no %s; toasts seen: %r' % (what, seen))
    return hit[-1]


def expected_cmd(studio, settings):
    """The command line that /api/argv gives for a settings object, as the page shows it."""
    status, r = studio.api('api/argv', settings)
    assert status == 200, (status, r)
    return ' '.join(['tessaly'] + ['"%s"' % a if re.search(r'\s', a) else a for a in r['argv']])


def state(drv):
    """The page state as its test interface gives it (window.tslTest.state())."""
    return js(drv, 'return tslTest.state()')


def page_settings(drv):
    # As JSON text: the driver's own object transfer sorts the keys, and their order is the
    # order of the arguments.
    return json.loads(js(drv, 'return JSON.stringify(tslTest.settings())'))


def tab(drv, name):
    """Shows a view by clicking its tab."""
    js(drv, 'document.querySelector(\'.tab[data-tab="\' + arguments[0] + \'"]\').click()', name)


def press(drv, key):
    """A key pressed on the page itself, outside any field."""
    js(drv, 'document.dispatchEvent(new KeyboardEvent("keydown", {key: arguments[0], bubbles: true}))', key)


def next_frame(drv):
    """Waits until the page has drawn what it scheduled for its next animation frame."""
    js(drv, 'return new Promise(r => requestAnimationFrame(() => requestAnimationFrame(() => r(true))))')


def close_drawers(drv):
    """Closes every open drawer with its close button."""
    js(drv, 'for (const b of document.querySelectorAll(\'.drawer:not([hidden]) .dh button[title="Close"]\')) b.click()')


def fake_reply(drv, path, status, body):
    """Makes the page's next request to `path` get this reply instead of the server's."""
    js(drv, '''const [path, status, text] = arguments, real = window.fetch;
      window.fakePending = true;
      window.fetch = (url, opt) => {
        if (String(url) !== path) return real(url, opt);
        window.fetch = real;
        window.fakePending = false;
        return Promise.resolve(new Response(text, {status}));
      }''', path, status, body if isinstance(body, str) else json.dumps(body))


def fake_scan(drv, reply):
    """Scans with this reply in place of the server's (after a scan that is already under way);
    returns the scan the page then holds."""
    fake_reply(drv, '/api/scan', 200, reply)
    js(drv, '''return (async () => {
      await tslTest.scan().catch(() => null);
      if (window.fakePending) await tslTest.scan();
      return true;
    })()''')
    return state(drv)['scan']


def wait_idle(studio, timeout=120):
    """Cancels a build left running and waits for its end, so the next test starts idle."""
    if studio is None:
        return
    studio.api('api/cancel', {})
    end = time.time() + timeout
    while time.time() < end:
        status, j = studio.api('api/job?since=999999')
        if j.get('state') != 'running':
            return
        time.sleep(0.2)


def set_field(drv, key, text):
    """Types text into the settings text field of an option key, as a user would."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    f = drv.find_element(By.CSS_SELECTOR, '.ctl[data-k="%s"] input[type=text]' % key)
    drv.execute_script('arguments[0].scrollIntoView({block: "center"})', f)
    f.send_keys(Keys.CONTROL, 'a')
    f.send_keys(Keys.BACK_SPACE)
    f.send_keys(text)
    f.send_keys(Keys.TAB)
