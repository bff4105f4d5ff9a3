// Building: starting a build or a re-render, following it by polling GET /api/job,
// cancelling it, picking up a build that runs already, and "New project".
import * as api from './api.js';
import {emit} from './events.js';
import {appendLog, clearLog} from './log_view.js';
import {loadResult} from './result_view.js';
import {scan} from './scan.js';
import {refreshAll, updateCmd} from './settings_form.js';
import {drawPipe, drawRing, refreshTabCounts, setRunning, showElapsed, switchTab, toast} from './shell.js';
import {S, reportPathOf, saveSet, settingsObj, val} from './state.js';
import {$, fx, isNum, store} from './util.js';

const POLL_MS = 450;
let pollToken = 0;  // a newer polling loop ends the older one
let shown = 0;      // the progress shown for this job: it never goes back

function progressOf(p) {
  if (isNum(p) && p > shown) shown = Math.min(p, 1);
  return shown;
}

// Starts a build, or with `reuse` a re-render from the loaded result's report.
export async function startBuild(reuse) {
  if (S.running) return;
  const inp = val('input');
  if (!Array.isArray(inp) || !inp.length) { toast('Add an image folder first', true); return; }
  if (!S.scan) { try { await scan(); } catch (e) { /* a failed scan does not stop the build */ } }
  const body = settingsObj();
  if (reuse) {
    if (!S.reportPath) { toast('No previous result to reuse', true); return; }
    body.reuse = S.reportPath;
  }
  try { await api.run(body); } catch (e) { toast(e.message, true); return; }
  clearLog();
  S.logNext = 0;
  shown = 0;
  setRunning(true);
  drawRing(0);
  drawPipe(0, 0, 'running');
  toast(reuse ? 'Re-rendering with solved alignment…' : 'Building ortho…');
  startPolling();
}

function startPolling() {
  const token = ++pollToken;
  poll(token);
}
async function poll(token) {
  if (token !== pollToken) return;
  let j;
  try {
    j = await api.job(S.logNext);
  } catch (e) {
    if (token === pollToken) setTimeout(() => poll(token), 1000);
    return;
  }
  if (token !== pollToken) return;
  const next = isNum(j.next) ? j.next : S.logNext;
  if (next < S.logNext) {  // the job was replaced (another window): read it from the start
    clearLog();
    S.logNext = 0;
    shown = 0;
    setTimeout(() => poll(token), 0);
    return;
  }
  S.logNext = next;
  appendLog(Array.isArray(j.lines) ? j.lines.map(x => (x === null || x === undefined ? '' : String(x))) : []);
  const state = typeof j.state === 'string' ? j.state : 'idle';
  const progress = progressOf(j.progress);
  drawRing(progress);
  drawPipe(j.stage, progress, state);
  showElapsed(j.elapsed);
  if (state === 'running') {
    document.title = Math.round(progress * 100) + '% · tessaly';
    setTimeout(() => poll(token), POLL_MS);
    return;
  }
  setRunning(false);
  if (state === 'done') {
    const rep = j.report && typeof j.report === 'object' ? j.report : null;
    if (rep) {
      S.reportPath = reportPathOf(rep);
      if (S.reportPath) store.put('tsl.lastreport', S.reportPath);
      loadResult(rep);
      switchTab('result');
    }
    const sz = rep && Array.isArray(rep.size_px) ? rep.size_px : [];
    toast('Done in ' + fx(j.elapsed, 0) + ' s · ' + fx(sz[0], 0) + '×' + fx(sz[1], 0) + ' px');
  } else if (state === 'error') {
    toast(j.error !== null && j.error !== undefined && j.error !== '' ? String(j.error) : 'Failed', true);
    switchTab('log');
  } else if (state === 'cancelled') {
    toast('Cancelled');
  }
}

export function cancelBuild() { api.cancel().catch(e => toast(e.message, true)); }

// ---- new project -----------------------------------------------------------------------------
let armTimer = 0;
// The first click arms the button; the second, within 3 s, empties the page (settings are kept).
export async function newProject() {
  const b = $('bNew');
  if (!b.classList.contains('armed')) {
    b.classList.add('armed');
    b.textContent = 'Click again to clear';
    armTimer = setTimeout(disarm, 3000);
    return;
  }
  disarm();
  try { await api.reset(); } catch (e) { toast(e.message, true); return; }
  for (const k of ['input', 'meta_from', 'bounds', 'exclude']) delete S.set[k];
  S.set.output = null;
  saveSet();
  S.scan = null; S.report = null; S.reportPath = null; S.sel = null; S.excluded = new Set();
  store.del('tsl.lastreport');
  clearLog();
  S.logNext = 0;
  emit('cleared');
  $('bRerender').hidden = true;
  refreshTabCounts();
  drawPipe(0, 0, 'idle');
  showElapsed(0);
  refreshAll();
  updateCmd();
  switchTab('flight');
  toast('New project — viewport cleared, settings kept');
}
function disarm() {
  clearTimeout(armTimer);
  const b = $('bNew');
  b.classList.remove('armed');
  b.textContent = '✚ New project';
}

// At start-up: a build started earlier (another window, a reload) is followed from its first line.
export async function resumeJob() {
  try {
    const j = await api.job(0);
    if (j.state === 'running') {
      setRunning(true);
      shown = 0;
      clearLog();  // the build's lines from its first, without a scan's in front
      drawRing(progressOf(j.progress));
      S.logNext = 0;
      startPolling();
    }
  } catch (e) { /* no job to pick up */ }
}
