"""The studio page's settings form in headless Chromium against the real program: every drawer's
controls change the command line exactly as the server's /api/argv says, presets, the derived
output path, drawers, range texts, resets and the appearance."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import studio_browser as sb  # noqa: E402

sb.require()
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

STUDIO = None
DRV = None


def setUpModule():
    global STUDIO, DRV
    STUDIO = sb.Studio()
    DRV = sb.browser()


def ctl(key):
    el = DRV.find_element(By.CSS_SELECTOR, '.ctl[data-k="%s"]' % key)
    # centred, so that the drawer's sticky head never covers the control
    sb.js(DRV, 'arguments[0].scrollIntoView({block: "center"})', el)
    return el


def open_drawer(did):
    if did not in sb.state(DRV)['open']:
        DRV.find_element(By.CSS_SELECTOR, '.rb[data-d="%s"]' % did).click()


def settle_cmd():
    """Waits until the footer shows what /api/argv gives for the page's current settings."""
    want = {}

    def cond(d):
        want['cmd'] = sb.expected_cmd(STUDIO, sb.page_settings(d))
        return sb.cmd_line(d) == want['cmd']

    try:
        sb.wait(DRV, cond, 10, 'command line')
    except Exception:
        raise AssertionError('command line %r, /api/argv gives %r' % (sb.cmd_line(DRV), want.get('cmd')))
    return want['cmd']


# Actions on one control, each done the way a user does it.
def seg(text):
    def act(key):
        for b in ctl(key).find_elements(By.CSS_SELECTOR, '.seg button'):
            if b.text == text:
                b.click()
                return
        raise AssertionError('no button %r in %s' % (text, key))
    return act


def tog(key):
    ctl(key).find_element(By.CSS_SELECTOR, '.tog').click()


def typed(text, clear=True):
    def act(key):
        f = ctl(key).find_element(By.CSS_SELECTOR, 'input[type=text], input[type=number]')
        if clear:
            f.send_keys(Keys.CONTROL, 'a')
            f.send_keys(Keys.BACK_SPACE)
        f.send_keys(text)
        f.send_keys(Keys.TAB)
    return act


def arrows(n, which=0):
    def act(key):
        r = ctl(key).find_elements(By.CSS_SELECTOR, 'input[type=range]')[which]
        r.send_keys((Keys.ARROW_RIGHT if n > 0 else Keys.ARROW_LEFT) * abs(n))
    return act


