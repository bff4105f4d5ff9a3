"""What a person meets using the studio page, in headless Chromium against the real program: a
build of samples/flight followed on every tab (the event loop's lag measured on each, progress
that never goes back), a reload during the build, the "Done" message kept while the result
loads, presets marking the preview as differing from the export, a failed scan that drops the
previous folder's exclusions, errors that say what to do, and the processor counts."""
import json
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_browser as sb  # noqa: E402

sb.require()
if not os.path.isdir(sb.FLIGHT):
    sb.skip('samples/flight not found at ' + sb.FLIGHT)
from selenium.webdriver.common.by import By  # noqa: E402

STUDIO = None
DRV = None
OUT = None
TABS = ['flight', 'result', 'images', 'report', 'log', 'perf']

# Lateness of a 10 ms timer chain, per visible tab: the delay a click or a key would see.
LAG_MONITOR = '''
window.lag = {};
let last = performance.now();
(function tick() {
  const now = performance.now(), late = Math.max(0, now - last - 10);
  const tab = (document.querySelector('.tab.on') || {dataset: {tab: '?'}}).dataset.tab;
  (window.lag[tab] = window.lag[tab] || []).push(late);
  last = now;
  setTimeout(tick, 10);
})();
'''


# Each toast with the frames drawn while it was shown.
TOAST_WATCH = '''
window.toastSeen = [];
const t = document.getElementById('toast');
let cur = null;
(function frame() {
  if (!t.hidden) {
    if (!cur || cur.text !== t.textContent) { cur = {text: t.textContent, frames: 0, hidden: false}; window.toastSeen.push(cur); }
    cur.frames++;
  } else if (cur) { cur.hidden = true; cur = null; }
  requestAnimationFrame(frame);
})();
'''


def setUpModule():
    global STUDIO, DRV, OUT
    STUDIO = sb.Studio()
    DRV = sb.browser(1600, 1000)
    OUT = tempfile.mkdtemp(prefix='tsl-use-out-')


def tearDownModule():
    sb.wait_idle(STUDIO)
    shutil.rmtree(OUT, ignore_errors=True)


def prepare(out_name, preset='Quick look'):
    sb.open_page(DRV, STUDIO.url, fresh=True)
    sb.set_field(DRV, 'input', sb.FLIGHT)
    sb.set_field(DRV, 'output', os.path.join(OUT, out_name))
    sb.wait(DRV, lambda d: sb.state(d)['scan'] is not None, 60, 'the scan')
    for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button'):
        if b.text == preset:
            b.click()


def percent():
    m = re.match(r'(\d+)% · tessaly$', DRV.title)
    return int(m.group(1)) if m else None


def figures(values):
    v = sorted(values)
    return v[min(len(v) - 1, int(0.95 * len(v)))], v[-1]


class Build(unittest.TestCase):
    def tearDown(self):
        sb.wait_idle(STUDIO)

    def test_a_build_followed_on_every_tab(self):
        prepare('use.tif', 'Balanced')
        sb.js(DRV, 'tslTest.set("no_refine", true)')
        DRV.find_element(By.ID, 'bBuild').click()
        sb.wait(DRV, lambda d: d.find_element(By.ID, 'bCancel').is_displayed(), 30, 'the build to start')
        sb.js(DRV, LAG_MONITOR + TOAST_WATCH)
        seen = []
        end = time.time() + 120
        for name in TABS * 2:
            sb.tab(DRV, name)
            until = time.time() + 1.0
            while time.time() < until:
                p = percent()
                if p is not None:
                    seen.append(p)
                time.sleep(0.1)
            if not DRV.find_element(By.ID, 'bCancel').is_displayed() or time.time() > end:
                break
        lag = sb.js(DRV, 'return window.lag')
        print('\nevent-loop lag during the build (ms, p95 / max / samples):')
        for name in TABS:
            if lag.get(name):
                p95, worst = figures(lag[name])
                print('  %-7s %5.1f / %5.1f / %d' % (name, p95, worst, len(lag[name])))
        self.assertEqual(seen, sorted(seen), 'progress went back')
        # Reloaded during the build, the page scans again and lists the images.
        if DRV.find_element(By.ID, 'bCancel').is_displayed():
            sb.open_page(DRV, STUDIO.url)
            sb.js(DRV, TOAST_WATCH)
            sb.wait(DRV, lambda d: (sb.state(d)['scan'] or {}).get('shots'), 60, 'the scan after the reload')
            self.assertFalse(DRV.find_element(By.ID, 'flightFail').is_displayed())
            self.assertGreater(len(DRV.find_elements(By.CSS_SELECTOR, '#v-images img')), 0)
        # "Done" is on screen for frames the page actually draws, not used up while the result
        # loads.
        sb.wait(DRV, lambda d: sb.js(d, 'return window.toastSeen.some(t => t.text.startsWith("Done in") && t.hidden)'),
                180, 'the "Done" toast to come and go')
        done = [t for t in sb.js(DRV, 'return window.toastSeen') if t['text'].startswith('Done in')][0]
        self.assertGreaterEqual(done['frames'], 20, done)
        sb.wait(DRV, lambda d: sb.js(d, 'return tslTest.viewer().loaded'), 60, 'the result')
        # A preset that changes the blending: the preview no longer shows the export.
        self.assertFalse(sb.js(DRV, 'return tslTest.viewer().dirty'))
        for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button'):
            if b.text == 'Max quality':
                b.click()
        self.assertTrue(sb.js(DRV, 'return tslTest.viewer().dirty'))


