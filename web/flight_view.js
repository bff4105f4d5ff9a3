// The Flight view: the map of every shot's camera and footprint with overlap heat and flight
// path (and, after a build, the ortho, the tie-point graph and the pose corrections), the
// layers panel, the flight checks ("Flight QA"), the inspector of one shot, and the empty,
// busy and failed states around a scan.
import * as api from './api.js';
import {on} from './events.js';
import {inputChanged, setVal} from './settings_form.js';
import {toast} from './shell.js';
import {S, accRgb, reportShot, selectShot, toggleExclude, val} from './state.js';
import {$, MAP_BG, clamp, ev2, fd, fitCanvas, h, isNum, mix, niceStep, rgba, shotsOf} from './util.js';

function flightPanel(which) {
  $('flightEmpty').hidden = which !== 'empty';
  $('flightBusy').hidden = which !== 'busy';
  $('flightFail').hidden = which !== 'fail';
  $('map').hidden = which !== 'map';
}

// The empty view's "Choose folder…": the folder becomes the input and is scanned.
async function chooseFolder() {
  let p;
  try { p = await api.pick('dir'); } catch (e) { toast(e.message, true); return; }
  if (!p) { toast('No folder chosen — paste the path in Source instead'); return; }
  setVal('input', [p]);
  inputChanged();
}

// ---- flight map ------------------------------------------------------------------------------
const RAMP0 = [64, 70, 82];  // steel grey, the colour ramp's low end
// The map view: scale s (screen px per metre) and offsets; the drag, the area being drawn, the
// ortho overlay image, the layers shown and the camera colouring.
const M = {s: 1, ox: 0, oy: 0, drag: null, box: null, ortho: null, opacity: 85, raf: 0, lastMs: 0, needFit: false,
  layers: {heat: true, fp: true, path: true, cams: true, ortho: true, vec: false, ties: false}, colorBy: 'alt', hover: null};
const COLOR_BY = [['alt', 'Alt', 'm'], ['seq', 'Time', '#'], ['exp', 'EV', 'EV'], ['corr', 'Corr', 'm']];
const LAYERS = [['heat', 'Overlap heat'], ['fp', 'Footprints'], ['path', 'Flight path'], ['cams', 'Cameras'],
                ['ortho', 'Ortho result'], ['vec', 'Correction vectors ×20'], ['ties', 'Tie-point graph']];

const mapX = e => M.ox + e * M.s;
const mapY = n => M.oy - n * M.s;
function origin() {
  const o = S.scan && Array.isArray(S.scan.origin) ? S.scan.origin : [];
  return [isNum(o[0]) ? o[0] : 0, isNum(o[1]) ? o[1] : 0];
}
const placed = s => isNum(s.E) && isNum(s.N);

function camValue(s) {
  switch (M.colorBy) {
    case 'seq': return isNum(s.seq) ? s.seq : 0;
    case 'exp': return ev2(s.exposure) ?? 0;
    case 'corr': { const r = reportShot(s.name); return r && isNum(r.pos_corr) ? r.pos_corr : 0; }
    default: return isNum(s.alt) ? s.alt : 0;
  }
}
function ramp(t) {
  const acc = accRgb();
  return t <= 0.6 ? mix(RAMP0, acc, t / 0.6) : mix(acc, [255, 255, 255], (t - 0.6) / 0.4);
}
function camRange(shots) {
  let lo = Infinity, hi = -Infinity;
  for (const s of shots) { const v = camValue(s); lo = Math.min(lo, v); hi = Math.max(hi, v); }
  return shots.length ? [lo, hi] : [0, 0];
}
const camT = (v, lo, hi) => (hi > lo ? (v - lo) / (hi - lo) : 0.5);

// Fits the box of all footprints into the view, beside the panels; false without a scan or a size.
function fitMap() {
  const cv = $('mapCv'), w = cv.clientWidth, hh = cv.clientHeight;
  let e0 = Infinity, e1 = -Infinity, n0 = Infinity, n1 = -Infinity;
  const take = (e, n) => {
    if (!isNum(e) || !isNum(n)) return;
    e0 = Math.min(e0, e); e1 = Math.max(e1, e); n0 = Math.min(n0, n); n1 = Math.max(n1, n);
  };
  const shots = shotsOf(S.scan);
  for (const s of shots) if (Array.isArray(s.fp)) for (const p of s.fp) if (Array.isArray(p)) take(p[0], p[1]);
  if (!(e1 >= e0)) for (const s of shots) take(s.E, s.N);
  if (!(e1 >= e0) || !w || !hh) return false;
  const bw = Math.max(e1 - e0, 1e-6), bh = Math.max(n1 - n0, 1e-6);
  M.s = Math.max(0.01, Math.min((w - 560) / bw, (hh - 80) / bh));
  M.ox = w / 2 - M.s * (e0 + e1) / 2;
  M.oy = hh / 2 + M.s * (n0 + n1) / 2;
  return true;
}

