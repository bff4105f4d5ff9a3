// The Result view: the build's preview re-finished in the browser (exposure, white balance,
// saturation, contrast) with its histogram, compare modes and white-balance tools, and the live
// re-render of the visible part or a preview area (POST /api/preview) laid over it.
import * as api from './api.js';
import {emit, on} from './events.js';
import {LIVE_FINISH, LIVE_KEYS} from './settings_table.js';
import {setVal, updateCmd} from './settings_form.js';
import {switchTab, toast} from './shell.js';
import {S, accRgb, reportPathOf, val} from './state.js';
import {$, MAP_BG, canvasOf, clamp, dpr, fitCanvas, h, isNum, numOr, rgba} from './util.js';

// sRGB decoding of every 8-bit value, and the encoding sampled at 4096 steps.
const LIN = new Float64Array(256);
for (let i = 0; i < 256; i++) { const x = i / 255; LIN[i] = x <= 0.04045 ? x / 12.92 : ((x + 0.055) / 1.055) ** 2.4; }
const ENC = new Uint8Array(4097);
for (let j = 0; j <= 4096; j++) {
  const x = j / 4096;
  ENC[j] = Math.round(255 * (x <= 0.0031308 ? 12.92 * x : 1.055 * x ** (1 / 2.4) - 0.055));
}
function contrastTable(c) {
  const t = new Uint8Array(256);
  for (let i = 0; i < 256; i++) {
    let y = i / 255;
    if (c > 0) y = y + c * (y * y * (3 - 2 * y) - y);
    else if (c < 0) y = 0.5 + (y - 0.5) * (1 + 0.6 * c);
    t[i] = Math.round(255 * clamp(y, 0, 1));
  }
  return t;
}
// NaN lands on 0 like a negative value.
const encIdx = x => (x > 0 ? (x >= 1 ? 4096 : Math.floor(x * 4096)) : 0);
function wbOf() {
  const w = val('wb');
  return Array.isArray(w) && w.length === 3 && w.every(isNum) ? w : [1, 1, 1];
}
// Finishes RGBA `src` into `out` (same size): exposure relative to ev0, white balance,
// saturation, sRGB encoding and contrast. Alpha comes from `alpha` (RGBA, its fourth byte), or
// is opaque without one. With saturation 1 each channel is independent and goes through one
// 256-entry table per channel.
function finishPixels(src, alpha, out, ev0) {
  const ev = numOr(val('ev'), 0), wb = wbOf(), sat = numOr(val('saturation'), 1), con = numOr(val('contrast'), 0);
  const k = 2 ** (ev - ev0), f = [wb[0] * k, wb[1] * k, wb[2] * k];
  const CT = contrastTable(con), n = src.length;
  if (sat === 1) {
    const L = [0, 1, 2].map(c => { const t = new Uint8Array(256); for (let i = 0; i < 256; i++) t[i] = CT[ENC[encIdx(LIN[i] * f[c])]]; return t; });
    const [L0, L1, L2] = L;
    for (let p = 0; p < n; p += 4) {
      out[p] = L0[src[p]]; out[p + 1] = L1[src[p + 1]]; out[p + 2] = L2[src[p + 2]];
      out[p + 3] = alpha ? alpha[p + 3] : 255;
    }
    return;
  }
  const T = [0, 1, 2].map(c => { const t = new Float64Array(256); for (let i = 0; i < 256; i++) t[i] = LIN[i] * f[c]; return t; });
  const [T0, T1, T2] = T;
  for (let p = 0; p < n; p += 4) {
    const r = T0[src[p]], g = T1[src[p + 1]], b = T2[src[p + 2]];
    const l = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    out[p] = CT[ENC[encIdx(l + sat * (r - l))]];
    out[p + 1] = CT[ENC[encIdx(l + sat * (g - l))]];
    out[p + 2] = CT[ENC[encIdx(l + sat * (b - l))]];
    out[p + 3] = alpha ? alpha[p + 3] : 255;
  }
}
function histogram(px, mask) {
  const bins = [new Uint32Array(256), new Uint32Array(256), new Uint32Array(256)];
  let n = 0, hot = 0, dark = 0;
  for (let p = 0; p < px.length; p += 4) {
    if (mask && mask[p] <= 128) continue;
    const r = px[p], g = px[p + 1], b = px[p + 2];
    bins[0][r]++; bins[1][g]++; bins[2][b]++; n++;
    if (r > 253 || g > 253 || b > 253) hot++;
    if (r < 2 && g < 2 && b < 2) dark++;
  }
  return {bins, n, clipped: n ? hot / n : 0, crushed: n ? dark / n : 0};
}