# (drawer, key, action, the arguments the command line must then hold)
CASES = [
    ('src', 'input', typed('/data/flight one'), ['"/data/flight one"']),
    ('src', 'meta_from', typed('/data/originals'), ['--meta-from /data/originals']),
    ('src', 'output', typed('/tmp/out/o.tif'), ['--output /tmp/out/o.tif']),
    ('src', 'prefer', seg('Use JPG'), ['--prefer jpg']),
    ('src', 'processed', seg('Yes (DxO…)'), ['--processed yes']),
    ('src', 'use_originals', tog, ['--use-originals']),
    ('opt', 'no_lens', tog, ['--no-lens']),
    ('opt', 'no_vignette', tog, ['--no-vignette']),
    ('opt', 'selfcal', seg('On'), ['--selfcal on']),
    ('opt', 'selfcal_model', seg('Radial only'), ['--selfcal-model radial']),
    ('opt', 'focal_px', typed('3100'), ['--focal-px 3100']),
    ('opt', 'max_tilt', arrows(3), ['--max-tilt 28']),
    ('opt', 'ground_amsl', typed('412.5'), ['--ground-amsl 412.5']),
    ('opt', 'all_cameras', tog, ['--all-cameras']),
    ('aln', 'no_refine', tog, ['--no-refine']),
    ('aln', 'matcher', seg('SIFT · CPU'), ['--matcher sift']),
    ('aln', 'match_px', arrows(5), ['--match-px 2400']),
    ('aln', 'features', arrows(-2), ['--features 3000']),
    ('aln', 'neighbors', arrows(2), ['--neighbors 12']),
    ('aln', 'max_ties', arrows(4), ['--max-ties 100']),
    ('aln', 'min_inliers', arrows(-5), ['--min-inliers 20']),
    ('aln', 'dense', seg('Off'), ['--dense off']),
    ('aln', 'dense_ties', arrows(2), ['--dense-ties 100']),
    ('aln', 'sigma_gps', arrows(-15), ['--sigma-gps 1.5']),
    ('aln', 'sigma_alt', arrows(5), ['--sigma-alt 2.5']),
    ('aln', 'sigma_ang', arrows(-10), ['--sigma-ang 2']),
    ('aln', 'sigma_tilt', arrows(-5), ['--sigma-tilt 0.25']),
    ('aln', 'sigma_ground', arrows(5), ['--sigma-ground 35']),
    ('aln', 'surface', seg('Flat plane'), ['--surface plane']),
    ('aln', 'dsm_cell', typed('0.5'), ['--dsm-cell 0.5']),
    ('aln', 'sigma_relief', arrows(-10), ['--sigma-relief 10']),
    ('aln', 'ba_iters', arrows(8), ['--ba-iters 100']),
    ('aln', 'ba_rounds', arrows(1), ['--ba-rounds 4']),
    ('col', 'no_gains', tog, ['--no-gains']),
    ('col', 'ev', arrows(10), ['--ev 0.5']),
    ('col', 'wb', arrows(40, 0), ['--wb 1.2 1 1']),
    ('col', 'saturation', arrows(-20), ['--saturation 0.8']),
    ('col', 'contrast', arrows(15), ['--contrast 0.15']),
    ('col', 'bits', seg('8-bit'), ['--bits 8']),
    ('out', 'gsd', typed('3'), ['--gsd 3']),
    ('out', 'blend', seg('Feather'), ['--blend feather']),
    ('out', 'seams', seg('Nadir only'), ['--seams nadir']),
    ('out', 'seam_band', arrows(3), ['--seam-band 0.15']),
    ('out', 'blend_bands', arrows(1), ['--blend-bands 5']),
    ('out', 'feather', arrows(-5), ['--feather 17.5']),
    ('out', 'interp', seg('Bilinear'), ['--interp linear']),
    ('out', 'max_mpix', arrows(-10), ['--max-mpix 1500']),
    ('out', 'preview_px', seg('2K'), ['--preview-px 2048']),
    ('perf', 'gpu', seg('CPU'), ['--gpu cpu']),
    ('perf', 'workers', None, []),  # set below from the schema's default, which depends on the machine
    ('perf', 'cache_gb', arrows(2), ['--cache-gb 8']),
    ('perf', 'disk_cache_gb', arrows(-4), ['--disk-cache-gb 0']),
    ('perf', 'seam_mpix', arrows(4), ['--seam-mpix 20']),
    ('perf', 'block_rows', seg('2048'), ['--block-rows 2048']),
    ('perf', 'grid_step', seg('32 px'), ['--grid-step 32']),
]