function polyPath(ctx, fp) {
  let first = true;
  for (const p of fp) {
    if (!Array.isArray(p) || !isNum(p[0]) || !isNum(p[1])) continue;
    if (first) ctx.moveTo(mapX(p[0]), mapY(p[1])); else ctx.lineTo(mapX(p[0]), mapY(p[1]));
    first = false;
  }
  ctx.closePath();
}
function drawMapSoon() {
  if (M.raf) return;
  M.raf = requestAnimationFrame(() => { M.raf = 0; drawMap(); });
}
function drawMap() {
  const cv = $('mapCv');
  if (!cv.clientWidth || !cv.clientHeight) return;
  const t0 = performance.now();
  const [ctx, w, hh] = fitCanvas(cv);
  const acc = accRgb();
  ctx.fillStyle = MAP_BG;
  ctx.fillRect(0, 0, w, hh);
  // grid
  const g = niceStep(110 / M.s);
  ctx.strokeStyle = 'rgba(255,255,255,0.045)';
  ctx.lineWidth = 1;
  ctx.beginPath();
  for (let e = Math.floor(-M.ox / M.s / g) * g; mapX(e) <= w; e += g) { const x = Math.round(mapX(e)) + 0.5; ctx.moveTo(x, 0); ctx.lineTo(x, hh); }
  for (let n = Math.floor((M.oy - hh) / M.s / g) * g; mapY(n) >= 0; n += g) { const y = Math.round(mapY(n)) + 0.5; ctx.moveTo(0, y); ctx.lineTo(w, y); }
  ctx.stroke();
  if (!S.scan) { M.lastMs = performance.now() - t0; return; }
  const [o0, o1] = origin();
  const shots = shotsOf(S.scan);
  const rep = S.report;
  // ortho
  if (M.layers.ortho && rep && M.ortho && Array.isArray(rep.origin_utm) && Array.isArray(rep.size_px) && isNum(rep.gsd_m)) {
    const e0 = rep.origin_utm[0] - o0, n0 = rep.origin_utm[1] - o1;
    const ew = rep.size_px[0] * rep.gsd_m, nh = rep.size_px[1] * rep.gsd_m;
    if ([e0, n0, ew, nh].every(isNum)) {
      ctx.globalAlpha = clamp(M.opacity, 0, 100) / 100;
      ctx.imageSmoothingEnabled = true;
      ctx.drawImage(M.ortho, mapX(e0), mapY(n0), ew * M.s, nh * M.s);
      ctx.globalAlpha = 1;
    }
  }
  // overlap heat: additive fills, so every extra layer of overlap glows brighter
  if (M.layers.heat) {
    ctx.globalCompositeOperation = 'lighter';
    ctx.fillStyle = 'rgba(70,88,118,0.15)';
    for (const s of shots) {
      if (S.excluded.has(s.name) || !Array.isArray(s.fp)) continue;
      ctx.beginPath(); polyPath(ctx, s.fp); ctx.fill();
    }
    ctx.globalCompositeOperation = 'source-over';
  }
  // footprints
  if (M.layers.fp) {
    ctx.lineWidth = 1;
    let selShot = null;
    for (const s of shots) {
      if (!Array.isArray(s.fp)) continue;
      if (s.name === S.sel) { selShot = s; continue; }
      ctx.strokeStyle = S.excluded.has(s.name) ? 'rgba(255,90,90,0.85)' : 'rgba(190,204,222,0.5)';
      ctx.beginPath(); polyPath(ctx, s.fp); ctx.stroke();
    }
    if (selShot) {
      ctx.beginPath(); polyPath(ctx, selShot.fp);
      ctx.fillStyle = rgba(acc, 0.1); ctx.fill();
      ctx.strokeStyle = S.excluded.has(selShot.name) ? 'rgba(255,90,90,0.95)' : rgba(acc, 1);
      ctx.lineWidth = 1.6; ctx.stroke(); ctx.lineWidth = 1;
    }
  }
  // flight path in capture order
  const bySeq = shots.filter(placed).sort((a, b) => (a.seq ?? 0) - (b.seq ?? 0));
  if (M.layers.path && bySeq.length) {
    ctx.setLineDash([5, 4]);
    ctx.strokeStyle = 'rgba(255,255,255,0.42)';
    ctx.lineWidth = 1.2;
    ctx.beginPath();
    bySeq.forEach((s, i) => (i ? ctx.lineTo(mapX(s.E), mapY(s.N)) : ctx.moveTo(mapX(s.E), mapY(s.N))));
    ctx.stroke();
    ctx.setLineDash([]);
    ctx.fillStyle = '#ffffff';
    ctx.font = '600 10.5px system-ui, sans-serif';
    ctx.fillText('START', mapX(bySeq[0].E) + 9, mapY(bySeq[0].N) - 9);
  }
  // tie-point graph between the report's shots
  if (M.layers.ties && rep && Array.isArray(rep.tie_pairs) && Array.isArray(rep.shots)) {
    let top = 1;
    for (const p of rep.tie_pairs) if (Array.isArray(p) && isNum(p[2])) top = Math.max(top, p[2]);
    ctx.lineWidth = 1.2;
    for (const p of rep.tie_pairs) {
      if (!Array.isArray(p)) continue;
      const a = rep.shots[p[0]], b = rep.shots[p[1]];
      if (!a || !b || ![a.E, a.N, b.E, b.N].every(isNum)) continue;
      ctx.strokeStyle = rgba(acc, (0.15 + 0.6 * (isNum(p[2]) ? p[2] : 0) / top).toFixed(3));
      ctx.beginPath();
      ctx.moveTo(mapX(a.E - o0), mapY(a.N - o1));
      ctx.lineTo(mapX(b.E - o0), mapY(b.N - o1));
      ctx.stroke();
    }
  }
  // pose corrections, exaggerated 20 times
  if (M.layers.vec && rep) {
    ctx.strokeStyle = '#7cf2c8'; ctx.fillStyle = '#7cf2c8'; ctx.lineWidth = 1.4;
    for (const s of shots) {
      const r = placed(s) ? reportShot(s.name) : null;
      if (!r || !isNum(r.E) || !isNum(r.N)) continue;
      const x0 = mapX(s.E), y0 = mapY(s.N);
      const x1 = mapX(s.E + 20 * (r.E - o0 - s.E)), y1 = mapY(s.N + 20 * (r.N - o1 - s.N));
      const len = Math.hypot(x1 - x0, y1 - y0);
      if (len < 0.5) continue;
      ctx.beginPath(); ctx.moveTo(x0, y0); ctx.lineTo(x1, y1); ctx.stroke();
      const a = Math.atan2(y1 - y0, x1 - x0), hl = Math.min(7, len * 0.5);
      ctx.beginPath();
      ctx.moveTo(x1, y1);
      ctx.lineTo(x1 - hl * Math.cos(a - 0.45), y1 - hl * Math.sin(a - 0.45));
      ctx.lineTo(x1 - hl * Math.cos(a + 0.45), y1 - hl * Math.sin(a + 0.45));
      ctx.closePath(); ctx.fill();
    }
  }
  // cameras
  if (M.layers.cams) {
    const incl = shots.filter(s => placed(s) && !S.excluded.has(s.name));
    const [lo, hi] = camRange(incl);
    for (const s of shots) {
      if (!placed(s)) continue;
      const x = mapX(s.E), y = mapY(s.N);
      if (S.excluded.has(s.name)) {
        ctx.strokeStyle = '#ff5a5a'; ctx.lineWidth = 2;
        ctx.beginPath(); ctx.moveTo(x - 4.5, y - 4.5); ctx.lineTo(x + 4.5, y + 4.5);
        ctx.moveTo(x + 4.5, y - 4.5); ctx.lineTo(x - 4.5, y + 4.5); ctx.stroke();
        continue;
      }
      const big = s.name === M.hover || s.name === S.sel;
      const r = big ? 6.5 : 4.2;
      const c = ramp(camT(camValue(s), lo, hi));
      if (isNum(s.yaw)) {
        const a = s.yaw * Math.PI / 180;
        ctx.strokeStyle = rgba(c, 0.9); ctx.lineWidth = 1.5;
        ctx.beginPath(); ctx.moveTo(x, y); ctx.lineTo(x + Math.sin(a) * (r + 6), y - Math.cos(a) * (r + 6)); ctx.stroke();
      }
      ctx.fillStyle = rgba(c, 1);
      ctx.beginPath(); ctx.arc(x, y, r, 0, 2 * Math.PI); ctx.fill();
      if (big) { ctx.strokeStyle = '#ffffff'; ctx.lineWidth = 1.5; ctx.stroke(); }
    }
  }
  // area of interest
  let box = M.box;
  const b = val('bounds');
  if (!box && Array.isArray(b) && b.length === 4 && b.every(isNum)) {
    box = [Math.min(b[0], b[2]) - o0, Math.min(b[1], b[3]) - o1, Math.max(b[0], b[2]) - o0, Math.max(b[1], b[3]) - o1];
  }
  if (box) {
    const x0 = mapX(box[0]), x1 = mapX(box[2]), y0 = mapY(box[3]), y1 = mapY(box[1]);
    ctx.fillStyle = 'rgba(0,0,0,0.5)';
    ctx.beginPath(); ctx.rect(0, 0, w, hh); ctx.rect(x0, y0, x1 - x0, y1 - y0); ctx.fill('evenodd');
    ctx.setLineDash([6, 4]); ctx.strokeStyle = rgba(acc, 1); ctx.lineWidth = 1.5;
    ctx.strokeRect(x0, y0, x1 - x0, y1 - y0); ctx.setLineDash([]);
    ctx.fillStyle = rgba(acc, 1); ctx.font = '600 11px system-ui, sans-serif';
    ctx.fillText('AOI ' + (box[2] - box[0]).toFixed(0) + ' × ' + (box[3] - box[1]).toFixed(0) + ' m', x0 + 4, y0 - 6);
  }
  // scale bar and north arrow
  const step = niceStep(140 / M.s), len = step * M.s, sx = 272, sy = hh - 50;
  ctx.strokeStyle = '#e8eaed'; ctx.fillStyle = '#e8eaed'; ctx.lineWidth = 2;
  ctx.beginPath(); ctx.moveTo(sx, sy - 5); ctx.lineTo(sx, sy); ctx.lineTo(sx + len, sy); ctx.lineTo(sx + len, sy - 5); ctx.stroke();
  ctx.font = '11px system-ui, sans-serif';
  ctx.fillText(step >= 1 ? +step.toFixed(6) + ' m' : Math.round(step * 100) + ' cm', sx + len + 6, sy + 3);
  const nx = w - 292, ny = 34;
  ctx.beginPath(); ctx.moveTo(nx, ny - 14); ctx.lineTo(nx + 6, ny + 4); ctx.lineTo(nx, ny); ctx.lineTo(nx - 6, ny + 4); ctx.closePath(); ctx.fill();
  ctx.font = '600 11px system-ui, sans-serif'; ctx.textAlign = 'center';
  ctx.fillText('N', nx, ny + 17); ctx.textAlign = 'start';
  M.lastMs = performance.now() - t0;
}