const CLIENT = Date.now().toString(36) + '-' + Math.random().toString(36).slice(2, 10);
const R = {
  loaded: false, W: 0, H: 0, neutral: null, mask: null, finished: null, cvFin: null, cvNeu: null, cvMask: null,
  s: 1, ox: 0, oy: 0, mode: 'after', split: 0.5, picking: false, area: false, box: null, paoi: null,
  tile: null, seq: 0, last: null, dirty: false, pending: false, live: true, needFit: false, timer: 0,
  drag: null, raf: 0, refRaf: 0, hist: null, ev0: 0, finishMs: 0, token: 0, requests: 0,
};
const MODES = [['after', 'Finished'], ['split', 'Split'], ['before', 'Neutral'], ['mask', 'Coverage']];

let checkerPat = null;
function checker(ctx, x, y, w, hh) {
  if (!checkerPat) {
    const c = canvasOf(16, 16), g = c.getContext('2d');
    g.fillStyle = '#0a0c0f'; g.fillRect(0, 0, 16, 16);
    g.fillStyle = '#060709'; g.fillRect(8, 0, 8, 8); g.fillRect(0, 8, 8, 8);
    checkerPat = ctx.createPattern(c, 'repeat');
  }
  ctx.fillStyle = checkerPat;
  ctx.fillRect(x, y, w, hh);
}
// Metres per working-preview pixel, and the export's top-left corner in UTM.
function geo() {
  const r = S.report || {};
  const k = Array.isArray(r.size_px) && isNum(r.size_px[0]) && R.W ? r.size_px[0] / R.W : 1;
  const o = Array.isArray(r.origin_utm) ? r.origin_utm : [];
  return {k, g: numOr(r.gsd_m, 1) * k, e0: numOr(o[0], 0), n0: numOr(o[1], 0)};
}
function utmToView(e, n) { const q = geo(); return [R.ox + (e - q.e0) / q.g * R.s, R.oy + (q.n0 - n) / q.g * R.s]; }
function viewToUtm(x, y) { const q = geo(); return [q.e0 + (x - R.ox) / R.s * q.g, q.n0 - (y - R.oy) / R.s * q.g]; }

function buildViewer() {
  const t = $('rvTools');
  const seg = h('div', {class: 'seg', id: 'rvModes'});
  for (const [m, label] of MODES) seg.append(h('button', {'data-m': m, onclick: () => setMode(m)}, label));
  const liveCb = h('input', {type: 'checkbox', id: 'liveCb'});
  liveCb.checked = R.live;
  liveCb.addEventListener('change', () => setLive(liveCb.checked));
  t.replaceChildren(seg,
    h('button', {id: 'bPick', title: 'Click a neutral grey/white surface to set white balance', onclick: armPicker}, '◎ Neutral picker'),
    h('button', {id: 'bAutoWb', title: 'Grey-world white balance from the whole mosaic', onclick: autoWb}, 'Auto WB'),
    h('button', {id: 'bAutoEv', title: 'Expose mosaic mid-tones to 18 % grey', onclick: autoEv}, 'Auto EV'),
    h('label', {class: 'tog', title: 'Re-render the visible area / AOI in real time with the solved alignment when blend or ground-model settings change or when you zoom in past the preview resolution'},
      liveCb, h('span', {class: 'sw'}), h('span', {class: 'l'}, 'Live')),
    h('button', {id: 'bAoi', title: 'Drag a preview area of interest — live renders only this area (fastest)', onclick: toggleArea}, '▭ AOI'),
    h('button', {id: 'bExportAoi', hidden: true, title: 'Use the preview AOI as the export area (--bounds)', onclick: exportArea}, '→ Export area'),
    h('button', {id: 'bClearAoi', hidden: true, title: 'Drop the preview area', onclick: clearPaoi}, '✕'),
    h('button', {id: 'bFit', onclick: () => { fitViewer(); paintSoon(); schedule('view'); }}, 'Fit'),
    h('button', {id: 'b11', onclick: oneToOne}, '1:1'),
    h('div', {id: 'liveBadge', hidden: true}, h('span', {class: 'dot'}), h('span', {class: 't'})));
  markMode();
  wireViewer();
}
function markMode() {
  for (const b of $('rvModes').children) b.classList.toggle('on', b.dataset.m === R.mode);
  $('bPick').classList.toggle('on', R.picking);
  $('bAoi').classList.toggle('on', R.area);
}
function setMode(m) { R.mode = m; markMode(); paintSoon(); }
function setBadge(kind, text) {
  const b = $('liveBadge');
  b.hidden = !S.report;
  b.className = kind;
  b.lastChild.textContent = text;
}
function setLive(on) {
  R.live = on;
  if (on) {
    R.last = null;
    setBadge('', 'live');
    // The 'param' timing without marking the preview dirty: switching Live on changes no setting.
    scheduleAfter(120);
  } else {
    clearTimeout(R.timer);
    R.tile = null;
    paintSoon();
    setBadge('', 'live off');
  }
}