class SettingsForm(unittest.TestCase):
    def setUp(self):
        sb.open_page(DRV, STUDIO.url, fresh=True)

    def test_fresh_browser_defaults(self):
        self.assertEqual(sb.state(DRV)['open'], ['src'])
        self.assertTrue(DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="src"]').is_displayed())
        on = DRV.find_elements(By.CSS_SELECTOR, '#presets button.on')
        self.assertEqual([b.text for b in on], ['Balanced'])
        self.assertEqual(settle_cmd(), 'tessaly')

    def test_every_control_changes_the_command_line_as_the_server_says(self):
        workers_default = sb.state(DRV)['defaults']['workers']
        for drawer, key, act, parts in CASES:
            with self.subTest(key=key):
                open_drawer(drawer)
                if key == 'workers':
                    n = -1 if workers_default > 1 else 1
                    act, parts = arrows(n), ['--workers %d' % (workers_default + n)]
                act(key)
                cmd = settle_cmd()
                for p in parts:
                    self.assertIn(' ' + p, cmd)
                self.assertIn('changed', ctl(key).get_attribute('class'))
        # The white balance's Temp slider sets all three channels through its formula.
        open_drawer('col')
        arrows(50, 3)('wb')
        self.assertIn(' --wb 1.231 1 0.812', settle_cmd())

    def test_rail_and_drawer_count_changed_settings(self):
        open_drawer('aln')
        for act, key in [(seg('Off'), 'dense'), (arrows(1), 'ba_rounds'), (tog, 'no_refine')]:
            act(key)
        head = DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="aln"] .chg').text
        rail = DRV.find_element(By.CSS_SELECTOR, '.rb[data-d="aln"] .n').text
        self.assertEqual((head, rail), ('3 changed', '3'))
        # input, output and meta_from never count
        open_drawer('src')
        typed('/tmp/some flight')('input')
        self.assertEqual(DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="src"] .chg').text, '0 changed')

    def test_presets(self):
        def preset(text):
            for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button'):
                if b.text == text:
                    b.click()
                    return
        preset('Max quality')
        self.assertEqual(sb.wait_toast(DRV, lambda t: t.startswith('Preset'), 5), 'Preset · Max quality')
        self.assertIn('--match-px 3200', settle_cmd())
        preset('Balanced')
        self.assertEqual(settle_cmd(), 'tessaly')
        left = sb.js(DRV, 'return Object.keys(tslTest.state().set)')
        self.assertEqual(left, [], 'max values left in the settings')
        # Quick look before any scan: 8 cm
        preset('Quick look')
        self.assertEqual(sb.state(DRV)['set']['gsd'], 8)
        self.assertIn('--no-refine', settle_cmd())
        # after a scan with a GSD of 2.13 cm: 8.5
        sb.js(DRV, 'tslTest.set("input", ["/tmp/a"])')
        sb.fake_scan(DRV, {'stats': {'gsd_cm': 2.13}, 'shots': []})
        preset('Quick look')
        self.assertEqual(sb.state(DRV)['set']['gsd'], 8.5)
        # a change of a setting removes the highlight; a change of the input keeps it
        open_drawer('src')
        typed('/tmp/a')('input')
        self.assertEqual(sb.state(DRV)['preset'], 'quick')
        open_drawer('out')
        seg('Bicubic')('interp')
        self.assertEqual(DRV.find_elements(By.CSS_SELECTOR, '#presets button.on'), [])
        self.assertEqual(sb.js(DRV, 'return localStorage.getItem("tsl.preset")'), '')

    def test_a_change_back_to_the_default_keeps_the_bare_command_line(self):
        open_drawer('aln')
        arrows(2)('neighbors')
        self.assertIn('--neighbors 12', settle_cmd())
        arrows(-2)('neighbors')
        self.assertEqual(settle_cmd(), 'tessaly')
        self.assertEqual(sb.state(DRV)['set']['neighbors'], 10)

    def test_derived_output_path(self):
        cases = [  # (typed input, output before, output after)
            ('D:\\flights\\m1', None, 'D:\\flights\\m1\\tessaly\\m1_ortho.tif'),
            ('D:\\flights\\m1\\DJI_0001.JPG', None, 'D:\\flights\\m1\\tessaly\\m1_ortho.tif'),
            ('/home/u/flights/m2/', None, '/home/u/flights/m2/tessaly/m2_ortho.tif'),
            ('/home/u/flights/m2', 'ortho.tif', '/home/u/flights/m2/tessaly/m2_ortho.tif'),
            ('/home/u/flights/m2', '/mine/x.tif', '/mine/x.tif'),  # a typed output stays
            ('DJI_0001.JPG', None, 'tessaly/ortho_ortho.tif'),  # a bare file name stays relative
        ]
        for inp, before, after in cases:
            with self.subTest(inp=inp):
                sb.js(DRV, 'tslTest.set("output", arguments[0])', before)
                typed(inp)('input')
                self.assertEqual(sb.state(DRV)['values']['output'], after)
                field = ctl('output').find_element(By.CSS_SELECTOR, 'input')
                self.assertEqual(field.get_attribute('value'), after)

    def test_range_texts_number_fields_and_reset_dot(self):
        texts = {'sigma_tilt': '0.5°', 'saturation': '1.00×', 'ev': '0.0 EV', 'max_mpix': '2000 MP',
                 'seam_band': '0.12', 'match_px': '2000px', 'sigma_gps': '3.0m', 'feather': '20'}
        for key, want in texts.items():
            with self.subTest(key=key):
                self.assertEqual(sb.js(DRV, 'return document.querySelector(\'.ctl[data-k="%s"] .lab .v\')'
                                       '.textContent' % key), want)
        open_drawer('out')
        typed('2.5')('gsd')
        self.assertIn('--gsd 2.5', settle_cmd())
        typed('')('gsd')  # emptied: null
        self.assertIsNone(sb.state(DRV)['set'].get('gsd'))
        self.assertEqual(settle_cmd(), 'tessaly')
        seg('Feather')('blend')
        ctl('blend').find_element(By.CSS_SELECTOR, '.cd').click()
        self.assertEqual(sb.state(DRV)['values']['blend'], 'multiband')
        self.assertNotIn('changed', ctl('blend').get_attribute('class'))
        # a double click on a range resets it
        open_drawer('aln')
        arrows(3)('ba_rounds')
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(DRV).double_click(ctl('ba_rounds').find_element(By.CSS_SELECTOR, 'input[type=range]')).perform()
        self.assertEqual(sb.state(DRV)['values']['ba_rounds'], 3)

    def test_drawers_open_pin_and_close(self):
        open_drawer('opt')
        self.assertEqual(sb.state(DRV)['open'], ['opt'])
        DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="opt"] .pinb').click()
        open_drawer('col')
        self.assertEqual(sb.state(DRV)['open'], ['opt', 'col'])
        open_drawer('out')  # closes the unpinned one only
        self.assertEqual(sb.state(DRV)['open'], ['opt', 'out'])
        stored = sb.js(DRV, 'return JSON.parse(localStorage.getItem("tsl.drawers"))')
        self.assertEqual(stored, {'open': ['opt', 'out'], 'pinned': ['opt']})
        DRV.find_element(By.CSS_SELECTOR, '.rb[data-d="opt"]').click()  # the open drawer's button closes and unpins
        st = sb.state(DRV)
        self.assertEqual([st['open'], st['pinned']], [['out'], []])
        DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="out"] .dh button[title="Close"]').click()
        self.assertFalse(DRV.find_element(By.ID, 'drawers').is_displayed())

    def test_reset_and_copy_settings(self):
        open_drawer('src')
        typed('/tmp/flight x')('input')
        open_drawer('aln')
        seg('Off')('dense')
        DRV.find_element(By.XPATH, '//button[contains(., "Reset settings to defaults")]').click()
        self.assertEqual(sb.wait_toast(DRV, lambda t: t.startswith('Settings'), 5), 'Settings reset to defaults')
        self.assertEqual(sorted(sb.state(DRV)['set']), ['input', 'output'])
        self.assertEqual([b.text for b in DRV.find_elements(By.CSS_SELECTOR, '#presets button.on')], ['Balanced'])
        DRV.find_element(By.XPATH, '//button[contains(., "Copy settings")]').click()
        self.assertEqual(sb.wait_toast(DRV, lambda t: t.startswith('Settings c'), 5), 'Settings copied')

    def test_appearance(self):
        open_drawer('look')
        DRV.find_element(By.CSS_SELECTOR, '.drawer[data-d="look"] .sw1[title="#8fd3ff"]').click()
        self.assertEqual(sb.js(DRV, 'return getComputedStyle(document.documentElement).getPropertyValue("--acc").trim()'),
                         '#8fd3ff')
        theme = sb.js(DRV, 'return JSON.parse(localStorage.getItem("tsl.theme"))')
        self.assertEqual(theme['accent'], '#8fd3ff')
        DRV.find_element(By.XPATH, '//button[.="Reset appearance"]').click()
        self.assertEqual(sb.js(DRV, 'return JSON.parse(localStorage.getItem("tsl.theme"))'),
                         {'accent': '#ffa257', 'tint': '#ff8a3d', 'tintA': 35, 'glass': 35, 'glow': 100})
        # an unreadable stored theme falls back to the defaults
        sb.js(DRV, 'localStorage.setItem("tsl.theme", "{not json")')
        sb.open_page(DRV, STUDIO.url)
        self.assertEqual(sb.state(DRV)['theme']['accent'], '#ffa257')


if __name__ == '__main__':
    unittest.main(verbosity=2)