function nearestCam(x, y) {
  let best = null, bd = 14;
  for (const s of shotsOf(S.scan)) {
    if (!placed(s)) continue;
    const d = Math.hypot(mapX(s.E) - x, mapY(s.N) - y);
    if (d <= bd) { bd = d; best = s; }
  }
  return best;
}
const shotByName = name => shotsOf(S.scan).find(s => s.name === name) || null;

function mapPos(ev) { const r = $('mapCv').getBoundingClientRect(); return [ev.clientX - r.left, ev.clientY - r.top]; }
function wireMap() {
  const cv = $('mapCv');
  cv.addEventListener('wheel', ev => {
    ev.preventDefault();
    const [x, y] = mapPos(ev), f = Math.exp(-0.0015 * ev.deltaY);
    const e = (x - M.ox) / M.s, n = (M.oy - y) / M.s;
    M.s *= f; M.ox = x - e * M.s; M.oy = y + n * M.s;
    drawMapSoon();
  }, {passive: false});
  cv.addEventListener('mousedown', ev => {
    if (ev.button !== 0) return;
    const [x, y] = mapPos(ev);
    M.drag = {x, y, ox: M.ox, oy: M.oy, aoi: ev.shiftKey && !!S.scan, moved: 0};
    if (!M.drag.aoi) cv.classList.add('panning');
    ev.preventDefault();
  });
  window.addEventListener('mousemove', ev => {
    if (!M.drag) return;
    const [x, y] = mapPos(ev), d = M.drag;
    d.moved = Math.abs(x - d.x) + Math.abs(y - d.y);
    if (d.aoi) {
      const e0 = (d.x - M.ox) / M.s, n0 = (M.oy - d.y) / M.s, e1 = (x - M.ox) / M.s, n1 = (M.oy - y) / M.s;
      M.box = [Math.min(e0, e1), Math.min(n0, n1), Math.max(e0, e1), Math.max(n0, n1)];
    } else {
      M.ox = d.ox + x - d.x; M.oy = d.oy + y - d.y;
    }
    drawMapSoon();
  });
  window.addEventListener('mouseup', ev => {
    const d = M.drag;
    if (!d) return;
    M.drag = null;
    cv.classList.remove('panning');
    if (d.aoi) {
      const box = M.box;
      M.box = null;
      if (box && box[2] - box[0] > 1 && box[3] - box[1] > 1) {
        const [o0, o1] = origin(), r2 = v => Math.round(v * 100) / 100;
        setVal('bounds', [r2(box[0] + o0), r2(box[1] + o1), r2(box[2] + o0), r2(box[3] + o1)]);
      }
      drawMapSoon();
      return;
    }
    if (d.moved <= 3 && ev.target === cv) {
      const [x, y] = mapPos(ev);
      const s = nearestCam(x, y);
      selectShot(s ? s.name : null);
    }
  });
  cv.addEventListener('mousemove', ev => {
    const [x, y] = mapPos(ev);
    if (S.scan) {
      const [o0, o1] = origin(), zone = isNum(S.scan.zone) ? S.scan.zone : '?';
      $('mapCoords').textContent = 'E ' + ((x - M.ox) / M.s + o0).toFixed(2) + '  N ' + ((M.oy - y) / M.s + o1).toFixed(2) +
        '  · UTM ' + zone + (S.scan.south ? 'S' : 'N');
    }
    if (M.drag) return;
    const s = nearestCam(x, y), name = s ? s.name : null;
    if (name !== M.hover) { M.hover = name; drawMapSoon(); renderInspector(); }
  });
  cv.addEventListener('mouseleave', () => {
    if (M.hover !== null) { M.hover = null; drawMapSoon(); renderInspector(); }
  });
  cv.addEventListener('dblclick', ev => {
    const [x, y] = mapPos(ev);
    const s = nearestCam(x, y);
    if (s) toggleExclude(s.name);
  });
  // A scan that arrives while the Flight view is hidden is fitted once the view has a size.
  new ResizeObserver(() => {
    if (M.needFit && fitMap()) M.needFit = false;
    drawMap();
  }).observe($('map'));
}