function fitViewer() {
  const cv = $('rvCv'), w = cv.clientWidth, hh = cv.clientHeight;
  if (!R.W || !w || !hh) return false;
  R.s = Math.min((w - 40) / R.W, (hh - 40) / R.H);
  R.ox = (w - R.W * R.s) / 2;
  R.oy = (hh - R.H * R.s) / 2;
  return true;
}
function oneToOne() {
  const cv = $('rvCv'), cx = cv.clientWidth / 2, cy = cv.clientHeight / 2;
  const ix = (cx - R.ox) / R.s, iy = (cy - R.oy) / R.s;
  R.s = 1 / dpr();
  R.ox = cx - ix * R.s; R.oy = cy - iy * R.s;
  paintSoon();
  schedule('view');
  const k = geo().k;
  if (k > 1.01) toast('Preview is ' + k.toFixed(1) + '× smaller than the GeoTIFF — open the .tif for true 1:1');
}

function paintSoon() {
  if (R.raf) return;
  R.raf = requestAnimationFrame(() => { R.raf = 0; paintResult(); });
}
function drawTile(ctx, neutral) {
  const t = R.tile;
  if (!t) return;
  const [x0, y0] = utmToView(t.E0, t.N0), [x1, y1] = utmToView(t.E0 + t.W * t.gsd, t.N0 - t.H * t.gsd);
  // The tile has its own resolution, so it is smoothed by its own on-screen scale.
  const keep = ctx.imageSmoothingEnabled;
  ctx.imageSmoothingEnabled = (x1 - x0) / t.W < 2;
  ctx.drawImage(neutral ? t.cvNeu : t.cvFin, x0, y0, x1 - x0, y1 - y0);
  ctx.imageSmoothingEnabled = keep;
}
function paintResult() {
  const cv = $('rvCv');
  if (!cv.clientWidth || !cv.clientHeight) return;
  const [ctx, w, hh] = fitCanvas(cv);
  ctx.fillStyle = MAP_BG;
  ctx.fillRect(0, 0, w, hh);
  if (!R.loaded) return;
  const iw = R.W * R.s, ih = R.H * R.s;
  checker(ctx, R.ox, R.oy, iw, ih);
  ctx.imageSmoothingEnabled = R.s < 2;
  const layer = neutral => {
    ctx.drawImage(neutral ? R.cvNeu : R.cvFin, R.ox, R.oy, iw, ih);
    drawTile(ctx, neutral);
  };
  if (R.mode === 'mask') {
    if (R.cvMask) ctx.drawImage(R.cvMask, R.ox, R.oy, iw, ih);
    else { ctx.fillStyle = '#ffffff'; ctx.fillRect(R.ox, R.oy, iw, ih); }
  } else layer(R.mode === 'before');
  const dx = clamp(R.split, 0.02, 0.98) * w;
  if (R.mode === 'split') {
    ctx.save();
    ctx.beginPath(); ctx.rect(0, 0, dx, hh); ctx.clip();
    ctx.fillStyle = MAP_BG; ctx.fillRect(0, 0, dx, hh);
    checker(ctx, R.ox, R.oy, iw, ih);
    layer(true);
    ctx.restore();
  }
  const acc = accRgb();
  const box = R.box || R.paoi;
  if (box) {
    const [x0, y0] = utmToView(box[0], box[3]), [x1, y1] = utmToView(box[2], box[1]);
    ctx.setLineDash([6, 4]); ctx.strokeStyle = rgba(acc, 1); ctx.lineWidth = 1.5;
    ctx.strokeRect(x0, y0, x1 - x0, y1 - y0); ctx.setLineDash([]);
    ctx.fillStyle = rgba(acc, 1); ctx.font = '600 11px system-ui, sans-serif';
    ctx.fillText('PREVIEW AOI ' + (box[2] - box[0]).toFixed(1) + ' × ' + (box[3] - box[1]).toFixed(1) + ' m', x0 + 4, y0 - 6);
  }
  if (R.mode === 'split') {
    ctx.strokeStyle = '#ffffff'; ctx.lineWidth = 2;
    ctx.beginPath(); ctx.moveTo(dx, 0); ctx.lineTo(dx, hh); ctx.stroke();
    ctx.fillStyle = '#ffffff';
    ctx.beginPath(); ctx.arc(dx, hh / 2, 7, 0, 2 * Math.PI); ctx.fill();
    ctx.font = '600 11px system-ui, sans-serif';
    ctx.textAlign = 'right'; ctx.fillText('NEUTRAL', dx - 12, hh - 58);
    ctx.textAlign = 'left'; ctx.fillText('FINISHED', dx + 12, hh - 58);
    ctx.textAlign = 'start';
  }
}

