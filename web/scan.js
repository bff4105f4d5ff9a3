// Scanning the input folders (POST /api/scan): one scan at a time; every shot comes back, and
// the exclusions stored for the input set are loaded with it.
import * as api from './api.js';
import {emit} from './events.js';
import {appendLog} from './log_view.js';
import {toast} from './shell.js';
import {S, exKey, settingsObj, val} from './state.js';
import {fx, store} from './util.js';

let busy = null;
// The scan reply; rejects when there is no input or the scan fails (the failure is shown).
export function scan() {
  if (busy) return busy;
  busy = doScan().finally(() => { busy = null; });
  return busy;
}

async function doScan() {
  const inp = val('input');
  if (!Array.isArray(inp) || !inp.length) { toast('Add an image folder first', true); throw new Error('no input'); }
  const hadScan = !!S.scan;
  emit('scan-start', String(inp[0]));
  const body = settingsObj();
  body.exclude = [];
  let r;
  try {
    r = await api.scan(body);
    if (!r || typeof r !== 'object' || Array.isArray(r)) throw new Error('bad scan reply');
  } catch (e) {
    // The exclusions of the folder scanned before must not reach this folder's command line.
    const ex = store.json(exKey(), []);
    S.excluded = new Set(Array.isArray(ex) ? ex.filter(x => typeof x === 'string') : []);
    emit('exclusion');
    emit('scan-failed', {message: e.message, hadScan});
    toast(e.message, true);
    throw e;
  }
  S.scan = r;
  const ex = store.json(exKey(), []);
  S.excluded = new Set(Array.isArray(ex) ? ex.filter(x => typeof x === 'string') : []);
  // While a build runs the Log view is the build's own.
  if (Array.isArray(r.log) && !S.running) appendLog(r.log.map(x => (x === null || x === undefined ? '' : String(x))));
  emit('scanned');
  const n = Array.isArray(r.shots) ? r.shots.length : 0;
  const cam = r.camera && r.camera.model ? String(r.camera.model) : 'camera';
  toast(n + ' images · ' + cam + ' · GSD ' + fx(r.stats ? r.stats.gsd_cm : null, 2) + ' cm');
  return r;
}