// ---- layers panel ----------------------------------------------------------------------------
function buildLayers() {
  const p = $('layersPanel');
  p.replaceChildren(h('h3', {}, 'Layers'));
  for (const [k, label] of LAYERS) {
    const cb = h('input', {type: 'checkbox', 'data-layer': k});
    cb.checked = M.layers[k];
    cb.addEventListener('change', () => { M.layers[k] = cb.checked; drawMap(); });
    p.append(h('label', {class: 'tog'}, cb, h('span', {class: 'sw'}), h('span', {class: 'l'}, label)));
  }
  const r = h('input', {type: 'range', min: 0, max: 100, step: 1, id: 'orthoOpacity'});
  r.value = String(M.opacity);
  const v = h('span', {class: 'v'}, M.opacity + '%');
  r.addEventListener('input', () => { M.opacity = Number(r.value); v.textContent = M.opacity + '%'; drawMapSoon(); });
  p.append(h('div', {class: 'ctl'}, h('div', {class: 'lab'}, h('span', {class: 'l'}, 'Ortho opacity'), v), r));
  const seg = h('div', {class: 'seg', id: 'colorBy'});
  for (const [k, label] of COLOR_BY) {
    seg.append(h('button', {'data-c': k, class: M.colorBy === k ? 'on' : '', onclick: () => {
      M.colorBy = k;
      for (const b of seg.children) b.classList.toggle('on', b.dataset.c === k);
      renderLegend();
      drawMap();
    }}, label));
  }
  p.append(h('div', {class: 'ctl'}, h('div', {class: 'lab'}, h('span', {class: 'l'}, 'Colour cameras by')), seg,
    h('div', {class: 'legend', id: 'legend'})));
  p.append(h('div', {class: 'help'}, h('kbd', {}, 'Shift'), '+drag area of interest · click camera to inspect · ',
    h('kbd', {}, 'X'), ' exclude · ', h('kbd', {}, 'F'), ' fit'));
  renderLegend();
}
function renderLegend() {
  const el = $('legend');
  if (!el) return;
  const incl = shotsOf(S.scan).filter(s => placed(s) && !S.excluded.has(s.name));
  const [lo, hi] = camRange(incl);
  const [, label, unit] = COLOR_BY.find(c => c[0] === M.colorBy);
  const d = M.colorBy === 'seq' ? 0 : 1;
  const bar = h('div', {class: 'bar'});
  bar.style.background = 'linear-gradient(90deg, rgb(' + ramp(0).join(',') + '), rgb(' + ramp(0.6).join(',') +
    ') 60%, rgb(' + ramp(1).join(',') + '))';
  el.replaceChildren(bar, h('div', {class: 'ends'}, h('span', {}, fd(lo, d) + ' ' + unit), h('span', {}, label),
    h('span', {}, fd(hi, d) + ' ' + unit)));
}

