// The page's test interface, window.tslTest, for the page tests (and the browser console).
// Tests drive the page as a user does where they can; these few functions read what the page
// holds and make the changes a user would make slowly. Nothing here changes how the page works.
//
//   state()            a copy of the page state as plain data: tab, set, defaults, values (every
//                      setting's value), preset, open, pinned (drawer ids), theme, scan,
//                      excluded (file names), sel, log (the Log view's lines), reportPath, report,
//                      samples (performance samples), map ({s, ox, oy, lastMs}: the Flight map's
//                      scale in px per metre, its offsets and its last drawing time in ms)
//   viewer()           the Result view: loaded, W, H (working size), s, ox, oy (view transform),
//                      mode, ev0, picking, dirty (the preview differs from the export), seq
//                      (live requests counted), requests (live requests
//                      sent), finishMs, histN (pixels in the histogram), the RGBA buffers neutral,
//                      finished and mask (W x H, the view's own: read, never write), and tile
//                      (the live tile: W, H, gsd, ms, E0, N0, seq, finished) or null
//   set(key, value)    sets a setting as its control does
//   settings()         the settings object the page sends to the server
//   scan()             scans the inputs; resolves to the scan reply, rejects on failure
//   loadResult(report) loads a report object as the current result; resolves when it is shown
import {mapFigures} from './flight_view.js';
import {loadResult, viewerFigures} from './result_view.js';
import {scan} from './scan.js';
import {setVal} from './settings_form.js';
import {S, settingsObj, val} from './state.js';
import {clone} from './util.js';

function state() {
  const keys = [...new Set(Object.keys(S.defaults).concat(Object.keys(S.set)))];
  return clone({
    tab: S.tab, set: S.set, defaults: S.defaults, values: Object.fromEntries(keys.map(k => [k, val(k) ?? null])),
    preset: S.preset, open: S.open, pinned: S.pinned, theme: S.theme, scan: S.scan, excluded: [...S.excluded],
    sel: S.sel, log: S.logLines, reportPath: S.reportPath, report: S.report, samples: S.samples, map: mapFigures(),
  });
}

export function installTestApi() {
  window.tslTest = Object.freeze({
    state,
    viewer: viewerFigures,
    set: (key, value) => setVal(key, value),
    settings: () => clone(settingsObj()),
    scan,
    loadResult,
  });
}