function toCanvas(pixels, w, hh) {
  const c = canvasOf(w, hh);
  c.getContext('2d').putImageData(new ImageData(pixels, w, hh), 0, 0);
  return c;
}
// Re-finishes the preview and the live tile from their neutral pixels and repaints.
function refinish() {
  if (!R.loaded) return;
  const t0 = performance.now();
  finishPixels(R.neutral, R.mask, R.finished, R.ev0);
  R.cvFin.getContext('2d').putImageData(new ImageData(R.finished, R.W, R.H), 0, 0);
  R.finishMs = performance.now() - t0;
  R.hist = histogram(R.finished, R.mask);
  drawHist();
  if (R.tile) finishTile(R.tile);
  paintResult();
}
function finishTile(t) {
  finishPixels(t.neutral, t.neutral, t.finished, 0);
  t.cvFin.getContext('2d').putImageData(new ImageData(t.finished, t.W, t.H), 0, 0);
}
function refinishSoon() {
  if (R.refRaf) return;
  R.refRaf = requestAnimationFrame(() => { R.refRaf = 0; refinish(); });
}
function drawHist() {
  const cv = $('histCv'), hs = R.hist;
  if (!hs || !cv.clientWidth) return;
  const [ctx, w, hh] = fitCanvas(cv);
  ctx.clearRect(0, 0, w, hh);
  let top = 1;
  for (const b of hs.bins) for (let i = 3; i <= 252; i++) top = Math.max(top, b[i]);
  ctx.globalCompositeOperation = 'lighter';
  ['rgba(255,80,80,0.55)', 'rgba(80,220,110,0.55)', 'rgba(90,140,255,0.55)'].forEach((c, k) => {
    ctx.fillStyle = c;
    ctx.beginPath(); ctx.moveTo(0, hh);
    for (let i = 0; i < 256; i++) ctx.lineTo(i / 255 * w, hh - Math.min(1, hs.bins[k][i] / top) * (hh - 2));
    ctx.lineTo(w, hh); ctx.closePath(); ctx.fill();
  });
  ctx.globalCompositeOperation = 'source-over';
  const hot = hs.clipped * 100;
  $('histKv').replaceChildren(
    h('span', {class: 'k'}, 'Clipped highlights'), h('span', {class: 'v' + (hot > 0.5 ? ' hot' : '')}, hot.toFixed(2) + ' %'),
    h('span', {class: 'k'}, 'Crushed shadows'), h('span', {class: 'v'}, (hs.crushed * 100).toFixed(2) + ' %'));
}

