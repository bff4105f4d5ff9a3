// The Performance view: the server's load samples (CPU, memory, GPU, the job), the stage
// timings, the last five minutes as sparklines, and the disk cache with its clearing.
import * as api from './api.js';
import {on} from './events.js';
import {toast} from './shell.js';
import {S, accRgb} from './state.js';
import {$, card, clamp, fd, fitCanvas, h, isNum, numOr} from './util.js';

const GB = 2 ** 30;
const gb = v => (isNum(v) ? (v / GB).toFixed(1) : '–');
const P = {built: false, cacheTimer: 0};
// [title, figure, unit, line, bar percentage] per card.
function perfCards(s, st, timings) {
  const q = v => (v === undefined || v === null ? '?' : v);
  const per = (a, b) => (isNum(a) && isNum(b) && b > 0 ? 100 * a / b : null);
  const rows = [];
  rows.push(['CPU', isNum(s.cpu) ? String(Math.round(s.cpu)) : '–', '%',
    q(st.cores_logical) + ' threads · ' + q(st.cores_physical) + ' cores · ' + q(st.workers) + ' workers', s.cpu]);
  rows.push(['RAM', gb(s.ram), '/ ' + gb(st.ram_total) + ' GB', 'tessaly ' + gb(s.rss) + ' GB · ' + q(s.threads) + ' threads',
    per(s.ram, st.ram_total)]);
  rows.push(['GPU', isNum(s.gpu) ? String(Math.round(s.gpu)) : '–', '%', st.gpu_name ? String(st.gpu_name) : 'no NVIDIA GPU detected', s.gpu]);
  const gc = s.gpu_cache && typeof s.gpu_cache === 'object' ? s.gpu_cache : {};
  const vr = isNum(s.vram) && isNum(s.vram_total);
  rows.push(['VRAM', vr ? (s.vram / 1024).toFixed(1) : '–', vr ? '/ ' + (s.vram_total / 1024).toFixed(1) + ' GB' : '',
    numOr(gc.resident_images, 0) + ' images resident · ' + numOr(gc.resident_mb, 0) + ' MB', per(s.vram, s.vram_total)]);
  rows.push(['GPU temp / power', isNum(s.gpu_temp) ? String(Math.round(s.gpu_temp)) : '–', '°C',
    isNum(s.gpu_power) ? s.gpu_power.toFixed(0) + ' W · ' + q(s.gpu_clock) + ' MHz' : '', s.gpu_temp]);
  let job = '';
  const prog = isNum(s.progress) ? s.progress * 100 : 0;
  if (s.state === 'running') job = 'stage ' + q(s.stage) + '/6 · ' + Math.round(prog) + '%';
  else if (timings && typeof timings === 'object') {
    const sum = Object.values(timings).filter(isNum).reduce((a, b) => a + b, 0);
    job = 'last build ' + sum.toFixed(0) + ' s';
  }
  rows.push(['Job', s.state ? String(s.state) : 'idle', '', job, prog]);
  return rows;
}
function buildPerf() {
  const v = $('v-perf');
  const spark = (id, title) => h('div', {class: 'wide'}, h('h3', {}, title), h('canvas', {id}));
  const clr = h('button', {title: 'Delete all cached features and decoded DNGs (all projects)', onclick: clearCache}, 'Clear disk cache');
  v.replaceChildren(h('div', {class: 'cards', id: 'perfCards'}),
    h('div', {class: 'wide'}, h('h3', {}, 'CPU per logical core'), h('div', {class: 'cores', id: 'perfCores'})),
    h('div', {class: 'wide'}, h('h3', {id: 'stgHead'}, 'Pipeline stages'), h('div', {id: 'perfStages'})),
    h('div', {class: 'two'}, spark('spCpu', 'CPU and GPU load, last 5 min'), spark('spMem', 'Memory, last 5 min')),
    h('div', {class: 'wide'}, h('h3', {}, 'Disk cache: features and DNG decodes'),
      h('div', {class: 'row'}, h('span', {id: 'cacheLine', class: 'grow'}, '–'), clr)),
    h('div', {class: 'wide notes', id: 'perfNotes'}));
  P.built = true;
}
// Replaces an element's children only when what they show changed: the view is redrawn every
// second during a build, and rebuilding unchanged cards made the page stutter.
function sync(el, key, build) {
  if (el.dataset.key === key) return;
  el.dataset.key = key;
  el.replaceChildren(...build());
}
function renderPerf() {
  if (!P.built) buildPerf();
  const pr = S.perf && typeof S.perf === 'object' ? S.perf : {};
  const st = pr.static && typeof pr.static === 'object' ? pr.static : {};
  const s = S.samples[S.samples.length - 1] || {};
  const cards = perfCards(s, st, pr.timings).map(([t, big, unit, line, bar]) => [t, big, unit, line, clamp(numOr(bar, 0), 0, 100).toFixed(1)]);
  const box = $('perfCards');
  if (box.children.length !== cards.length) box.replaceChildren(...cards.map(() => h('div', {class: 'rc'})));
  cards.forEach((row, i) => {
    const key = JSON.stringify(row), old = box.children[i];
    if (old.dataset.key === key) return;
    const [t, big, unit, line, bar] = row;
    const c = card(t, big, unit, line);
    const pb = h('div', {class: 'pb'});
    pb.style.width = bar + '%';
    c.append(pb);
    c.dataset.key = key;
    old.replaceWith(c);
  });
  const cores = Array.isArray(s.cores) ? s.cores : [];
  const coreBox = $('perfCores');
  if (coreBox.children.length !== cores.length) {
    coreBox.replaceChildren(...cores.map((c, i) => h('div', {class: 'cb', title: 'core ' + i}, h('div', {class: 'bar'}), h('span', {class: 'lb'}))));
  }
  cores.forEach((c, i) => {
    const cb = coreBox.children[i], height = clamp(numOr(c, 0), 0, 100) + '%', text = i + ' ' + fd(c, 0) + '%';
    if (cb.firstChild.style.height !== height) cb.firstChild.style.height = height;
    if (cb.lastChild.textContent !== text) cb.lastChild.textContent = text;
  });
  let rows = Array.isArray(pr.live_stage_times) && pr.live_stage_times.length
    ? pr.live_stage_times.map(x => [String(x && x.stage), numOr(x && x.dur, 0)])
    : pr.timings && typeof pr.timings === 'object' ? Object.entries(pr.timings).map(([k, x]) => [k, numOr(x, 0)]) : [];
  const total = rows.reduce((a, r) => a + r[1], 0);
  const head = 'Pipeline stages' + (rows.length ? ' · ' + total.toFixed(1) + ' s total' : '');
  if ($('stgHead').textContent !== head) $('stgHead').textContent = head;
  const running = s.state === 'running';
  const shownRows = rows.map(([n, d]) => [n, d.toFixed(1), (total > 0 ? 100 * d / total : 0).toFixed(1)]);
  sync($('perfStages'), JSON.stringify([running, shownRows]), () => (shownRows.length ? shownRows.map(([n, d, w], i) => {
    const bar = h('div', {class: 'bar'});
    bar.style.width = w + '%';
    return h('div', {class: 'stg' + (running && i === rows.length - 1 ? ' run' : '')}, h('span', {class: 'n'}, n),
      h('div', {}, bar), h('span', {class: 'd'}, d + ' s'));
  }) : [h('div', {class: 'ln'}, 'No build yet.')]));
  const ramT = st.ram_total;
  const per = (a, b) => (isNum(a) && isNum(b) && b > 0 ? 100 * a / b : null);
  const acc = 'rgb(' + accRgb().join(',') + ')';
  sparkline($('spCpu'), [[S.samples.map(x => (isNum(x.cpu) ? x.cpu : null)), acc],
                         [S.samples.map(x => (isNum(x.gpu) ? x.gpu : null)), '#8fc9ff']]);
  sparkline($('spMem'), [[S.samples.map(x => per(x.ram, ramT)), '#c6ccd3'],
                         [S.samples.map(x => per(x.vram, x.vram_total)), '#f0c674'],
                         [S.samples.map(x => per(x.rss, ramT)), acc]]);
  const w = st.workers ?? '?';
  if (!$('perfNotes').childElementCount || $('perfNotes').dataset.w !== String(w)) {
    $('perfNotes').dataset.w = String(w);
    $('perfNotes').replaceChildren(
      h('p', {}, 'Native engine: feature extraction, matching, dense optical flow and rendering run on ', h('b', {}, String(w)),
        ' worker threads (all logical cores but one).'),
      h('p', {}, 'Bundle adjustment uses an analytic Jacobian with an exact Schur-complement solver. This build renders on the CPU — CUDA comes in a later release.'),
      h('p', {}, 'Tune under ', h('b', {}, 'Performance'), ' in the left panel: CPU threads, image cache, render block height, projection grid.'));
  }
}
// 300 one-second slots, the newest at the right edge; null leaves a gap.
function sparkline(cv, lines) {
  if (!cv.clientWidth) return;
  const [ctx, w, hh] = fitCanvas(cv);
  ctx.clearRect(0, 0, w, hh);
  const L = 34, T = 6, B = 6, ph = hh - T - B, pw = w - L - 4;
  ctx.font = '10px system-ui, sans-serif'; ctx.fillStyle = '#9ba4af'; ctx.textAlign = 'right';
  ctx.strokeStyle = 'rgba(255,255,255,0.08)'; ctx.lineWidth = 1;
  for (const v of [0, 50, 100]) {
    const y = Math.round(T + ph * (1 - v / 100)) + 0.5;
    ctx.beginPath(); ctx.moveTo(L, y); ctx.lineTo(w - 4, y); ctx.stroke();
    ctx.fillText(v + '%', L - 5, y + 3);
  }
  ctx.textAlign = 'start';
  const X = i => L + pw * i / 299, Y = v => T + ph * (1 - clamp(v, 0, 100) / 100);
  for (const [vals, colour] of lines) {
    const off = 300 - vals.length;
    const segs = [];
    let cur = null;
    vals.forEach((v, i) => {
      if (v === null) { cur = null; return; }
      if (!cur) { cur = []; segs.push(cur); }
      cur.push([X(off + i), Y(v)]);
    });
    for (const sg of segs) {
      ctx.beginPath();
      sg.forEach(([x, y], i) => (i ? ctx.lineTo(x, y) : ctx.moveTo(x, y)));
      ctx.strokeStyle = colour; ctx.lineWidth = 1.5; ctx.stroke();
      ctx.lineTo(sg[sg.length - 1][0], T + ph); ctx.lineTo(sg[0][0], T + ph); ctx.closePath();
      ctx.globalAlpha = 0.12; ctx.fillStyle = colour; ctx.fill(); ctx.globalAlpha = 1;
    }
  }
}
async function loadCache() {
  let c;
  try { c = await api.cache(); } catch (e) { return; }  // the line stays as it was
  const el = $('cacheLine');
  if (!el) return;
  if (c.enabled === false) { el.replaceChildren('off'); return; }
  el.replaceChildren(h('b', {}, fd(c.gb, 2) + ' GB'), ' in ' + (c.files ?? '–') + ' files · ' + (c.hits ?? '–') + ' hits / ' +
    (c.misses ?? '–') + ' misses this build · ', h('span', {class: 'mono'}, String(c.dir ?? '')));
}
function cacheLoop() {
  clearTimeout(P.cacheTimer);
  P.cacheTimer = setTimeout(() => {
    if (S.tab !== 'perf') return;
    loadCache().finally(cacheLoop);
  }, 5000);
}
async function clearCache() {
  try {
    const r = await api.cacheClear();
    if (r.ok === false) toast('Cache: ' + String(r.error ?? 'not all files removed'), true);
    else toast('Disk cache cleared');
  } catch (e) { toast('Cache: ' + e.message, true); }
  loadCache();
}

on('init', () => {
  buildPerf();
  setTimeout(loadCache, 1500);
});
on('tab', id => {
  if (id !== 'perf') return;
  renderPerf();
  loadCache();
  cacheLoop();
});
on('perf', () => { if (S.tab === 'perf') renderPerf(); });