// ---- flight checks ---------------------------------------------------------------------------
const pct = v => (isNum(v) ? Math.round(v * 100) + '%' : '–');
function flightWarnings(sc) {
  const st = sc && sc.stats ? sc.stats : {}, out = [];
  if (isNum(st.forward) && st.forward < 0.6) out.push('Forward overlap ' + pct(st.forward) + ' — 70 %+ recommended');
  if (isNum(st.side) && st.side < 0.5) out.push('Side overlap ' + pct(st.side) + ' — 60 %+ recommended');
  const sk = Array.isArray(sc && sc.skipped) ? sc.skipped.filter(Array.isArray) : [];
  if (sk.length) {
    const reasons = [...new Set(sk.map(x => String(x[1])))].slice(0, 3);
    out.push(sk.length + ' skipped: ' + reasons.join(', '));
  }
  return out;
}
function renderChecks() {
  const p = $('qaPanel'), sc = S.scan;
  if (!sc) { p.replaceChildren(); return; }
  const st = sc.stats && typeof sc.stats === 'object' ? sc.stats : {};
  const cam = sc.camera && typeof sc.camera === 'object' ? sc.camera : {};
  const shots = shotsOf(sc);
  const nEx = shots.filter(s => S.excluded.has(s.name)).length;
  const n = (isNum(st.n) ? st.n : shots.length) - nEx;
  const fig = (k, v) => h('div', {class: 'fig'}, h('div', {class: 'k'}, k), h('div', {class: 'v'}, v));
  const kv = h('div', {class: 'kv'});
  const row = (k, v) => kv.append(h('span', {class: 'k'}, k), h('span', {class: 'v'}, v));
  row('Camera', (cam.model ? String(cam.model) : '?') + ' · ' + fd(cam.W, 0) + '×' + fd(cam.H, 0));
  row('Focal', fd(cam.fx, 0) + ' px');
  row('Lens / vignette', String(cam.lens ?? '–') + ' / ' + String(cam.vignette ?? '–'));
  row('Pre-processed', cam.processed === true ? 'yes' : 'no');
  row('Altitude', fd(st.alt, 1) + ' m');
  row('Area', isNum(st.area_m2) ? (st.area_m2 / 10000).toFixed(2) + ' ha' : '–');
  row('Est. output', isNum(st.est_mpix) ? st.est_mpix.toFixed(0) + ' MP' : '–');
  row('CRS', 'EPSG:' + (sc.epsg ?? '?'));
  p.replaceChildren(h('h3', {}, 'Flight QA'),
    h('div', {class: 'figs'}, fig('Images', String(n)), fig('GSD', fd(st.gsd_cm, 2) + ' cm'),
      fig('Forward', pct(st.forward)), fig('Side', pct(st.side))),
    kv, h('div', {class: 'warns'}, flightWarnings(sc).map(w => h('div', {}, '⚠ ' + w))));
}

