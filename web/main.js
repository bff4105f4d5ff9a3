// The studio page's start-up: the settings and appearance from the browser's storage, the
// shell, the views (each builds itself on the "init" event), the keys, and then the inputs'
// scan, the last result and a build that already runs.
import * as api from './api.js';
import {applyTheme, loadTheme} from './appearance.js';
import {cancelBuild, newProject, resumeJob, startBuild} from './build.js';
import {emit} from './events.js';
import {fitMapView} from './flight_view.js';
import './images_view.js';
import './perf_view.js';
import './report_view.js';
import {fitResultView, loadResult} from './result_view.js';
import {scan} from './scan.js';
import {buildDrawers, buildPresets, buildRail, restoreDrawers, updateCmd} from './settings_form.js';
import {TABS, buildPipe, buildTabs, drawPipe, perfLoop, renderBadges, switchTab, toast} from './shell.js';
import {S, takeInfo, toggleExclude, val} from './state.js';
import {installTestApi} from './test_api.js';
import {$, copyText, store} from './util.js';

function typing(t) {
  if (!t || !t.tagName) return false;
  if (t.tagName === 'INPUT') return t.type !== 'range' && t.type !== 'checkbox' && t.type !== 'color';
  return t.tagName === 'TEXTAREA' || t.tagName === 'SELECT' || t.isContentEditable;
}
// Keys are ignored while typing in a field other than a slider.
function onKey(e) {
  if (typing(e.target)) return;
  if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) { e.preventDefault(); startBuild(false); return; }
  if (e.ctrlKey || e.metaKey || e.altKey) return;
  if (e.key === 'x' || e.key === 'X') { if (S.sel !== null) toggleExclude(S.sel); return; }
  if (e.key === 'f' || e.key === 'F') { if (!fitResultView()) fitMapView(); return; }
  const n = '123456'.indexOf(e.key);
  if (n >= 0 && e.key.length === 1) switchTab(TABS[n][0]);
}

// The server answers ready at once; while it says it is not, ask again once a second, at most
// 30 more times.
async function waitReady(tries) {
  if (S.info.ready !== false || tries >= 30) return;
  await new Promise(r => setTimeout(r, 1000));
  let i, read = false;
  try {
    i = await api.info();
    read = true;
  } catch (e) { /* next round */ }
  if (read) {
    takeInfo(i);
    renderBadges();
    emit('info');
  }
  waitReady(tries + 1);
}

async function start() {
  let info = {};
  try { info = await api.info(); } catch (e) { toast(e.message, true); }
  takeInfo(info);
  const s = store.json('tsl.set', {});
  S.set = s && typeof s === 'object' && !Array.isArray(s) ? s : {};
  loadTheme();
  applyTheme();
  restoreDrawers();
  buildRail();
  buildDrawers();
  renderBadges();
  buildTabs();
  buildPipe();
  drawPipe(0, 0, 'idle');
  buildPresets();
  switchTab('flight');
  emit('init');
  waitReady(0);

  $('bBuild').addEventListener('click', () => startBuild(false));
  $('bRerender').addEventListener('click', () => startBuild(true));
  $('bCancel').addEventListener('click', cancelBuild);
  $('bNew').addEventListener('click', newProject);
  $('cmd').addEventListener('click', () => copyText($('cmd').textContent).then(ok =>
    toast(ok ? 'Command line copied' : 'Copy failed', !ok)));
  document.addEventListener('keydown', onKey);
  perfLoop();
  updateCmd();

  const inp = val('input');
  if (Array.isArray(inp) && inp.length) scan().catch(() => {});

  const last = store.get('tsl.lastreport');
  if (last) {
    let rep, loaded = false;
    try {
      rep = await api.report(last);
      loaded = true;
    } catch (e) { store.del('tsl.lastreport'); }
    if (loaded) {
      S.reportPath = last;
      loadResult(rep);
    }
  }

  await resumeJob();
  document.body.dataset.ready = '1';
}

installTestApi();
start();