class Messages(unittest.TestCase):
    def test_a_failed_scan_drops_the_previous_folders_exclusions(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        photo = sorted(os.listdir(sb.FLIGHT))[0]
        sb.js(DRV, 'localStorage.setItem(arguments[0], JSON.stringify([arguments[1]]))', 'tsl.ex.' + sb.FLIGHT, photo)
        sb.set_field(DRV, 'input', sb.FLIGHT)
        sb.wait(DRV, lambda d: '--exclude' in sb.cmd_line(d), 60, 'the exclusion on the command line')
        missing = os.path.join(OUT, 'nowhere')
        sb.js(DRV, 'tslTest.set("input", [arguments[0]])', missing)
        sb.js(DRV, 'return tslTest.scan().catch(() => null)')
        self.assertNotIn('--exclude', sb.cmd_line(DRV))
        self.assertEqual(DRV.find_element(By.ID, 'flightFailText').text, 'folder not found: ' + missing)
        empty = tempfile.mkdtemp(dir=OUT)
        sb.js(DRV, 'tslTest.set("input", [arguments[0]])', empty)
        sb.js(DRV, 'return tslTest.scan().catch(() => null)')
        self.assertEqual(DRV.find_element(By.ID, 'flightFailText').text, 'folder is empty: ' + empty)

    def test_without_a_desktop_the_page_says_so(self):
        if os.environ.get('DISPLAY') or os.environ.get('WAYLAND_DISPLAY'):
            self.skipTest('a desktop session is there')
        sb.open_page(DRV, STUDIO.url, fresh=True)
        sb.js(DRV, 'tslTest.set("output", arguments[0])', os.path.join(OUT, 'x.tif'))
        DRV.find_element(By.CSS_SELECTOR, 'button[title="Show in Explorer"]').click()
        sb.wait_toast(DRV, lambda t: t == 'no desktop session to show files in: the folder is ' + OUT, 10, 'the reveal message')
        # "Open report…" asks for the path instead of the dialog it cannot show.
        other = os.path.join(OUT, 'other.json')
        with open(other, 'w') as f:
            json.dump({'name': 'not a report'}, f)
        sb.js(DRV, 'document.querySelector(\'[data-act="openreport"]\').click()')
        sb.wait(DRV, lambda d: _alert(d), 10, 'the path prompt')
        alert = DRV.switch_to.alert
        self.assertIn('no desktop session for a file dialog', alert.text)
        alert.send_keys(other)
        alert.accept()
        sb.wait_toast(DRV, lambda t: t == 'not a build report: other.json', 10, 'the refusal')

    def test_processor_counts_agree(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        sb.tab(DRV, 'perf')
        status, perf = STUDIO.api('api/perf')
        st = perf['static']
        want = '%s threads · %s cores · %s workers' % (st['cores_logical'], st['cores_physical'], st['workers'])
        sb.wait(DRV, lambda d: want in d.find_element(By.ID, 'perfCards').text, 10, 'the CPU card')
        self.assertNotIn('? threads', DRV.find_element(By.ID, 'perfCards').text)
        self.assertEqual(STUDIO.api('api/info')[1]['cpu'], st['cores_logical'])


def _alert(drv):
    try:
        return drv.switch_to.alert
    except Exception:
        return False


if __name__ == '__main__':
    unittest.main()
