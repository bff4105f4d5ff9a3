"""The studio page's views in headless Chromium against the real program: the flight map and its
checks after a scan of samples/flight, a flight with a gap, exclusions from the image grid, the
result viewer with its in-browser finishing and live re-renders, the report cards against the
report file, and the performance view during a build.

With TSL_PAGE_SHOTS=folder the test also saves 1440x900 screenshots of every view there and
prints the map's redraw time for 200 photos, the finishing time of a 2048 px result and the live
re-render round trip.
"""
import json
import math
import os
import shutil
import statistics
import sys
import tempfile
import time
import unittest
from decimal import ROUND_HALF_UP, Decimal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_browser as sb  # noqa: E402

sb.require()
if not os.path.isdir(sb.FLIGHT):
    sb.skip('samples/flight not found at ' + sb.FLIGHT)
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

STUDIO = None
DRV = None
OUT = None
SHOTS = os.environ.get('TSL_PAGE_SHOTS')
RESULT = {}  # the build the result, report and map tests share: report path and excluded photo
EXCLUDED = 'DJI_0007.JPG'


def setUpModule():
    global STUDIO, DRV, OUT
    # "Show file" must not open a file manager on the machine running the tests.
    for k in ['DISPLAY', 'WAYLAND_DISPLAY']:
        os.environ.pop(k, None)
    STUDIO = sb.Studio()
    DRV = sb.browser()
    OUT = tempfile.mkdtemp(prefix='tsl-views-out-')


def tearDownModule():
    wait_idle()
    shutil.rmtree(OUT, ignore_errors=True)


def wait_idle():
    sb.wait_idle(STUDIO)


def js(script, *args):
    return sb.js(DRV, script, *args)


def set_field(key, text):
    sb.set_field(DRV, key, text)


def scan_folder(folder):
    """A fresh page scanning `folder`; returns the scan reply the page holds."""
    sb.open_page(DRV, STUDIO.url, fresh=True)
    set_field('input', folder)
    sb.wait(DRV, lambda d: js('const s = tslTest.state().scan; return !!s && Array.isArray(s.shots) && s.shots.length > 0 && '
                              '!document.getElementById("map").hidden'), 60, 'the scan')
    return sb.state(DRV)['scan']


def close_drawers():
    sb.close_drawers(DRV)


def viewer(*fields):
    """Figures of the Result view (tslTest.viewer()), one or a list."""
    got = js('const v = tslTest.viewer(); return arguments[0].map(k => v[k])', list(fields))
    return got[0] if len(fields) == 1 else got


def canvas_rgb(canvas_id, x, y, r=0):
    """The brightest pixel (sum of R, G and B) within r CSS pixels of (x, y) on a canvas."""
    return js('''const cv = document.getElementById(arguments[0]), k = cv.width / cv.clientWidth;
      const x = Math.round(arguments[1] * k), y = Math.round(arguments[2] * k), r = Math.ceil(arguments[3] * k);
      const d = cv.getContext("2d").getImageData(x - r, y - r, 2 * r + 1, 2 * r + 1).data;
      let best = [0, 0, 0];
      for (let p = 0; p < d.length; p += 4) if (d[p] + d[p + 1] + d[p + 2] > best[0] + best[1] + best[2]) best = [d[p], d[p + 1], d[p + 2]];
      return best''', canvas_id, x, y, r)


def shot(name):
    if SHOTS:
        os.makedirs(SHOTS, exist_ok=True)
        js('document.getElementById("toast").hidden = true')
        time.sleep(0.4)
        DRV.save_screenshot(os.path.join(SHOTS, name + '.png'))


def need_result():
    """The shared build of samples/flight without EXCLUDED, made once."""
    if not RESULT:
        scan_folder(sb.FLIGHT)
        exclude_in_grid_and_build(None)
    return RESULT


def exclude_in_grid_and_build(test):
    check = test.assertEqual if test else (lambda a, b, msg=None: None)
    js('tslTest.set("output", arguments[0]); tslTest.set("no_refine", true); tslTest.set("preview_px", 2048)',
       os.path.join(OUT, 'views.tif'))
    sb.tab(DRV, 'images')
    card = DRV.find_element(By.CSS_SELECTOR, '#imgGrid .card[data-name="%s"]' % EXCLUDED)
    ActionChains(DRV).double_click(card).perform()
    sb.wait(DRV, lambda d: 'ex' in card.get_attribute('class').split(), 30, 'the card to dim')
    want = sb.expected_cmd(STUDIO, sb.page_settings(DRV))
    check(sb.page_settings(DRV)['exclude'], [EXCLUDED])
    sb.wait(DRV, lambda d: sb.cmd_line(d) == want, 30, 'the command line with the exclusion')
    check('--exclude ' + EXCLUDED in want, True)
    check(js('return document.getElementById("imgCount").textContent'),
          '14 of 15 included · click to select · double-click to exclude')
    # a reload and a new scan of the same inputs keep it
    sb.open_page(DRV, STUDIO.url)
    sb.wait(DRV, lambda d: js('const s = tslTest.state(); return !!s.scan && s.excluded.includes(arguments[0])', EXCLUDED), 60,
            'the exclusion after a reload')
    DRV.find_element(By.ID, 'bBuild').click()
    sb.wait(DRV, lambda d: d.find_element(By.ID, 'bCancel').is_displayed(), 30, 'the build to start')
    sb.wait(DRV, lambda d: STUDIO.api('api/job?since=999999')[1].get('state') not in ('idle', 'running'), 600,
            'the end of the build')
    job = STUDIO.api('api/job?since=0')[1]
    if job['state'] != 'done':
        raise AssertionError('build %s: %s' % (job['state'], job.get('error')))
    sb.wait(DRV, lambda d: viewer('loaded') and sb.state(d)['reportPath'], 30, 'the result in the page')
    path = sb.state(DRV)['reportPath']
    with open(path) as f:
        report = json.load(f)
    RESULT.update(path=path, report=report)
    return report