// ---- inspector -------------------------------------------------------------------------------
function renderInspector() {
  const p = $('insp');
  const name = M.hover ?? S.sel;
  const s = name === null ? null : shotByName(name);
  if (!s) { p.hidden = true; p.replaceChildren(); p.dataset.shot = ''; return; }
  p.hidden = false;
  const ex = S.excluded.has(s.name);
  const kv = h('div', {class: 'kv'});
  const row = (k, v) => kv.append(h('span', {class: 'k'}, k), h('span', {class: 'v'}, v));
  row('Rel. altitude', fd(s.alt, 1) + ' m');
  row('Gimbal yaw / pitch / roll', [s.yaw, s.pitch, s.roll].map(v => fd(v, 1) + '°').join(' / '));
  const e = ev2(s.exposure);
  row('Exposure', e === null ? '–' : e.toFixed(2) + ' EV');
  row('Time', s.time ? String(s.time) : '–');
  row('Lat / Lon', fd(s.lat, 6) + ' / ' + fd(s.lon, 6));
  if (s.meta) row('Metadata from', String(s.meta));
  const r = reportShot(s.name);
  if (r) {
    row('Pose correction', fd(r.pos_corr, 2) + ' m · ' + fd(r.rot_corr, 2) + '°');
    const g = Array.isArray(r.gain) ? r.gain : [];
    row('Colour gain', [0, 1, 2].map(i => fd(g[i], 3)).join(' / '));
  }
  // Keep the thumbnail element while the same shot stays shown, so hovering does not reload it.
  let img = p.querySelector('img');
  if (!img || p.dataset.shot !== s.path) {
    img = h('img', {alt: ''});
    if (typeof s.path === 'string') img.src = api.thumbUrl(s.path, 480);
  }
  p.dataset.shot = String(s.path);
  p.replaceChildren(h('h3', {}, (M.hover !== null ? 'Hover' : 'Selected') + ' · #' + (isNum(s.seq) ? s.seq + 1 : '?')),
    img, h('div', {class: 'nm'}, String(s.name)), kv,
    h('div', {class: 'btns'},
      h('button', {onclick: () => toggleExclude(s.name)}, ex ? 'Include' : 'Exclude', h('kbd', {}, 'X')),
      h('button', {onclick: () => api.reveal(s.path).catch(err => toast(err.message, true))}, 'Show file ↗')));
}

