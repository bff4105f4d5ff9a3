// The page's shell: toasts, the tabs, the pipeline bar, the progress ring and the running
// state, the badges, and the performance loop that runs whatever view is shown.
import * as api from './api.js';
import {emit, on} from './events.js';
import {S} from './state.js';
import {$, clamp, fx, h, isNum} from './util.js';

export const TABS = [['flight', 'Flight'], ['result', 'Result'], ['images', 'Images'], ['report', 'Report'],
                     ['log', 'Log'], ['perf', 'Performance']];
const PIPE = ['Metadata', 'Features', 'Matching', 'Adjust', 'Colour', 'Render'];
// The progress spans of the six stages, as the server's stage table has them.
const SPANS = [null, [0, 0.05], [0.05, 0.35], [0.35, 0.5], [0.5, 0.62], [0.62, 0.64], [0.64, 1]];
const PERF_KEPT = 300;

let toastTimer = 0;
let toastSeq = 0;
export function toast(msg, err) {
  const t = $('toast');
  t.textContent = String(msg);
  t.className = err ? 'err' : '';
  t.hidden = false;
  clearTimeout(toastTimer);
  // The time runs from the first frame that shows the message, so work that holds the page
  // right after it (a result loading) does not use the message up unseen.
  const shown = ++toastSeq;
  requestAnimationFrame(() => requestAnimationFrame(() => {
    if (shown === toastSeq) toastTimer = setTimeout(() => { t.hidden = true; }, 2800);
  }));
}

// ---- tabs ------------------------------------------------------------------------------------
export function buildTabs() {
  const bar = $('tabs');
  for (const [id, name] of TABS) {
    bar.append(h('button', {class: 'tab', role: 'tab', 'data-tab': id, onclick: () => switchTab(id)},
      name, h('span', {class: 'c'})));
  }
}
export function switchTab(id) {
  S.tab = id;
  for (const b of $('tabs').children) b.classList.toggle('on', b.dataset.tab === id);
  for (const [t] of TABS) $('v-' + t).hidden = t !== id;
  if (id === 'log') { const v = $('v-log'); v.scrollTop = v.scrollHeight; }
  emit('tab', id);
}
function setTabCount(id, text) {
  const b = document.querySelector('.tab[data-tab="' + id + '"] .c');
  if (b) b.textContent = text;
}
export function refreshTabCounts() {
  const n = S.scan && Array.isArray(S.scan.shots) ? String(S.scan.shots.length) : '';
  setTabCount('flight', n);
  setTabCount('images', n);
  setTabCount('log', S.logLines.length ? String(S.logLines.length) : '');
}
on('scanned', refreshTabCounts);

// ---- pipeline bar, ring, running state -------------------------------------------------------
export function buildPipe() {
  $('pipe').replaceChildren(...PIPE.map((n, i) => h('div', {class: 'chip', 'data-k': i + 1},
    h('div', {class: 'f'}), h('span', {}, n))));
}
export function drawPipe(stage, progress, state) {
  const st = isNum(stage) ? stage : 0, p = isNum(progress) ? progress : 0;
  for (const chip of $('pipe').children) {
    const k = Number(chip.dataset.k), [a, b] = SPANS[k];
    const done = state === 'done' || st > k;
    const active = !done && st === k && state === 'running';
    chip.className = 'chip' + (done ? ' done' : active ? ' active' : '');
    chip.firstChild.style.width = active ? (100 * clamp((p - a) / (b - a), 0, 1)).toFixed(1) + '%' : '0';
    chip.lastChild.textContent = (done ? '✓ ' : '') + PIPE[k - 1];
  }
}
export function drawRing(progress) {
  const c = $('ring').querySelector('.fgc'), len = 2 * Math.PI * 16, p = isNum(progress) ? clamp(progress, 0, 1) : 0;
  c.style.strokeDasharray = len.toFixed(2);
  c.style.strokeDashoffset = (len * (1 - p)).toFixed(2);
  $('ringTxt').textContent = isNum(progress) ? Math.round(progress * 100) + '%' : '-';
}
export function setRunning(on) {
  S.running = on;
  $('ring').hidden = !on;
  $('bCancel').hidden = !on;
  $('bBuild').disabled = on;
  $('bRerender').disabled = on;
  if (!on) document.title = 'tessaly studio';
}
export function showElapsed(e) { $('elapsed').textContent = e === 0 || e === undefined ? '' : fx(e, 0) + ' s'; }

// ---- badges, performance loop ----------------------------------------------------------------
export function renderBadges() {
  const i = S.info, bs = [];
  if (i.gpu) bs.push(h('span', {class: 'badge hi'}, '⚡ ' + String(i.gpu)));
  else bs.push(h('span', {class: 'badge'}, 'CPU · ' + (isNum(i.cpu) ? i.cpu : '-') + ' threads'));
  if (i.engine === 'native') bs.push(h('span', {class: 'badge'}, 'Native'));
  bs.push(h('span', {class: 'badge' + (i.rawpy === true ? ' hi' : '')}, 'DNG'));
  $('badges').replaceChildren(...bs);
  $('sys').textContent = 'v' + (i.version === undefined || i.version === null ? '?' : String(i.version)) + ' · native';
}

// Once a second from page start to page close: the newest samples, kept like the server's.
// A failed request is retried at the next turn.
export async function perfLoop() {
  try {
    let r = null;
    try { r = await api.perf(S.perfLast); } catch (e) { return; }
    S.perf = r;
    const ss = Array.isArray(r.samples) ? r.samples : [];
    if (ss.length) {
      S.samples = S.samples.concat(ss).slice(-PERF_KEPT);
      const t = ss[ss.length - 1].t;
      if (isNum(t)) S.perfLast = t;
    }
    const last = S.samples[S.samples.length - 1];
    if (last) setTabCount('perf', (isNum(last.cpu) ? Math.round(last.cpu) : 0) + '%');
    emit('perf');
  } finally {
    setTimeout(perfLoop, 1000);
  }
}