class FlightViews(unittest.TestCase):
    def tearDown(self):
        wait_idle()

    def test_a_map_draws_the_scanned_footprints_and_checks(self):
        scan = scan_folder(sb.FLIGHT)
        close_drawers()
        sb.wait(DRV, lambda d: js('return document.getElementById("mapCv").clientWidth > 900'), 30, 'the wide map')
        sb.press(DRV, 'f')  # fits the map
        shot('flight-map')
        # Only the outlines: every corner of a footprint lies on a drawn line, through the map's
        # own transform; the middle of the empty space left of the flight does not.
        set_layers(['fp'])
        m = sb.state(DRV)['map']
        shots = scan['shots']
        for s in [shots[0], shots[7], shots[-1]]:
            for corner in [0, 4, 8, 12]:
                e, n = s['fp'][corner]
                x, y = m['ox'] + e * m['s'], m['oy'] - n * m['s']
                with self.subTest(shot=s['name'], corner=corner):
                    self.assertGreater(sum(canvas_rgb('mapCv', x, y, 1)), 200, (x, y))
        e0 = min(p[0] for s in shots for p in s['fp'])
        n_mid = statistics.mean(p[1] for s in shots for p in s['fp'])
        self.assertLess(sum(canvas_rgb('mapCv', m['ox'] + e0 * m['s'] - 40, m['oy'] - n_mid * m['s'], 2)), 90)
        # every corner of the bounding box of the footprints lies inside the fitted view
        w = js('return document.getElementById("mapCv").clientWidth')
        xs = [m['ox'] + p[0] * m['s'] for s in shots for p in s['fp']]
        self.assertAlmostEqual((min(xs) + max(xs)) / 2, w / 2, delta=1)

        st = scan['stats']
        figs = js('return [...document.querySelectorAll("#qaPanel .fig")].map(f => [f.children[0].textContent, f.children[1].textContent])')
        self.assertEqual(figs, [['Images', str(len(shots))], ['GSD', '%.2f cm' % st['gsd_cm']],
                                ['Forward', '%d%%' % round(st['forward'] * 100)], ['Side', '%d%%' % round(st['side'] * 100)]])
        rows = dict(js('const k = [...document.querySelectorAll("#qaPanel .kv > span")].map(e => e.textContent);'
                       'const o = []; for (let i = 0; i < k.length; i += 2) o.push([k[i], k[i + 1]]); return o'))
        self.assertEqual(rows['CRS'], 'EPSG:%d' % scan['epsg'])
        self.assertEqual(rows['Altitude'], '%.1f m' % st['alt'])
        self.assertEqual(rows['Area'], '%.2f ha' % (st['area_m2'] / 10000))
        self.assertEqual(js('return document.querySelectorAll("#qaPanel .warns div").length'), 0)

        # Without a report the tie graph and the correction vectors draw nothing.
        canvas = 'return document.getElementById("mapCv").toDataURL()'
        set_layers(['fp'])
        plain = js(canvas)
        set_layers(['fp', 'ties', 'vec'])
        self.assertEqual(js(canvas), plain)
        # With every camera at one altitude each dot takes the middle of the ramp: steel grey
        # (64, 70, 82) at 0, the accent (255, 162, 87) at 0.6, so 0.5 is 5/6 of the way.
        set_layers(['cams'])
        level = dict(scan, shots=[dict(s, alt=70) for s in shots])
        sb.fake_scan(DRV, level)
        fitted = sb.state(DRV)['map']  # the same footprints, fitted the same
        self.assertEqual([fitted[k] for k in ['s', 'ox', 'oy']], [m[k] for k in ['s', 'ox', 'oy']])
        mid_colour = [round(a + (b - a) * 5 / 6) for a, b in zip([64, 70, 82], [255, 162, 87])]
        for s in shots[:4]:
            self.assertEqual(canvas_rgb('mapCv', m['ox'] + s['E'] * m['s'], m['oy'] - s['N'] * m['s']), mid_colour, s['name'])
        js('return tslTest.scan()')

        # Hovering a camera shows it in the inspector; a click selects it; X excludes it.
        set_layers(['heat', 'fp', 'path', 'cams', 'ortho'])
        target = shots[3]
        cv = DRV.find_element(By.ID, 'mapCv')
        cx, cy = m['ox'] + target['E'] * m['s'], m['oy'] - target['N'] * m['s']
        rect = js('const r = arguments[0].getBoundingClientRect(); return [r.width, r.height]', cv)
        ActionChains(DRV).move_to_element_with_offset(cv, cx - rect[0] / 2 + 2, cy - rect[1] / 2).perform()
        sb.wait(DRV, lambda d: js('return document.querySelector("#insp h3")?.textContent') ==
                'Hover · #%d' % (target['seq'] + 1), 30, 'the hover inspector')
        self.assertEqual(js('return document.querySelector("#insp .nm").textContent'), target['name'])
        shot('flight-inspector')
        ActionChains(DRV).click().perform()
        self.assertEqual(sb.state(DRV)['sel'], target['name'])
        DRV.find_element(By.TAG_NAME, 'body').send_keys('x')
        self.assertEqual(sb.state(DRV)['excluded'], [target['name']])
        DRV.find_element(By.TAG_NAME, 'body').send_keys('x')
        self.assertEqual(sb.state(DRV)['excluded'], [])

        # Shift+drag draws the export area in absolute UTM; a box under 1 m is dropped.
        o = scan['origin']
        ActionChains(DRV).move_to_element_with_offset(cv, 0, 0).key_down(Keys.SHIFT).click_and_hold() \
            .move_by_offset(60, 40).release().key_up(Keys.SHIFT).perform()
        b = sb.state(DRV)['values']['bounds']
        self.assertIsNotNone(b)
        self.assertAlmostEqual(b[2] - b[0], 60 / m['s'], delta=0.02 + 1 / m['s'])
        self.assertAlmostEqual((b[0] + b[2]) / 2 - o[0], (rect[0] / 2 + 30 - m['ox']) / m['s'], delta=1.5 / m['s'])
        self.assertIn('--bounds', sb.cmd_line(DRV))
        ActionChains(DRV).move_to_element_with_offset(cv, 100, 100).key_down(Keys.SHIFT).click_and_hold() \
            .move_by_offset(1, 1).release().key_up(Keys.SHIFT).perform()
        self.assertEqual(sb.state(DRV)['values']['bounds'], b)
        js('tslTest.set("bounds", null)')

    def test_b_a_flight_with_a_gap_warns(self):
        folder = os.path.join(OUT, 'gap')
        os.makedirs(folder)
        # every other photo of each leg: twice the spacing along the legs
        for k in [1, 3, 5, 6, 8, 10, 11, 13, 15]:
            shutil.copy(os.path.join(sb.FLIGHT, 'DJI_%04d.JPG' % k), folder)
        with open(os.path.join(folder, 'DJI_0099.JPG'), 'wb') as f:
            f.write(b'\xff\xd8\xff\xd9')  # a JPEG with no metadata at all
        scan = scan_folder(folder)
        st = scan['stats']
        self.assertLess(st['forward'], 0.6)
        self.assertEqual([s[0] for s in scan['skipped']], ['DJI_0099.JPG'])
        warns = js('return [...document.querySelectorAll("#qaPanel .warns div")].map(d => d.textContent)')
        want = ['⚠ Forward overlap %d%% — 70 %%+ recommended' % round(st['forward'] * 100)]
        if st['side'] is not None and st['side'] < 0.5:
            want.append('⚠ Side overlap %d%% — 60 %%+ recommended' % round(st['side'] * 100))
        want.append('⚠ 1 skipped: ' + scan['skipped'][0][1])
        self.assertEqual(warns, want)
        close_drawers()
        shot('flight-gap')
        sb.tab(DRV, 'images')
        self.assertEqual(js('return document.querySelector(".skipline").textContent'),
                         'Not usable: DJI_0099.JPG (%s)' % scan['skipped'][0][1])
        # another input set starts without the exclusions of the first
        ActionChains(DRV).double_click(DRV.find_element(By.CSS_SELECTOR, '#imgGrid .card[data-name="DJI_0003.JPG"]')).perform()
        self.assertEqual(sb.state(DRV)['excluded'], ['DJI_0003.JPG'])
        scan_folder(sb.FLIGHT)
        self.assertEqual(sb.state(DRV)['excluded'], [])

    def test_c_excluding_in_the_grid_changes_the_command_line_and_the_build_skips_it(self):
        scan_folder(sb.FLIGHT)
        sb.tab(DRV, 'images')
        f = DRV.find_element(By.ID, 'imgFilter')
        f.send_keys('0012')
        sb.wait(DRV, lambda d: js('return [...document.querySelectorAll("#imgGrid .card")].filter(c => !c.hidden)'
                                  '.map(c => c.dataset.name)') == ['DJI_0012.JPG'], 30, 'the filter')
        close_drawers()
        shot('images-filtered')
        f.send_keys(Keys.CONTROL, 'a')
        f.send_keys(Keys.BACK_SPACE)
        sb.wait(DRV, lambda d: js('return [...document.querySelectorAll("#imgGrid .card")].every(c => !c.hidden)'), 30,
                'the filter to clear')
        RESULT.clear()
        report = exclude_in_grid_and_build(self)
        self.assertEqual(report['images'], 14)
        self.assertNotIn(EXCLUDED, [s['file'] for s in report['shots']])
        sb.tab(DRV, 'images')
        close_drawers()
        shot('images')