function mapReset() {
  S.sel = null; M.hover = null; M.ortho = null; M.box = null;
  $('insp').hidden = true;
  renderChecks();
  drawMap();
}
function onScanned() {
  if (S.sel !== null && !shotByName(S.sel)) S.sel = null;
  $('mapCoords').textContent = 'UTM ' + (isNum(S.scan.zone) ? S.scan.zone : '?') + (S.scan.south ? 'S' : 'N') +
    (S.scan.epsg ? ' · EPSG:' + S.scan.epsg : '');
  M.hover = null;
  renderChecks();
  renderLegend();
  M.needFit = !fitMap();
  drawMap();
  renderInspector();
}

// The F key outside the Result view.
export function fitMapView() { if (fitMap()) drawMap(); }

// The map's transform and its last drawing time, for the page's test interface.
export const mapFigures = () => ({s: M.s, ox: M.ox, oy: M.oy, lastMs: M.lastMs});

on('init', () => {
  buildLayers();
  wireMap();
  for (const b of document.querySelectorAll('[data-act="choose"]')) b.addEventListener('click', chooseFolder);
});
on('tab', id => { if (id === 'flight') drawMap(); });
on('info', renderChecks);
on('theme', drawMapSoon);
on('setting', k => { if (k === 'bounds') drawMapSoon(); });
on('scan-start', path => {
  flightPanel('busy');
  $('flightBusyPath').textContent = path;
});
on('scan-failed', ({message, hadScan}) => {
  $('flightFailText').textContent = message;
  flightPanel('fail');
  if (hadScan) drawMapSoon();
});
on('scanned', () => {
  flightPanel('map');
  onScanned();
});
on('selection', () => {
  drawMapSoon();
  renderInspector();
});
on('exclusion', () => {
  renderChecks();
  drawMapSoon();
  renderInspector();
});
on('ortho', image => {
  M.ortho = image;
  drawMapSoon();
});
on('result', drawMap);
on('cleared', () => {
  mapReset();
  flightPanel('empty');
});