// An image file decoded off the main thread (a large preview decoded when first drawn froze
// the page for seconds), scaled there too when `fit` gives a longest side.
async function loadImg(path, fit) {
  const r = await fetch(api.fileUrl(path));
  if (!r.ok) throw new Error(path);
  const bmp = await createImageBitmap(await r.blob());
  const f = fit ? Math.min(1, fit / Math.max(bmp.width, bmp.height, 1)) : 1;
  if (f >= 1) return bmp;
  const w = Math.max(1, Math.round(bmp.width * f)), hh = Math.max(1, Math.round(bmp.height * f));
  const small = await createImageBitmap(bmp, {resizeWidth: w, resizeHeight: hh, resizeQuality: 'high'});
  bmp.close();
  return small;
}
function pixelsOf(im, w, hh) {
  const c = canvasOf(w, hh), g = c.getContext('2d', {willReadFrequently: true});
  g.drawImage(im, 0, 0, w, hh);
  return g.getImageData(0, 0, w, hh).data;
}
const MAX_SIDE = 2560;  // longest side of the pictures the viewer finishes
async function viewerLoad(rep) {
  const tok = ++R.token;
  clearTimeout(R.timer);
  R.tile = null; R.dirty = false; R.last = null; R.paoi = null; R.box = null; R.pending = false;
  showAoiButtons(false);
  R.ev0 = rep.finish && isNum(rep.finish.ev) ? rep.finish.ev : 0;
  setBadge('', R.live ? 'live' : 'live off');
  if (typeof rep.preview !== 'string' || !rep.preview) {
    // The pictures of an earlier result must not stand in for this one.
    if (R.loaded) { viewerReset(); emit('ortho', null); }
    return;
  }
  const base = rep.preview.replace(/\.jpg$/i, '');
  const [neu, mask, prev] = await Promise.allSettled([loadImg(base + '_neutral.jpg', MAX_SIDE), loadImg(base + '_mask.png', MAX_SIDE), loadImg(rep.preview)]);
  if (tok !== R.token) return;
  emit('ortho', prev.status === 'fulfilled' ? prev.value : null);
  if (neu.status === 'fulfilled') {
    const im = neu.value;
    R.W = im.width;
    R.H = im.height;
    R.neutral = pixelsOf(im, R.W, R.H);
    R.mask = null;
    if (mask.status === 'fulfilled') {
      const m = pixelsOf(mask.value, R.W, R.H);
      for (let p = 0; p < m.length; p += 4) { const v = m[p]; m[p + 1] = v; m[p + 2] = v; m[p + 3] = v; }
      R.mask = m;
    }
    const nm = new Uint8ClampedArray(R.neutral);
    if (R.mask) for (let p = 3; p < nm.length; p += 4) nm[p] = R.mask[p];
    R.cvNeu = toCanvas(nm, R.W, R.H);
    R.cvMask = R.mask ? toCanvas(new Uint8ClampedArray(R.mask), R.W, R.H) : null;
    R.finished = new Uint8ClampedArray(R.neutral.length);
    R.cvFin = canvasOf(R.W, R.H);
    R.loaded = true;
    $('resultEmpty').hidden = true;
    $('rv').hidden = false;
    refinish();
    R.needFit = !(S.tab === 'result' && fitViewer());
    paintResult();
  } else {
    toast('Preview not found: ' + (neu.reason && neu.reason.message ? neu.reason.message : base + '_neutral.jpg'), true);
  }
  emit('result');
}
function viewerReset() {
  R.token++;
  clearTimeout(R.timer);
  Object.assign(R, {loaded: false, W: 0, H: 0, neutral: null, mask: null, finished: null, cvFin: null, cvNeu: null,
    cvMask: null, tile: null, paoi: null, box: null, last: null, dirty: false, pending: false, hist: null, picking: false, area: false});
  showAoiButtons(false);
  markMode();
  $('rv').hidden = true;
  $('resultEmpty').hidden = false;
  $('liveBadge').hidden = true;
  $('rvCoords').textContent = '';
}
function showAoiButtons(on) { $('bExportAoi').hidden = !on; $('bClearAoi').hidden = !on; }