class ResultViews(unittest.TestCase):
    def tearDown(self):
        wait_idle()

    def test_d_result_viewer_finishes_in_the_browser_and_renders_live(self):
        res = need_result()
        sb.open_page(DRV, STUDIO.url)  # a reload keeps the result
        sb.wait(DRV, lambda d: viewer('loaded'), 20, 'the result after a reload')
        self.assertEqual(sb.state(DRV)['reportPath'], res['path'])
        close_drawers()
        sb.tab(DRV, 'result')
        js('tslTest.set("wb", [1, 1, 1]); tslTest.set("ev", tslTest.viewer().ev0)')
        sb.wait(DRV, lambda d: js('return tslTest.viewer().W > 0 && document.getElementById("rvCv").clientWidth > 0'), 30, 'the viewer')
        rv = dict(zip(['W', 'H', 's', 'ox', 'oy'], viewer('W', 'H', 's', 'ox', 'oy')))
        cw, ch = js('const c = document.getElementById("rvCv"); return [c.clientWidth, c.clientHeight]')
        # fitted: centred with 20 px to spare on the tighter side
        self.assertAlmostEqual(rv['ox'] * 2 + rv['W'] * rv['s'], cw, delta=1)
        self.assertAlmostEqual(min(cw - rv['W'] * rv['s'], ch - rv['H'] * rv['s']), 40, delta=1)
        # The default finishing reproduces the neutral preview within one step of the tables.
        diff = js('''const r = tslTest.viewer(); let worst = 0, at = -1;
          for (let p = 0; p < r.neutral.length; p += 4) for (let c = 0; c < 3; c++) {
            const d = Math.abs(r.finished[p + c] - r.neutral[p + c]); if (d > worst) { worst = d; at = r.neutral[p + c]; } }
          return [worst, at]''')
        self.assertLessEqual(diff[0], 1, diff)
        # the histogram counts the covered pixels only
        n_cov, n_hist = js('const r = tslTest.viewer(); let n = 0; for (let p = 0; p < r.mask.length; p += 4) if (r.mask[p] > 128) n++;'
                           'return [n, r.histN]')
        self.assertEqual(n_hist, n_cov)
        self.assertGreater(n_cov, 0)
        shot('result-finished')

        requests = viewer('requests')
        mid = (cw / 2, ch / 2)
        before = canvas_rgb('rvCv', *mid)
        # Exposure and white balance re-finish in the browser without asking the server.
        js('tslTest.set("ev", tslTest.viewer().ev0 + 1); tslTest.set("wb", [1.5, 1, 0.7])')
        sb.wait(DRV, lambda d: canvas_rgb('rvCv', *mid) != before, 30, 'the re-finished picture')
        after = canvas_rgb('rvCv', *mid)
        self.assertGreater(after[0], before[0])
        time.sleep(0.5)
        self.assertEqual(viewer('requests'), requests)

        for mode, name in [('split', 'Split'), ('before', 'Neutral'), ('mask', 'Coverage'), ('after', 'Finished')]:
            DRV.find_element(By.CSS_SELECTOR, '#rvModes button[data-m="%s"]' % mode).click()
            time.sleep(0.2)
            with self.subTest(mode=mode):
                if mode == 'split':  # neutral left of the divider, finished right of it
                    n_left, n_right = neutral_at(cw * 0.3, ch / 2), neutral_at(cw * 0.7, ch / 2)
                    self.assertEqual(canvas_rgb('rvCv', cw * 0.3, ch / 2), n_left)
                    self.assertNotEqual(canvas_rgb('rvCv', cw * 0.7, ch / 2), n_right)
                if mode == 'mask':  # coverage: white where the mosaic has pixels
                    self.assertEqual(canvas_rgb('rvCv', *mid), [255, 255, 255])
            shot('result-' + name.lower())
        self.assertEqual(viewer('requests'), requests)

        # Zooming in past the preview's resolution asks for a live re-render, which is drawn.
        t0 = time.time()
        zoom_in()
        round_trip = time.time() - t0
        # four wheel steps in a row sent one request
        self.assertEqual(viewer('requests'), requests + 1)
        badge = js('return document.querySelector("#liveBadge .t").textContent')
        tile = js('const t = tslTest.viewer().tile; return {W: t.W, H: t.H, gsd: t.gsd, ms: t.ms, E0: t.E0, N0: t.N0}')
        self.assertEqual(badge, 'live %d×%d · %.2f cm/px · %d ms' % (tile['W'], tile['H'], tile['gsd'] * 100, tile['ms']))
        self.assertGreater(viewer('s'), 1.05)
        # what the canvas shows in the middle is the tile's finished pixel there
        px = js('''const r = tslTest.viewer(), t = r.tile, rep = tslTest.state().report;
          const k = rep.size_px[0] / r.W, g = rep.gsd_m * k;
          const e = rep.origin_utm[0] + (arguments[0] - r.ox) / r.s * g, n = rep.origin_utm[1] - (arguments[1] - r.oy) / r.s * g;
          const x = Math.floor((e - t.E0) / t.gsd), y = Math.floor((t.N0 - n) / t.gsd), p = 4 * (y * t.W + x);
          return [t.finished[p], t.finished[p + 1], t.finished[p + 2], t.finished[p + 3]]''', *mid)
        self.assertEqual(px[3], 255)
        got = canvas_rgb('rvCv', *mid)
        for c in range(3):
            self.assertAlmostEqual(got[c], px[c], delta=24, msg=(got, px))
        shot('result-live')
        # a finishing change re-finishes the tile in the browser too
        tile_px = js('return Array.from(tslTest.viewer().tile.finished.slice(0, 4000))')
        js('tslTest.set("saturation", 1.6)')
        sb.wait(DRV, lambda d: js('return Array.from(tslTest.viewer().tile.finished.slice(0, 4000))') != tile_px, 30,
                'the re-finished tile')
        requests = viewer('requests')
        # A view dragged far beside the mosaic asks for nothing.
        js('''const cv = document.getElementById("rvCv"), b = cv.getBoundingClientRect();
          const x = b.left + b.width / 2, y = b.top + b.height / 2;
          cv.dispatchEvent(new MouseEvent("mousedown", {clientX: x, clientY: y, button: 0, bubbles: true}));
          window.dispatchEvent(new MouseEvent("mousemove", {clientX: x + 1e6, clientY: y}));
          window.dispatchEvent(new MouseEvent("mouseup", {clientX: x + 1e6, clientY: y, button: 0}))''')
        time.sleep(0.7)
        self.assertEqual(viewer('requests'), requests)
        # Back at the preview's own resolution the tile is dropped, again without a request.
        DRV.find_element(By.ID, 'bFit').click()
        sb.wait(DRV, lambda d: js('return tslTest.viewer().tile === null'), 30, 'the tile to go')
        self.assertEqual(viewer('requests'), requests)
        self.assertEqual(js('return document.querySelector("#liveBadge .t").textContent'), 'live')
        # A blending setting renders again and marks the preview as differing from the export.
        js('tslTest.set("feather", 3)')
        sb.wait(DRV, lambda d: 'preview ≠ export' in js('return document.querySelector("#liveBadge .t").textContent'),
                60, 'the dirty badge')
        self.assertEqual(viewer('requests'), requests + 1)
        js('tslTest.set("feather", null); tslTest.set("saturation", 1); tslTest.set("ev", tslTest.viewer().ev0);'
           'tslTest.set("wb", [1, 1, 1])')
        self.check_white_balance_tools(cw, ch)
        self.check_a_result_without_its_mask(res)
        if SHOTS:
            print('\nlive re-render round trip after a zoom: %.0f ms (render %d ms, %dx%d px)'
                  % (round_trip * 1000, tile['ms'], tile['W'], tile['H']))

    def check_white_balance_tools(self, cw, ch):
        sb.wait(DRV, lambda d: viewer('s') < 1.05, 30, 'the fitted view')

        def click_image(px, py):  # a press on the working-preview pixel (px, py)
            js('''const r = tslTest.viewer(), cv = document.getElementById("rvCv"), b = cv.getBoundingClientRect();
              const x = b.left + r.ox + (arguments[0] + 0.5) * r.s, y = b.top + r.oy + (arguments[1] + 0.5) * r.s;
              for (const t of ["mousedown", "mouseup"])
                (t === "mousedown" ? cv : window).dispatchEvent(new MouseEvent(t, {clientX: x, clientY: y, button: 0, bubbles: true}))''',
               px, py)

        DRV.find_element(By.ID, 'bPick').click()
        sb.wait_toast(DRV, lambda t: t == 'Click a neutral grey or white surface (limestone, concrete, road marking)', 30, 'the toast')
        click_image(1, 1)  # too close to the edge for a 7 x 7 average
        self.assertTrue(viewer('picking'))
        self.assertEqual(sb.state(DRV)['values']['wb'], [1, 1, 1])
        # the brightest near-grey covered spot (a road or a marking), as a user would pick it
        px, py = js('''const r = tslTest.viewer(); let best = -1, at = [0, 0];
          for (let y = 10; y < r.H - 10; y += 3) for (let x = 10; x < r.W - 10; x += 3) {
            const p = 4 * (y * r.W + x), a = r.neutral.slice(p, p + 3), v = a[0] + a[1] + a[2];
            if (r.mask[p] === 255 && v < 600 && Math.max(...a) - Math.min(...a) < 30 && v > best) { best = v; at = [x, y]; } }
          return at''')
        click_image(px, py)
        sb.wait(DRV, lambda d: not viewer('picking'), 30, 'the pick')
        sb.wait_toast(DRV, lambda t: t == 'White balance set from picked neutral', 30, 'the toast')
        wb = sb.state(DRV)['values']['wb']
        self.assertEqual(wb[1], 1)
        # the picked patch comes out grey: its finished channels agree within the 8-bit steps
        sb.wait(DRV, lambda d: js('return tslTest.viewer().finished !== null'), 30, 'the re-finish')
        time.sleep(0.3)
        patch = js('''const r = tslTest.viewer(), m = [0, 0, 0];
          for (let y = arguments[1] - 3; y <= arguments[1] + 3; y++) for (let x = arguments[0] - 3; x <= arguments[0] + 3; x++)
            for (let c = 0; c < 3; c++) m[c] += r.finished[4 * (y * r.W + x) + c] / 49;
          return m''', px, py)
        self.assertAlmostEqual(patch[0], patch[1], delta=4, msg=(wb, patch))
        self.assertAlmostEqual(patch[2], patch[1], delta=4, msg=(wb, patch))
        # Grey world: after Auto WB the linear means over the covered mosaic are equal; after
        # Auto EV their luminance sits at 18 % grey.
        # sRGB decoding written out here, apart from the page's own table
        means = '''const r = tslTest.viewer(), v = tslTest.state().values, wb = v.wb, k = 2 ** (v.ev - r.ev0), m = [0, 0, 0];
          const lin = i => { const x = i / 255; return x <= 0.04045 ? x / 12.92 : ((x + 0.055) / 1.055) ** 2.4; };
          let n = 0;
          for (let p = 0; p < r.neutral.length; p += 16) { if (r.mask[p] < 200) continue; n++;
            for (let c = 0; c < 3; c++) m[c] += lin(r.neutral[p + c]) * wb[c] * k; }
          return m.map(v => v / n)'''
        js('tslTest.set("wb", [1, 1, 1])')
        DRV.find_element(By.ID, 'bAutoWb').click()
        sb.wait_toast(DRV, lambda t: t == 'Grey-world white balance applied', 30, 'the toast')
        r, g, b = js(means)
        wb = sb.state(DRV)['values']['wb']
        for ratio, w in [(r / g, wb[0]), (b / g, wb[2])]:
            if w not in (0.4, 2.2):  # a multiplier held at its limit cannot reach grey
                self.assertAlmostEqual(ratio, 1, delta=0.005, msg=wb)
        self.assertNotEqual(wb, [1, 1, 1])
        DRV.find_element(By.ID, 'bAutoEv').click()
        sb.wait_toast(DRV, lambda t: t == 'Mid-tones set to 18 % grey', 30, 'the toast')
        r, g, b = js(means)
        self.assertAlmostEqual(0.2126 * r + 0.7152 * g + 0.0722 * b, 0.18, delta=0.002)
        js('tslTest.set("wb", [1, 1, 1]); tslTest.set("ev", tslTest.viewer().ev0)')

    def check_a_result_without_its_mask(self, res):
        mask = res['report']['preview'][:-4] + '_mask.png'
        os.rename(mask, mask + '.away')
        try:
            sb.open_page(DRV, STUDIO.url)
            sb.wait(DRV, lambda d: viewer('loaded'), 20, 'the result without its mask')
            sb.tab(DRV, 'result')
            got = js('const r = tslTest.viewer(); let opaque = true;'
                     'for (let p = 3; p < r.finished.length; p += 4) if (r.finished[p] !== 255) { opaque = false; break; }'
                     'return [r.mask === null, opaque, r.histN === r.W * r.H]')
            self.assertEqual(got, [True, True, True])
            # The reloaded page counts its live requests from 1 again, under its own client id,
            # and is still answered.
            self.assertEqual(viewer('seq'), 0)
            zoom_in()
            self.assertEqual(js('return tslTest.viewer().tile.seq'), 1)
        finally:
            os.rename(mask + '.away', mask)

    def test_e_report_cards_show_the_report_figures(self):
        res = need_result()
        rep = res['report']
        sb.open_page(DRV, STUDIO.url)
        sb.wait(DRV, lambda d: viewer('loaded'), 20, 'the result')
        close_drawers()
        sb.tab(DRV, 'report')
        adj = rep['adjustment']
        w, h = rep['size_px']
        base = rep['output'][:-4]
        z = rep['surface']
        want = [
            ['Seam accuracy', fmt(adj.get('tie_median_m'), 1, 100) + ('cm' if num(adj.get('tie_median_m')) else ''),
             'median tie residual · RMS ' + (fmt(adj.get('tie_rms_m'), 1, 100) + ' cm' if num(adj.get('tie_rms_m')) else '–')],
            ['Tie points', '{:,}'.format(adj['tie_points']) if num(adj.get('tie_points')) else '–', ties_line(rep)],
            ['Unaligned images', str(len(adj['unconnected'])) if isinstance(adj.get('unconnected'), list) else '–',
             unaligned_line(adj)],
            ['Output', fixed(w * h / 1e6, 0) + 'MP', '%d × %d @ %s cm' % (w, h, fixed(rep['gsd_m'] * 100, 2))],
            ['Ground plane', fmt(rep['ground_z'], 2) + 'm', 'relative to take-off'] if z['kind'] != 'dsm' else
            ['Terrain model', fixed(z['relief_m'], 2) + 'm relief', 'DSM %d×%d @ %s m' % (z['shape'][1], z['shape'][0], fixed(z['cell_m'], 2))],
            ['Lens self-cal'] + selfcal_texts(rep),
            ['Time', fixed(rep['seconds'], 0) + 's', '%d images · EPSG:%d' % (rep['images'], rep['epsg'])],
        ]
        self.assertEqual(report_cards(), want)
        files = js('return [...document.querySelectorAll("#outFiles .fr")].map(r => [r.children[0].textContent, r.children[1].textContent])')
        self.assertEqual(files[0], [rep['output'], 'GeoTIFF · RGBA · tiled · deflate'])
        self.assertEqual([f[0] for f in files], [rep['output'], base + '.tfw', rep['preview']] +
                         ([base + '_dsm.tif'] if rep.get('surface_file') else []) + [base + '_report.json'])
        for p, _ in files:
            self.assertTrue(os.path.exists(p), p)
        shot('report')

        # The diagnostics export: the server's figures in the card, the zip revealed. The real
        # analysis takes too long here, so the page talks to a stand-in for that one call.
        js('''window.realFetch = window.realFetch || window.fetch; window.calls = [];
          window.fetch = async (url, opt) => {
            const u = String(url);
            if (u === "/api/diagnostics" || u === "/api/reveal") {
              window.calls.push([u, JSON.parse(opt.body)]);
              if (u === "/api/reveal") return new Response("{}", {status: 200});
              await new Promise(r => { window.releaseDiag = r; });
              if (window.failDiag) return new Response('{"error": "no seams to analyse"}', {status: 400});
              return new Response(JSON.stringify({path: "/out/views_diagnostics.zip", size_mb: 7, seams: {pairs: 90,
                grid_cm: 5, median_cm: 128.31, sequence_median_cm: 99.02, side_median_cm: 140.79, edge_median_cm: 128.4}}),
                {status: 200});
            }
            return window.realFetch(url, opt);
          }''')
        try:
            btn = DRV.find_element(By.ID, 'bDiag')
            btn.click()
            sb.wait(DRV, lambda d: js('return !!window.releaseDiag'), 30, 'the diagnostics request')
            self.assertFalse(btn.is_enabled())
            self.assertEqual(DRV.find_element(By.ID, 'diagRes').text, 'Analysing seams…')
            js('window.releaseDiag(); window.releaseDiag = null')
            sb.wait_toast(DRV, lambda t: t == 'Diagnostics bundle written', 30, 'the diagnostics toast')
            self.assertTrue(btn.is_enabled())
            self.assertEqual(DRV.find_element(By.ID, 'diagRes').text,
                             'views_diagnostics.zip · 7 MB · seams median 128.3 cm (sequence 99.0, side 140.8, frame edges 128.4)')
            self.assertEqual(js('return window.calls'), [['/api/diagnostics', {'path': base + '_report.json'}],
                                                         ['/api/reveal', {'path': '/out/views_diagnostics.zip'}]])
            js('window.failDiag = true')
            btn.click()
            sb.wait(DRV, lambda d: js('return !!window.releaseDiag'), 30, 'the second diagnostics request')
            js('window.releaseDiag()')
            sb.wait_toast(DRV, lambda t: t == 'no seams to analyse', 30, 'the failure toast')
            self.assertTrue(btn.is_enabled())
        finally:
            js('window.fetch = window.realFetch')
        # A report without a preview leaves no picture of the earlier result behind.
        js('return tslTest.loadResult(Object.assign({}, arguments[0], {preview: null}))', rep)
        self.assertEqual(js('return [tslTest.viewer().loaded, document.getElementById("resultEmpty").hidden]'), [False, False])

        # Reports of other builds: alignment figures, a terrain model, self-calibration terms.
        shaped = [
            ('refined with a DSM and full self-calibration',
             {'adjustment': {'tie_median_m': 0.01234, 'tie_rms_m': 0.0456, 'tie_points': 123456, 'pairs_matched': [40, 52],
                             'dense_pairs': 38, 'unconnected': ['a.jpg', 'b.jpg', 'c.jpg', 'd.jpg']},
              'surface': {'kind': 'dsm', 'relief_m': 6.789, 'shape': [120, 160], 'cell_m': 0.5},
              'surface_file': '/x/o_surface.npz',
              'selfcal': {'FC6310': [0.0123, -0.0045, 0.001, -0.002, 0.0003, -0.00015]}, 'lens': {'FC6310': {'fx': 1000}}},
             [['Seam accuracy', '1.2cm', 'median tie residual · RMS 4.6 cm'],
              ['Tie points', '123,456', '40 / 52 pairs matched · dense flow on 38 pairs'],
              ['Unaligned images', '4', 'a.jpg, b.jpg, c.jpg'],
              ['Terrain model', '6.79m relief', 'DSM 160×120 @ 0.50 m'],
              ['Lens self-cal', '+0.0123 -0.0045', 'k1 k2 · centre 1.0, -2.0 px · tang. 0.30, -0.15 ‰']], 5, 1),
            ('metadata placement with zero self-calibration',
             {'adjustment': {}, 'tie_pairs': [], 'surface': {'kind': 'plane'}, 'ground_z': -1.5, 'surface_file': None,
              'selfcal': {'FC6310': [0, 0]}},
             [['Seam accuracy', '–', 'median tie residual · RMS –'],
              ['Tie points', '–', '0 connected pairs'],
              ['Unaligned images', '–', 'alignment skipped (metadata only)'],
              ['Ground plane', '-1.50m', 'relative to take-off'],
              ['Lens self-cal', 'off', 'extra radial k1 k2']], 4, 0),
        ]
        for name, change, cards, n_files, n_bad in shaped:
            with self.subTest(name):
                fake = dict(rep)
                fake.update(change)
                js('return tslTest.loadResult(arguments[0])', fake)
                got = {c[0]: c for c in report_cards()}
                for c in cards:
                    self.assertEqual(got[c[0]], c)
                self.assertEqual(js('return document.querySelectorAll("#outFiles .fr").length'), n_files)
                # only a card with unaligned images is outlined in the error colour
                self.assertEqual(js('return document.querySelectorAll("#repCards .rc.bad").length'), n_bad)
        js('return tslTest.loadResult(arguments[0])', rep)

    def test_f_performance_view_follows_a_build(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)
        close_drawers()
        sb.tab(DRV, 'perf')
        sb.wait(DRV, lambda d: len(sb.state(d)['samples']) >= 2, 30, 'samples')
        status, cache = STUDIO.api('api/cache')
        sb.wait(DRV, lambda d: js('return document.getElementById("cacheLine").textContent').startswith('%.2f GB in ' % cache['gb'])
                or cache['enabled'] is False, 30, 'the disk-cache line')
        cards = perf_cards()
        self.assertEqual(cards['CPU'][0][-1], '%')
        status, perf = STUDIO.api('api/perf')
        st = perf['static']
        self.assertEqual(cards['CPU'][1], '%d threads · %d cores · %d workers'
                         % (st['cores_logical'], st['cores_physical'], st['workers']))
        if st.get('gpu_name') is None:
            self.assertEqual(cards['GPU'], ['–', 'no NVIDIA GPU detected'])
            self.assertEqual(cards['VRAM'][0], '–')
        # One bar per core the machine reports; under a CPU affinity mask that can exceed the threads we may use.
        cores = len(sb.state(DRV)['samples'][-1]['cores'])
        self.assertGreaterEqual(cores, st['cores_logical'])
        self.assertEqual(len(js('return document.querySelectorAll("#perfCores .cb")')), cores)

        settings = {'input': [sb.FLIGHT], 'output': os.path.join(OUT, 'perf.tif'), 'no_refine': True, 'gsd': 3}
        status, r = STUDIO.api('api/run', settings)
        self.assertEqual(status, 200, r)
        sb.wait(DRV, lambda d: sb.state(d)['samples'][-1]['state'] == 'running', 20, 'a sample of the running build')
        spark = 'return [document.getElementById("spCpu").toDataURL(), document.getElementById("spMem").toDataURL()]'
        first = js(spark)
        t_first = sb.state(DRV)['samples'][-1]['t']
        sb.wait(DRV, lambda d: sb.state(d)['samples'][-1]['t'] > t_first, 30, 'the next sample')
        # the sparklines redraw after the sample arrives; allow a loaded machine its time
        sb.wait(DRV, lambda d: all(a != b for a, b in zip(first, js(spark))), 30, 'the redrawn sparklines')
        second = js(spark)
        running = sb.state(DRV)['samples'][-1]['state'] == 'running'
        self.assertNotEqual(first[0], second[0])
        self.assertNotEqual(first[1], second[1])
        if running:
            job = perf_cards()['Job']
            self.assertEqual(job[0], 'running')
            self.assertRegex(job[1], r'^stage [1-6]/6 · \d+%$')
            sb.wait(DRV, lambda d: js('return document.querySelector("#perfStages .stg:last-child.run") !== null'), 30,
                    'the running stage row')
            self.assertEqual(js('return document.querySelector("#perfStages .stg .n").textContent'), 'metadata')
            self.assertRegex(js('return document.getElementById("stgHead").textContent'), r'^Pipeline stages · \d+\.\d s total$')
        shot('performance')
        wait_idle()

    def test_g_figures(self):
        if not SHOTS:
            self.skipTest('figures only with TSL_PAGE_SHOTS')
        real = scan_folder(sb.FLIGHT)
        close_drawers()
        shots = []
        for k in range(200):
            b, dx = real['shots'][k % len(real['shots'])], 60 * (k // len(real['shots']))
            shots.append(dict(b, name='P%d.JPG' % k, seq=k, E=b['E'] + dx, fp=[[p[0] + dx, p[1]] for p in b['fp']]))
        sb.fake_scan(DRV, dict(real, shots=shots))
        t = []
        for _ in range(30):
            sb.press(DRV, 'f')  # fits and draws the map at once
            t.append(sb.state(DRV)['map']['lastMs'])
        t.sort()
        print('\nmap redraw, 200 photos: median %.1f ms, slowest but one %.1f ms' % (t[15], t[28]))
        res = need_result()
        sb.open_page(DRV, STUDIO.url)
        sb.wait(DRV, lambda d: viewer('loaded'), 20, 'the result')
        sb.tab(DRV, 'result')
        fin = []
        for sat in [1, 1.3]:
            t = []
            for _ in range(7):
                js('tslTest.set("saturation", arguments[0])', sat)
                sb.next_frame(DRV)
                t.append(viewer('finishMs'))
            fin.append(sorted(t)[3])
        js('tslTest.set("saturation", 1)')
        w, h = viewer('W', 'H')
        print('finishing of the %dx%d result of %s: %.1f ms (saturation 1), %.1f ms (saturation 1.3)'
              % (w, h, os.path.basename(res['path']), fin[0], fin[1]))


def zoom_in():
    """Four wheel steps into the middle of the result, then the live tile they ask for."""
    js('''const cv = document.getElementById("rvCv"), r = cv.getBoundingClientRect();
      for (let i = 0; i < 4; i++) cv.dispatchEvent(new WheelEvent("wheel", {deltaY: -400, clientX: r.left + r.width / 2,
        clientY: r.top + r.height / 2, bubbles: true, cancelable: true}))''')
    sb.wait(DRV, lambda d: js('return tslTest.viewer().tile !== null'), 60, 'the live tile')


def num(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)


def fixed(x, d):
    """x with d decimals as the page's toFixed writes it: a tie goes away from zero, where
    Python's formatting takes the even neighbour (8.5 s is "9s" on the page)."""
    v = Decimal(x)  # the double's exact value, as toFixed reads it
    return format(v.quantize(Decimal(1).scaleb(-d), rounding=ROUND_HALF_UP), 'f')


def fmt(v, d, scale=1):
    """A figure as the page shows it: d decimals, no sign on a value that rounds to zero."""
    if not num(v):
        return '–'
    text = fixed(v * scale, d)
    return text[1:] if text.startswith('-') and float(text) == 0 else text


def ties_line(rep):
    adj = rep['adjustment']
    pm = adj.get('pairs_matched')
    line = ('%d / %d pairs matched' % tuple(pm)) if isinstance(pm, list) else '%d connected pairs' % len(rep.get('tie_pairs') or [])
    if adj.get('dense_pairs') is not None:
        line += ' · dense flow on %d pairs' % adj['dense_pairs']
    return line


def unaligned_line(adj):
    un = adj.get('unconnected')
    if isinstance(un, list) and un:
        return ', '.join(un[:3])
    return 'alignment skipped (metadata only)' if not adj.get('tie_points') else 'all images tied'


def selfcal_texts(rep):
    cams = list((rep.get('selfcal') or {}).keys())
    terms = rep['selfcal'][cams[0]] if cams else []
    big = ' '.join('%+.4f' % t for t in terms[:2]) if any(terms) else 'off'
    if len(terms) > 2:
        lens = rep['lens'].get(cams[0]) if isinstance(rep['lens'].get(cams[0]), dict) else rep['lens']
        f = lens['fx']
        line = 'k1 k2 · centre %.1f, %.1f px · tang. %.2f, %.2f ‰' % (terms[2] * f, terms[3] * f, terms[4] * 1000, terms[5] * 1000)
    else:
        line = 'extra radial k1 k2'
    return [big, line]


def report_cards():
    return js('return [...document.querySelectorAll("#repCards .rc")].map(c => [c.querySelector(".tt").textContent,'
              'c.querySelector(".big").textContent, c.querySelector(".ln").textContent])')


def perf_cards():
    return {c[0]: c[1:] for c in js('return [...document.querySelectorAll("#perfCards .rc")].map(c => '
                                    '[c.querySelector(".tt").textContent, c.querySelector(".big").textContent,'
                                    'c.querySelector(".ln").textContent])')}


def neutral_at(x, y):
    """The canvas pixel at (x, y) when the viewer shows the Neutral mode."""
    old = viewer('mode')
    mode = 'document.querySelector(\'#rvModes button[data-m="\' + arguments[0] + \'"]\').click()'
    js(mode, 'before')
    sb.next_frame(DRV)
    got = js('''const cv = document.getElementById("rvCv"), k = cv.width / cv.clientWidth;
      const d = cv.getContext("2d").getImageData(Math.round(arguments[0] * k), Math.round(arguments[1] * k), 1, 1).data;
      return [d[0], d[1], d[2]]''', x, y)
    js(mode, old)
    sb.next_frame(DRV)
    return got


def set_layers(on):
    for b in DRV.find_elements(By.CSS_SELECTOR, '#layersPanel input[data-layer]'):
        if b.is_selected() != (b.get_attribute('data-layer') in on):
            js('arguments[0].click()', b)


if __name__ == '__main__':
    unittest.main(verbosity=2)
