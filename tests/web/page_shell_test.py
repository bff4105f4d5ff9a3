"""The studio page's shell in headless Chromium against the real program: a clean start, builds of
samples/flight started, followed and cancelled from the page, "New project", state across
reloads, keys, server texts shown as text, and replies with null figures.

With TSL_PAGE_SHOTS=folder the test also saves screenshots of the shell during a build and of
every drawer at 1440x900 and 1024x700 there, and prints the page's size, its first render time
and its CPU share while it polls a build.
"""
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
from selenium.webdriver.common.keys import Keys  # noqa: E402

STUDIO = None
DRV = None
OUT = None
SHOTS = os.environ.get('TSL_PAGE_SHOTS')


def setUpModule():
    global STUDIO, DRV, OUT
    STUDIO = sb.Studio()
    DRV = sb.browser()
    OUT = tempfile.mkdtemp(prefix='tsl-page-out-')


def tearDownModule():
    wait_idle()
    shutil.rmtree(OUT, ignore_errors=True)


def wait_idle():
    sb.wait_idle(STUDIO)


def set_field(key, text):
    sb.set_field(DRV, key, text)


def prepare(inputs, out_name, slow=False):
    """A fresh page with inputs and an output typed in. A slow build renders with seam lines and
    multi-band blending (tens of seconds), a quick one with the "Quick look" preset (seconds)."""
    sb.open_page(DRV, STUDIO.url, fresh=True)
    set_field('input', inputs)
    set_field('output', os.path.join(OUT, out_name))
    for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button'):
        if b.text == 'Quick look' and not slow:
            b.click()
    sb.js(DRV, 'tslTest.set("no_refine", true)')  # this version places by metadata only
    if slow:  # a finer output grid keeps the render busy long enough to act during it
        sb.js(DRV, 'tslTest.set("gsd", 4)')


def build_button():
    return DRV.find_element(By.ID, 'bBuild')


def start_build():
    build_button().click()
    sb.wait(DRV, lambda d: d.find_element(By.ID, 'bCancel').is_displayed(), 30, 'the build to start')


def log_text():
    return sb.js(DRV, 'return document.getElementById("log").textContent')


def log_lines():
    return sb.state(DRV)['log']


def page_tab():
    return sb.state(DRV)['tab']


def console_faults():
    """The warnings and errors on the console since the last call."""
    return [m for m in sb.console(DRV) if m[0] in ('WARNING', 'SEVERE')]