// ---- white balance and exposure tools ---------------------------------------------------------
const r3 = x => Math.round(x * 1000) / 1000;
const wbClamp = x => r3(clamp(x, 0.4, 2.2));
function armPicker() {
  if (!R.loaded) return;
  R.picking = !R.picking;
  markMode();
  if (R.picking) toast('Click a neutral grey or white surface (limestone, concrete, road marking)');
}
function pickAt(px, py) {
  if (px < 3 || py < 3 || px >= R.W - 3 || py >= R.H - 3) return;
  let r = 0, g = 0, b = 0;
  for (let y = py - 3; y <= py + 3; y++) for (let x = px - 3; x <= px + 3; x++) {
    const p = 4 * (y * R.W + x);
    r += LIN[R.neutral[p]]; g += LIN[R.neutral[p + 1]]; b += LIN[R.neutral[p + 2]];
  }
  if (!(r > 0 && b > 0)) return;
  R.picking = false;
  markMode();
  setVal('wb', [wbClamp(g / r), 1, wbClamp(g / b)]);
  toast('White balance set from picked neutral');
}
// Means of the linear neutral pixels times the current white balance, over every fourth
// well-covered pixel.
function meanLin() {
  if (!R.loaded) return null;
  const wb = wbOf(), px = R.neutral, m = R.mask;
  let r = 0, g = 0, b = 0, n = 0;
  for (let p = 0; p < px.length; p += 16) {
    if (m && m[p] < 200) continue;
    r += LIN[px[p]]; g += LIN[px[p + 1]]; b += LIN[px[p + 2]]; n++;
  }
  return n ? [r / n * wb[0], g / n * wb[1], b / n * wb[2]] : null;
}
function autoWb() {
  const m = meanLin();
  if (!m || !(m[0] > 0 && m[2] > 0)) return;
  const wb = wbOf();
  setVal('wb', [wbClamp(wb[0] * m[1] / m[0]), wb[1], wbClamp(wb[2] * m[1] / m[2])]);
  toast('Grey-world white balance applied');
}
function autoEv() {
  const m = meanLin();
  if (!m) return;
  const l = 0.2126 * m[0] + 0.7152 * m[1] + 0.0722 * m[2];
  if (!(l > 0)) return;
  setVal('ev', Math.round(clamp(R.ev0 + Math.log2(0.18 / l), -3, 3) * 100) / 100);
  toast('Mid-tones set to 18 % grey');
}

// ---- preview area ----------------------------------------------------------------------------
function toggleArea() {
  if (!R.loaded) return;
  R.area = !R.area;
  markMode();
  if (R.area) toast('Drag the preview area of interest (or Shift+drag any time)');
}
function exportArea() {
  if (!R.paoi) return;
  const r2 = v => Math.round(v * 100) / 100;
  setVal('bounds', R.paoi.map(r2));
  toast('Export area set — Re-render to export just this area');
}
function clearPaoi() {
  R.paoi = null; R.tile = null; R.last = null;
  showAoiButtons(false);
  paintSoon();
  schedule('view');
}

// ---- viewer interaction ----------------------------------------------------------------------
function rvPos(ev) { const r = $('rvCv').getBoundingClientRect(); return [ev.clientX - r.left, ev.clientY - r.top]; }
function wireViewer() {
  const cv = $('rvCv');
  cv.addEventListener('wheel', ev => {
    if (!R.loaded) return;
    ev.preventDefault();
    const [x, y] = rvPos(ev), f = Math.exp(-0.0015 * ev.deltaY);
    const ix = (x - R.ox) / R.s, iy = (y - R.oy) / R.s;
    R.s *= f; R.ox = x - ix * R.s; R.oy = y - iy * R.s;
    paintSoon();
    if (!R.paoi) schedule('view');
  }, {passive: false});
  cv.addEventListener('mousedown', ev => {
    if (!R.loaded || ev.button !== 0) return;
    ev.preventDefault();
    const [x, y] = rvPos(ev);
    if (R.picking) { pickAt(Math.floor((x - R.ox) / R.s), Math.floor((y - R.oy) / R.s)); return; }
    const dx = clamp(R.split, 0.02, 0.98) * cv.clientWidth;
    let kind = 'pan';
    if (R.mode === 'split' && Math.abs(x - dx) <= 8) kind = 'split';
    else if (R.area || ev.shiftKey) kind = 'box';
    R.drag = {kind, x, y, ox: R.ox, oy: R.oy, moved: 0};
  });
  window.addEventListener('mousemove', ev => {
    const d = R.drag;
    if (!d) return;
    const [x, y] = rvPos(ev);
    d.moved = Math.abs(x - d.x) + Math.abs(y - d.y);
    if (d.kind === 'split') R.split = clamp(x / cv.clientWidth, 0.02, 0.98);
    else if (d.kind === 'box') {
      const [e0, n0] = viewToUtm(d.x, d.y), [e1, n1] = viewToUtm(x, y);
      R.box = [Math.min(e0, e1), Math.min(n0, n1), Math.max(e0, e1), Math.max(n0, n1)];
    } else { R.ox = d.ox + x - d.x; R.oy = d.oy + y - d.y; }
    paintSoon();
  });
  window.addEventListener('mouseup', () => {
    const d = R.drag;
    if (!d) return;
    R.drag = null;
    if (d.kind === 'box') {
      const b = R.box;
      R.box = null;
      if (b && b[2] - b[0] > 0.5 && b[3] - b[1] > 0.5) {
        R.paoi = b;
        showAoiButtons(true);
        R.last = null;
        R.area = false;
        markMode();
        schedule('aoi');
      }
      paintSoon();
    } else if (d.kind === 'pan' && d.moved > 0 && !R.paoi) schedule('view');
  });
  cv.addEventListener('mousemove', ev => {
    if (!R.loaded) return;
    const [x, y] = rvPos(ev);
    const px = Math.floor((x - R.ox) / R.s), py = Math.floor((y - R.oy) / R.s);
    if (px < 0 || py < 0 || px >= R.W || py >= R.H) { $('rvCoords').textContent = ''; return; }
    const q = geo(), p = 4 * (py * R.W + px);
    $('rvCoords').textContent = 'E ' + (q.e0 + (px + 0.5) * q.g).toFixed(2) + '  N ' + (q.n0 - (py + 0.5) * q.g).toFixed(2) +
      '  · px ' + Math.round(px * q.k) + ', ' + Math.round(py * q.k) +
      '  · RGB ' + R.finished[p] + ' ' + R.finished[p + 1] + ' ' + R.finished[p + 2];
  });
  cv.addEventListener('mouseleave', () => { $('rvCoords').textContent = ''; });
  new ResizeObserver(() => {
    if (R.needFit && R.loaded && fitViewer()) R.needFit = false;
    paintResult();
    drawHist();
  }).observe($('rv'));
}

