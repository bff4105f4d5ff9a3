// The Report view: the loaded build's figures (alignment, output, terrain, lens
// self-calibration, time), per-shot corrections and gains, the diagnostics export and the
// output files.
import * as api from './api.js';
import {on} from './events.js';
import {toast} from './shell.js';
import {S, accRgb} from './state.js';
import {$, card, fd, fitCanvas, h, isNum, rgba} from './util.js';

const thousands = v => String(Math.round(v)).replace(/\B(?=(\d{3})+(?!\d))/g, ',');
const signed4 = v => (v >= 0 ? '+' : '') + v.toFixed(4);
const noTif = p => String(p).replace(/\.tif$/i, '');
function reportCards(r) {
  const adj = r.adjustment && typeof r.adjustment === 'object' ? r.adjustment : {};
  const cards = [];
  cards.push(card('Seam accuracy', isNum(adj.tie_median_m) ? (adj.tie_median_m * 100).toFixed(1) : '–', 'cm',
    'median tie residual · RMS ' + (isNum(adj.tie_rms_m) ? (adj.tie_rms_m * 100).toFixed(1) + ' cm' : '–')));
  const pm = Array.isArray(adj.pairs_matched) ? adj.pairs_matched : null;
  let ties = pm && isNum(pm[0]) && isNum(pm[1]) ? pm[0] + ' / ' + pm[1] + ' pairs matched'
    : (Array.isArray(r.tie_pairs) ? r.tie_pairs.length : 0) + ' connected pairs';
  if (adj.dense_pairs !== undefined && adj.dense_pairs !== null) ties += ' · dense flow on ' + adj.dense_pairs + ' pairs';
  cards.push(card('Tie points', isNum(adj.tie_points) ? thousands(adj.tie_points) : '–', '', ties));
  const un = Array.isArray(adj.unconnected) ? adj.unconnected.map(String) : null;
  const noTies = !isNum(adj.tie_points) || adj.tie_points === 0;
  cards.push(card('Unaligned images', un ? String(un.length) : '–', '',
    un && un.length ? un.slice(0, 3).join(', ') : noTies ? 'alignment skipped (metadata only)' : 'all images tied',
    un && un.length ? {class: 'rc bad'} : null));
  const sz = Array.isArray(r.size_px) ? r.size_px : [];
  cards.push(card('Output', isNum(sz[0]) && isNum(sz[1]) ? (sz[0] * sz[1] / 1e6).toFixed(0) : '–', 'MP',
    fd(sz[0], 0) + ' × ' + fd(sz[1], 0) + ' @ ' + (isNum(r.gsd_m) ? (r.gsd_m * 100).toFixed(2) : '–') + ' cm'));
  const sf = r.surface && typeof r.surface === 'object' ? r.surface : {};
  if (sf.kind === 'dsm') {
    const shp = Array.isArray(sf.shape) ? sf.shape : [];
    cards.push(card('Terrain model', fd(sf.relief_m, 2), 'm relief',
      'DSM ' + fd(shp[1], 0) + '×' + fd(shp[0], 0) + ' @ ' + fd(sf.cell_m, 2) + ' m'));
  } else {
    cards.push(card('Ground plane', fd(r.ground_z, 2), 'm', 'relative to take-off'));
  }
  const cams = r.selfcal && typeof r.selfcal === 'object' ? Object.keys(r.selfcal) : [];
  const terms = cams.length && Array.isArray(r.selfcal[cams[0]]) ? r.selfcal[cams[0]].map(x => (isNum(x) ? x : 0)) : [];
  // The lens is keyed by camera, or is the one camera's own record.
  const lensRec = r.lens && typeof r.lens === 'object' ? (cams.length && r.lens[cams[0]] && typeof r.lens[cams[0]] === 'object' ? r.lens[cams[0]] : r.lens) : {};
  const fxCam = isNum(lensRec.fx) ? lensRec.fx : null;
  const on = terms.some(x => x !== 0);
  const t = i => (isNum(terms[i]) ? terms[i] : 0);
  cards.push(card('Lens self-cal', on ? signed4(t(0)) + ' ' + signed4(t(1)) : 'off', '',
    terms.length > 2 ? 'k1 k2 · centre ' + (fxCam === null ? '–' : (t(2) * fxCam).toFixed(1)) + ', ' +
      (fxCam === null ? '–' : (t(3) * fxCam).toFixed(1)) + ' px · tang. ' + (t(4) * 1000).toFixed(2) + ', ' +
      (t(5) * 1000).toFixed(2) + ' ‰' : 'extra radial k1 k2'));
  cards.push(card('Time', fd(r.seconds, 0), 's', (r.images ?? '–') + ' images · EPSG:' + (r.epsg ?? '?')));
  return cards;
}
// One bar per shot, scaled to the largest value, with grid lines at thirds.
function barChart(cv, values, unit) {
  if (!cv.clientWidth) return;
  const [ctx, w, hh] = fitCanvas(cv);
  ctx.clearRect(0, 0, w, hh);
  const top = Math.max(...values.filter(isNum), 0);
  const L = 52, T = 8, B = 14, ph = hh - T - B, pw = w - L - 6;
  ctx.font = '10px system-ui, sans-serif'; ctx.fillStyle = '#9ba4af'; ctx.textAlign = 'right';
  ctx.strokeStyle = 'rgba(255,255,255,0.08)'; ctx.lineWidth = 1;
  for (let i = 0; i <= 3; i++) {
    const y = Math.round(T + ph - ph * i / 3) + 0.5;
    ctx.beginPath(); ctx.moveTo(L, y); ctx.lineTo(w - 6, y); ctx.stroke();
    ctx.fillText((top * i / 3).toFixed(2) + ' ' + unit, L - 5, y + 3);
  }
  ctx.textAlign = 'start';
  if (!values.length || !(top > 0)) return;
  const acc = accRgb(), bw = pw / values.length;
  values.forEach((v, i) => {
    if (!isNum(v)) return;
    const bh = ph * v / top;
    ctx.fillStyle = rgba(acc, (0.2 + 0.75 * v / top).toFixed(3));
    ctx.fillRect(L + i * bw + bw * 0.12, T + ph - bh, Math.max(1, bw * 0.76), bh);
  });
}
function gainChart(cv, gains) {
  if (!cv.clientWidth) return;
  const [ctx, w, hh] = fitCanvas(cv);
  ctx.clearRect(0, 0, w, hh);
  const all = gains.flat().filter(isNum);
  const lo = Math.min(...all, 0.9), hi = Math.max(...all, 1.1);
  const L = 40, T = 8, B = 10, ph = hh - T - B, pw = w - L - 8;
  const Y = v => T + ph * (hi - v) / (hi - lo);
  const X = i => L + (gains.length > 1 ? pw * i / (gains.length - 1) : pw / 2);
  ctx.font = '10px system-ui, sans-serif'; ctx.fillStyle = '#9ba4af'; ctx.textAlign = 'right';
  for (const v of [hi, 1, lo]) ctx.fillText(v.toFixed(2), L - 5, Y(v) + 3);
  ctx.textAlign = 'start';
  ctx.setLineDash([4, 4]); ctx.strokeStyle = 'rgba(255,255,255,0.3)';
  ctx.beginPath(); ctx.moveTo(L, Y(1)); ctx.lineTo(w - 8, Y(1)); ctx.stroke(); ctx.setLineDash([]);
  ['#ff6b6b', '#7fdc9a', '#6fa8ff'].forEach((c, k) => {
    ctx.strokeStyle = c; ctx.lineWidth = 1.5; ctx.beginPath();
    let pen = false;
    gains.forEach((g, i) => {
      const v = Array.isArray(g) ? g[k] : null;
      if (!isNum(v)) { pen = false; return; }
      if (pen) ctx.lineTo(X(i), Y(v)); else ctx.moveTo(X(i), Y(v));
      pen = true;
    });
    ctx.stroke();
  });
}
function outputFiles(r) {
  const base = typeof r.output === 'string' ? noTif(r.output) : null;
  const rows = [];
  if (typeof r.output === 'string') rows.push([r.output, 'GeoTIFF · RGBA · tiled · deflate']);
  if (base !== null) rows.push([base + '.tfw', 'World file']);
  if (typeof r.preview === 'string') rows.push([r.preview, 'Preview JPG']);
  if (base !== null && typeof r.surface_file === 'string' && r.surface_file) rows.push([base + '_dsm.tif', 'Elevation model (DSM GeoTIFF, float32)']);
  if (base !== null) rows.push([base + '_report.json', 'Report (poses, gains, lens) — re-render source']);
  return rows;
}
const reveal = p => api.reveal(p).catch(e => toast(e.message, true));
function renderReport() {
  const b = $('reportBody');
  const r = S.report;
  if (!r) { b.className = 'note'; b.replaceChildren('No report yet'); return; }
  b.className = '';
  const cvPos = h('canvas', {id: 'chPos'}), cvRot = h('canvas', {id: 'chRot'}), cvGain = h('canvas', {id: 'chGain'});
  const diagBtn = h('button', {id: 'bDiag'}, '⇩ Export diagnostics');
  const diagRes = h('div', {class: 'res', id: 'diagRes'});
  diagBtn.addEventListener('click', () => exportDiagnostics(diagBtn, diagRes));
  const files = h('div', {class: 'files', id: 'outFiles'}, outputFiles(r).map(([p, d]) =>
    h('div', {class: 'fr'}, h('span', {class: 'p mono'}, p), h('span', {class: 'd'}, d), h('button', {title: 'Show file', onclick: () => reveal(p)}, '↗'))));
  b.replaceChildren(h('div', {class: 'cards', id: 'repCards'}, reportCards(r)),
    h('div', {class: 'two'},
      h('div', {class: 'wide'}, h('h3', {}, 'Position correction per image'), cvPos),
      h('div', {class: 'wide'}, h('h3', {}, 'Rotation correction per image'), cvRot)),
    h('div', {class: 'wide'}, h('h3', {}, 'Colour gains per image (R, G, B)'), cvGain),
    h('div', {class: 'wide diag'}, h('h3', {}, 'Diagnostics bundle'),
      h('div', {class: 'ln'}, 'One zip with report, log, DSM, seam analysis (optical flow between neighbouring frames) and every frame at 2048 px with its metadata — send this when something doesn\'t align.'),
      h('div', {class: 'row'}, diagBtn), diagRes),
    h('div', {class: 'wide'}, h('h3', {}, 'Output files'), files));
  drawReportCharts();
}
function drawReportCharts() {
  const r = S.report;
  if (!r || !$('chPos')) return;
  const shots = Array.isArray(r.shots) ? r.shots.filter(s => s && typeof s === 'object') : [];
  barChart($('chPos'), shots.map(s => s.pos_corr), 'm');
  barChart($('chRot'), shots.map(s => s.rot_corr), 'deg');
  gainChart($('chGain'), shots.map(s => s.gain));
}
async function exportDiagnostics(btn, out) {
  const r = S.report;
  if (!r || typeof r.output !== 'string') return;
  btn.disabled = true;
  out.replaceChildren(h('span', {class: 'spin small'}), ' Analysing seams…');
  let j;
  try {
    j = await api.diagnostics(noTif(r.output) + '_report.json');
  } catch (e) {
    out.textContent = '';
    toast(e.message, true);
    return;
  } finally {
    btn.disabled = false;
  }
  const sm = j.seams && typeof j.seams === 'object' ? j.seams : {};
  const name = String(j.path ?? '').split(/[\\/]/).pop();
  out.textContent = name + ' · ' + (j.size_mb ?? '–') + ' MB · seams median ' + fd(sm.median_cm, 1) + ' cm (sequence ' +
    fd(sm.sequence_median_cm, 1) + ', side ' + fd(sm.side_median_cm, 1) + ', frame edges ' + fd(sm.edge_median_cm, 1) + ')';
  if (typeof j.path === 'string') reveal(j.path);
  toast('Diagnostics bundle written');
}

on('init', renderReport);
on('result', renderReport);
on('tab', id => { if (id === 'report') renderReport(); });
on('cleared', renderReport);