class PageShell(unittest.TestCase):
    def tearDown(self):
        wait_idle()

    def test_clean_start(self):
        console_faults()  # drop what earlier tests left
        start = time.time()
        sb.open_page(DRV, STUDIO.url, fresh=True)
        self.assertEqual(console_faults(), [])
        self.assertEqual(DRV.title, 'tessaly studio')
        badges = [b.text for b in DRV.find_elements(By.CSS_SELECTOR, '#badges .badge')]
        status, info = STUDIO.api('api/info')
        self.assertEqual(badges, ['CPU · %d threads' % info['cpu'], 'Native', 'DNG'])
        self.assertEqual(DRV.find_element(By.ID, 'sys').text, 'v0.5.0b4 · native')
        self.assertEqual(sb.cmd_line(DRV), 'tessaly')
        tabs = sb.js(DRV, 'return [...document.querySelectorAll(".tab")].map(t => t.firstChild.textContent)')
        self.assertEqual(tabs, ['Flight', 'Result', 'Images', 'Report', 'Log', 'Performance'])
        self.assertFalse(DRV.find_element(By.ID, 'ring').is_displayed())
        self.assertFalse(DRV.find_element(By.ID, 'bRerender').is_displayed())
        if SHOTS:
            fcp = sb.js(DRV, 'const e = performance.getEntriesByName("first-contentful-paint")[0];'
                             'return e ? e.startTime : null')
            size = len(STUDIO.api('')[1])
            print('\npage: %d bytes; first contentful paint %.0f ms (load to ready %.2f s)'
                  % (size, fcp or -1, time.time() - start))

    def test_a_fault_in_a_view_reaches_the_console(self):
        # A view that throws while it builds itself must not pass for a clean start: here the
        # Flight map cannot watch its size.
        console_faults()
        added = DRV.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {
            'source': 'window.ResizeObserver = function () { throw new Error("no size watching here"); };'})
        try:
            sb.open_page(DRV, STUDIO.url, fresh=True)
            faults = console_faults()
        finally:
            DRV.execute_cdp_cmd('Page.removeScriptToEvaluateOnNewDocument', {'identifier': added['identifier']})
        self.assertTrue(any(level == 'SEVERE' and 'no size watching here' in text for level, text in faults), faults)
        # the other views still came up
        self.assertEqual(DRV.find_element(By.ID, 'sys').text, 'v0.5.0b4 · native')
        self.assertEqual(len(DRV.find_elements(By.CSS_SELECTOR, '#perfCards, #rvModes button')), 5)

    def test_build_reaches_done_and_shows_the_stage_lines(self):
        prepare(sb.FLIGHT, 'quick.tif')
        start_build()
        self.assertFalse(build_button().is_enabled())
        sb.wait(DRV, lambda d: re.match(r'\d+% · tessaly$', d.title) or not d.find_element(By.ID, 'bCancel').is_displayed(),
                30, 'the title to show the progress')
        text = sb.wait_toast(DRV, lambda t: t.startswith('Done in'), 120, 'the "Done" toast')
        status, job = STUDIO.api('api/job?since=0')
        w, h = job['report']['size_px']
        self.assertRegex(text, r'^Done in \d+ s · %d×%d px$' % (w, h))
        log = log_lines()
        self.assertEqual(log, job['lines'])
        for stage in ['[1/6] metadata', '[2-4/6] refinement skipped', '[5/6] radiometry', '[6/6] render']:
            self.assertTrue(any(line.startswith(stage) for line in log), stage)
        self.assertTrue(sb.js(DRV, 'return document.querySelector("#log .stage").textContent').startswith('[1/6]'))
        self.assertEqual(page_tab(), 'result')
        self.assertEqual(DRV.title, 'tessaly studio')
        self.assertFalse(DRV.find_element(By.ID, 'ring').is_displayed())
        self.assertTrue(build_button().is_enabled())
        self.assertTrue(DRV.find_element(By.ID, 'bRerender').is_displayed())
        chips = [c.text for c in DRV.find_elements(By.CSS_SELECTOR, '#pipe .chip')]
        self.assertEqual(chips, ['✓ Metadata', '✓ Features', '✓ Matching', '✓ Adjust', '✓ Colour', '✓ Render'])
        want_report = os.path.join(OUT, 'quick_report.json')
        self.assertEqual(sb.js(DRV, 'return localStorage.getItem("tsl.lastreport")'), want_report)
        # The result survives a reload, and a re-render reuses it.
        sb.open_page(DRV, STUDIO.url)
        sb.wait(DRV, lambda d: d.find_element(By.ID, 'bRerender').is_displayed(), 10, 're-render after reload')
        self.assertEqual(sb.state(DRV)['reportPath'], want_report)
        DRV.find_element(By.ID, 'bRerender').click()
        sb.wait_toast(DRV, lambda t: t == 'Re-rendering with solved alignment…', 20, 'the re-render toast')
        sb.wait_toast(DRV, lambda t: t.startswith('Done in'), 120, 'the end of the re-render')
        self.assertTrue(any(line.startswith('$ tessaly') and '--reuse ' + want_report in line for line in log_lines()))

    def test_reload_during_a_build_resumes_and_cancel_ends_it(self):
        prepare(sb.FLIGHT, 'slow.tif', slow=True)
        start_build()
        sb.wait(DRV, lambda d: '[1/6] metadata' in log_text(), 30, 'the first stage line')
        if SHOTS:
            self.shots_during_build()
        sb.open_page(DRV, STUDIO.url)
        sb.wait(DRV, lambda d: d.find_element(By.ID, 'bCancel').is_displayed(), 10, 'the running job after reload')
        sb.wait(DRV, lambda d: (log_lines() or [''])[0].startswith('$ tessaly '), 10, 'all lines after reload')
        self.assertFalse(build_button().is_enabled())
        self.assertTrue(DRV.find_element(By.ID, 'ring').is_displayed())
        if SHOTS:
            self.measure_polling_cpu()
        DRV.find_element(By.ID, 'bCancel').click()
        sb.wait_toast(DRV, lambda t: t == 'Cancelled', 120, 'the "Cancelled" toast')
        self.assertEqual(log_lines()[-1], 'cancelled')
        self.assertFalse(DRV.find_element(By.ID, 'ring').is_displayed())
        self.assertTrue(build_button().is_enabled())

    def test_a_second_build_is_refused_and_the_page_stays(self):
        prepare(sb.FLIGHT, 'second.tif', slow=True)
        status, r = STUDIO.api('api/run', sb.page_settings(DRV))  # started elsewhere
        self.assertEqual(status, 200, r)
        build_button().click()
        sb.wait_toast(DRV, lambda t: t == 'a build is already running', 30, 'the refusal')
        self.assertFalse(DRV.find_element(By.ID, 'bCancel').is_displayed())
        self.assertTrue(build_button().is_enabled())
        # Only the scan of the typed-in folder has written to the log, no build's lines.
        lines = log_lines()
        self.assertFalse([line for line in lines if line.startswith('$ tessaly')], lines)
        if lines:
            self.assertTrue(lines[0].startswith('[1/6] metadata'), lines)

    def test_new_project_needs_two_clicks(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        set_field('input', '/tmp/some/flight')
        sb.js(DRV, 'tslTest.set("dense", "off")')
        b = DRV.find_element(By.ID, 'bNew')
        b.click()
        self.assertEqual(b.text, 'Click again to clear')
        self.assertEqual(sb.state(DRV)['values']['input'], ['/tmp/some/flight'])
        sb.wait(DRV, lambda d: b.text == '✚ New project', 5, 'the button to disarm')
        self.assertEqual(sb.state(DRV)['values']['input'], ['/tmp/some/flight'])
        b.click()
        b.click()
        sb.wait_toast(DRV, lambda t: t == 'New project — viewport cleared, settings kept', 10, 'the reset toast')
        st = sb.state(DRV)
        self.assertEqual(st['values']['input'], [])
        self.assertIsNone(st['set']['output'])
        self.assertEqual(st['set']['dense'], 'off')
        self.assertEqual(st['tab'], 'flight')
        self.assertTrue(DRV.find_element(By.ID, 'flightEmpty').is_displayed())

    def test_log_view_keeps_the_last_4000_lines_and_styles_them(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        styled = [  # (line, class)
            ('[3/6] matching', 'stage'),
            ('  warning: few ties', 'warn'),
            ('  2 files SKIPPED', 'warn'),
            ('error: no usable images', 'err'),
            ('Traceback (most recent call last)', 'err'),
            ('  seam search FAILED', 'err'),
            ('$ tessaly a -o b.tif', 'cmd'),
            ('  block row 1/2', ''),
            ('[x] not a stage', ''),
        ]
        # The lines arrive as the log of scans, which the page appends like a job's lines.
        sb.js(DRV, 'tslTest.set("input", ["/tmp/some/flight"])')
        sb.tab(DRV, 'log')
        sb.fake_scan(DRV, {'log': [s for s, _ in styled]})
        got = sb.js(DRV, 'return [...document.querySelectorAll("#log > div")].map(d => [d.textContent, d.className])')
        self.assertEqual([tuple(g) for g in got], styled)
        sb.fake_scan(DRV, {'log': ['line %d' % i for i in range(4100)]})
        rows = sb.js(DRV, 'const l = document.getElementById("log");'
                          'return [l.childElementCount, l.firstChild.textContent, l.lastChild.textContent]')
        self.assertEqual(rows, [4000, 'line 100', 'line 4099'])
        # a view scrolled to its end follows new lines
        sb.fake_scan(DRV, {'log': ['one more']})
        at_end = sb.js(DRV, 'const v = document.getElementById("v-log"); return v.scrollHeight - v.scrollTop - v.clientHeight')
        self.assertLessEqual(at_end, 30)
        tab = sb.js(DRV, 'return document.querySelector(\'.tab[data-tab="log"] .c\').textContent')
        self.assertEqual(tab, str(len(styled) + 4101))

    def test_state_survives_a_reload(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button'):
            if b.text == 'DxO':
                b.click()
        DRV.find_element(By.CSS_SELECTOR, '.rb[data-d="aln"]').click()
        DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="aln"] .pinb').click()
        DRV.find_element(By.CSS_SELECTOR, '.rb[data-d="look"]').click()
        DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="look"] .sw1[title="#7cf2c8"]').click()
        before = sb.page_settings(DRV)
        cmd = sb.cmd_line(DRV)
        sb.open_page(DRV, STUDIO.url)
        self.assertEqual(sb.page_settings(DRV), before)
        sb.wait(DRV, lambda d: sb.cmd_line(d) == cmd and cmd != 'tessaly', 10, 'the same command line')
        self.assertEqual([b.text for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button.on')], ['DxO'])
        st = sb.state(DRV)
        self.assertEqual([st['open'], st['pinned']], [['aln', 'look'], ['aln']])
        self.assertEqual(st['theme']['accent'], '#7cf2c8')
        # a stored settings text that is not JSON starts empty instead of breaking the page
        sb.js(DRV, 'localStorage.setItem("tsl.set", "{oops"); localStorage.setItem("tsl.drawers", "[1]")')
        sb.open_page(DRV, STUDIO.url)
        st = sb.state(DRV)
        self.assertEqual([st['set'], st['open']], [{}, ['src']])

    def test_keys(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        body = DRV.find_element(By.TAG_NAME, 'body')
        for key, tab in [('5', 'log'), ('2', 'result'), ('6', 'perf'), ('1', 'flight')]:
            body.send_keys(key)
            self.assertEqual(page_tab(), tab)
        f = DRV.find_element(By.CSS_SELECTOR, '.ctl[data-k="output"] input')
        f.send_keys(Keys.CONTROL, 'a')
        f.send_keys('3')
        self.assertEqual(f.get_attribute('value'), '3')
        self.assertEqual(page_tab(), 'flight')
        # Ctrl+Enter without inputs: the build asks for a folder
        body.send_keys(Keys.CONTROL, Keys.ENTER)
        sb.wait_toast(DRV, lambda t: t == 'Add an image folder first', 5, 'the missing-input toast')

    def test_server_texts_are_shown_as_text(self):
        evil = '<img src=x onerror="window.__pwned=1">'
        folder = os.path.join(OUT, evil)
        os.makedirs(folder)
        for name in ['DJI_0001.JPG', 'DJI_0002.JPG', 'DJI_0003.JPG']:
            shutil.copy(os.path.join(sb.FLIGHT, name), os.path.join(folder, evil + name))
        prepare(folder, 'evil.tif')
        start_build()
        sb.wait(DRV, lambda d: not d.find_element(By.ID, 'bCancel').is_displayed(), 120, 'the end of the build')
        self.assertIn(evil, log_text())
        self.assertIn(evil, sb.cmd_line(DRV))
        # an error text with markup goes into a toast as text
        if 'src' not in sb.state(DRV)['open']:
            DRV.find_element(By.CSS_SELECTOR, '.rb[data-d="src"]').click()
        sb.fake_reply(DRV, '/api/pick', 400, {'error': evil})
        folder_button = DRV.find_element(By.XPATH, '//div[@data-k="input"]//button[contains(., "Folder")]')
        sb.js(DRV, 'arguments[0].click()', folder_button)
        sb.wait_toast(DRV, lambda t: t == evil, 10, 'the error toast')
        self.assertIsNone(sb.js(DRV, 'return window.__pwned || null'))
        self.assertEqual(sb.js(DRV, 'return document.querySelectorAll("img[src=\'x\']").length'), 0)

    def test_null_figures_show_a_dash_and_the_result_still_loads(self):
        # The server writes non-finite numbers as bare words; the page reads them as null.
        fake = r'''
        const real = window.fetch;
        window.fetch = async (url, opt) => {
          const u = String(url);
          if (u.startsWith('/api/scan'))
            return new Response('{"log":["  scan"],"camera":{"model":null},"stats":{"gsd_cm":NaN},' +
                                '"shots":[{"name":"a.jpg","E":NaN}]}', {status: 200});
          const r = await real(url, opt);
          if (!u.startsWith('/api/job')) return r;
          let t = await r.text();
          if (t.includes('"state": "done"') || t.includes('"state":"done"'))
            t = t.replace(/"size_px":\s*\[[^\]]*\]/, '"size_px": [NaN, -Infinity]').replace(/"elapsed":\s*[-\d.e+]+/, '"elapsed": null');
          return new Response(t, {status: r.status, statusText: r.statusText});
        };'''
        sb.open_page(DRV, STUDIO.url, fresh=True)
        added = DRV.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': fake})
        try:
            prepare(sb.FLIGHT, 'nulls.tif')
            sb.js(DRV, 'tslTest.scan()')
            text = sb.wait_toast(DRV, lambda t: t.startswith('1 images'), 20, 'the scan toast')
            self.assertEqual(text, '1 images · camera · GSD - cm')
            self.assertEqual(sb.state(DRV)['scan']['stats']['gsd_cm'], None)
            start_build()
            text = sb.wait_toast(DRV, lambda t: t.startswith('Done in'), 120, 'the "Done" toast')
            self.assertEqual(text, 'Done in - s · -×- px')
            self.assertTrue(DRV.find_element(By.ID, 'bRerender').is_displayed())
            self.assertEqual(sb.state(DRV)['reportPath'], os.path.join(OUT, 'nulls_report.json'))
            self.assertEqual(page_tab(), 'result')
        finally:
            DRV.execute_cdp_cmd('Page.removeScriptToEvaluateOnNewDocument', {'identifier': added['identifier']})

    # ---- screenshots and figures (only with TSL_PAGE_SHOTS) ------------------------------------
    def shots_during_build(self):
        os.makedirs(SHOTS, exist_ok=True)
        for w, h in [(1440, 900), (1024, 700)]:
            DRV.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                                {'width': w, 'height': h, 'deviceScaleFactor': 1, 'mobile': False})
            sb.tab(DRV, 'log')
            time.sleep(1.2)
            DRV.save_screenshot(os.path.join(SHOTS, 'build-%dx%d.png' % (w, h)))
            for d in ['src', 'opt', 'aln', 'col', 'out', 'perf', 'look']:
                sb.close_drawers(DRV)
                sb.js(DRV, 'document.querySelector(\'.rb[data-d="%s"]\').click();'
                           'document.getElementById("toast").hidden = true' % d)
                time.sleep(0.35)
                DRV.save_screenshot(os.path.join(SHOTS, 'drawer-%s-%dx%d.png' % (d, w, h)))
        DRV.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                            {'width': 1440, 'height': 900, 'deviceScaleFactor': 1, 'mobile': False})

    def measure_polling_cpu(self):
        DRV.execute_cdp_cmd('Performance.enable', {})

        def busy():
            m = {x['name']: x['value'] for x in DRV.execute_cdp_cmd('Performance.getMetrics', {})['metrics']}
            return m['TaskDuration'], m['ScriptDuration'], m['LayoutDuration'] + m['RecalcStyleDuration']
        a, t0 = busy(), time.time()
        time.sleep(5)
        b, t1 = busy(), time.time()
        span = t1 - t0
        print('\npolling during a build: main thread busy %.1f %% (script %.1f %%, layout+style %.1f %%) of %.1f s'
              % (100 * (b[0] - a[0]) / span, 100 * (b[1] - a[1]) / span, 100 * (b[2] - a[2]) / span, span))


if __name__ == '__main__':
    unittest.main(verbosity=2)