// ---- live re-render --------------------------------------------------------------------------
function schedule(reason) {
  if (!S.report || !R.loaded || !R.live) return;
  if (reason === 'param') R.dirty = true;
  scheduleAfter(reason === 'param' ? 120 : 280);
}
function scheduleAfter(ms) {
  if (!S.report || !R.loaded || !R.live) return;
  clearTimeout(R.timer);
  R.timer = setTimeout(liveRender, ms);
}
async function liveRender() {
  if (S.tab !== 'result') { R.pending = true; return; }
  const cv = $('rvCv'), vw = cv.clientWidth, vh = cv.clientHeight, r = dpr();
  let bounds, size;
  if (R.paoi) {
    bounds = R.paoi.slice();
    const [x0, y0] = utmToView(R.paoi[0], R.paoi[3]), [x1, y1] = utmToView(R.paoi[2], R.paoi[1]);
    size = Math.max(Math.abs(x1 - x0), Math.abs(y1 - y0)) * r;
  } else {
    if (!R.dirty && R.s < 1.05) {
      R.tile = null;
      paintSoon();
      setBadge('', 'live');
      return;
    }
    const rep = S.report, q = geo();
    const [e0, n1] = viewToUtm(0, 0), [e1, n0] = viewToUtm(vw, vh);
    const ew = numOr(rep.size_px && rep.size_px[0], 0) * numOr(rep.gsd_m, 0);
    const nh = numOr(rep.size_px && rep.size_px[1], 0) * numOr(rep.gsd_m, 0);
    bounds = [Math.max(e0, q.e0), Math.max(n0, q.n0 - nh), Math.min(e1, q.e0 + ew), Math.min(n1, q.n0)];
    if (!(bounds[2] > bounds[0] && bounds[3] > bounds[1])) return;
    size = Math.max(vw, vh) * r;
  }
  const maxPx = Math.round(clamp(size, 384, 2048));
  const body = {report: S.reportPath, bounds, max_px: maxPx};
  for (const k of LIVE_KEYS) body[k] = val(k) === undefined ? null : val(k);
  body.client = CLIENT;
  const text = JSON.stringify(body);
  if (text === R.last && R.tile) return;
  // Counted only for a request that goes out, so a skipped one never voids the reply in flight.
  const seq = ++R.seq;
  setBadge('busy', 'rendering…' + (R.dirty ? ' · ⟳ Re-render to apply' : ''));
  const sent = Object.assign({seq}, body);
  let res;
  try {
    R.requests++;
    res = await api.preview(sent);
  } catch (e) {
    if (seq === R.seq) setBadge('err', 'live error: ' + e.message);
    return;
  }
  if (!res) return;  // superseded by a newer request
  const meta = res.meta;
  if (!isNum(meta.seq) || meta.seq < R.seq) return;
  let bmp;
  try { bmp = await createImageBitmap(await res.reply.blob()); } catch (e) { setBadge('err', 'live error: ' + e.message); return; }
  // The result may have changed while the picture was on its way.
  if (!S.report || !R.loaded || seq !== R.seq || !R.live) return;
  const W = bmp.width, H = bmp.height;
  const c = canvasOf(W, H), g = c.getContext('2d', {willReadFrequently: true});
  g.drawImage(bmp, 0, 0);
  const t = {E0: numOr(meta.E0, 0), N0: numOr(meta.N0, 0), gsd: numOr(meta.gsd, 1), W, H, ms: numOr(meta.ms, 0), seq: meta.seq,
    neutral: g.getImageData(0, 0, W, H).data, finished: new Uint8ClampedArray(W * H * 4), cvNeu: c, cvFin: canvasOf(W, H)};
  finishTile(t);
  R.tile = t;
  R.last = text;
  paintResult();
  setBadge('on', 'live ' + W + '×' + H + ' · ' + (t.gsd * 100).toFixed(2) + ' cm/px · ' + t.ms + ' ms' +
    (R.dirty ? ' · preview ≠ export — ⟳ Re-render to apply' : ''));
}

// Loads a report as the current result; the promise ends when its pictures are loaded.
export function loadResult(rep) {
  S.report = rep && typeof rep === 'object' && !Array.isArray(rep) ? rep : null;
  if (!S.report) return Promise.resolve();
  $('bRerender').hidden = false;
  return viewerLoad(S.report);
}
// The report's path from the desktop's file dialog, or typed in where there is none.
async function reportPath() {
  try {
    return await api.pick('report');
  } catch (e) {
    const typed = window.prompt(e.message + '\n\nPath of the build report (…_report.json):', S.reportPath || '');
    return typed ? typed.trim() : '';
  }
}
async function openReport() {
  let rep;
  try {
    const p = await reportPath();
    if (!p) return;
    rep = await api.report(p);
  } catch (e) { toast(e.message, true); return; }
  const fin = rep && rep.finish && typeof rep.finish === 'object' ? rep.finish : {};
  for (const k of LIVE_FINISH) if (fin[k] !== undefined) setVal(k, fin[k], true);
  updateCmd();
  S.reportPath = reportPathOf(rep);
  loadResult(rep);
  switchTab('result');
}

// The F key in the Result view: true when there is a result to fit.
export function fitResultView() {
  if (S.tab !== 'result' || !R.loaded) return false;
  fitViewer();
  paintSoon();
  schedule('view');
  return true;
}

// The viewer's figures for the page's test interface; the pixel buffers are the view's own.
export function viewerFigures() {
  const t = R.tile;
  return {
    loaded: R.loaded, W: R.W, H: R.H, s: R.s, ox: R.ox, oy: R.oy, mode: R.mode, ev0: R.ev0, picking: R.picking,
    dirty: R.dirty, seq: R.seq, requests: R.requests, finishMs: R.finishMs, histN: R.hist ? R.hist.n : null,
    neutral: R.neutral, finished: R.finished, mask: R.mask,
    tile: t ? {W: t.W, H: t.H, gsd: t.gsd, ms: t.ms, E0: t.E0, N0: t.N0, seq: t.seq, finished: t.finished} : null,
  };
}

on('init', () => {
  buildViewer();
  for (const b of document.querySelectorAll('[data-act="openreport"]')) b.addEventListener('click', openReport);
});
on('tab', id => {
  if (id !== 'result') return;
  if (R.needFit && R.loaded && fitViewer()) R.needFit = false;
  paintResult();
  drawHist();
  if (R.pending) { R.pending = false; schedule('view'); }
});
on('setting', k => {
  if (LIVE_FINISH.includes(k)) refinishSoon();
  if (LIVE_KEYS.includes(k)) {
    // A blending or ground-model change: the preview no longer shows what the export holds.
    if (R.loaded) R.dirty = true;
    schedule('param');
  }
});
// Many settings at once (a preset, a reset): the keys that changed.
on('settings', keys => {
  refinishSoon();
  if (Array.isArray(keys) && keys.some(k => LIVE_KEYS.includes(k))) {
    if (R.loaded) R.dirty = true;
    schedule('param');
  }
});
on('cleared', viewerReset);
