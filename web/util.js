// Small helpers shared by every part of the page: elements, number texts, browser storage,
// canvases and colours.
export const $ = id => document.getElementById(id);

// Builds an element; strings among the children become text nodes, never markup.
export function h(tag, attrs, ...kids) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else if (k === 'text') e.textContent = v;
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of kids.flat()) if (c !== null && c !== undefined && c !== false) e.append(c instanceof Node ? c : String(c));
  return e;
}

export const isNum = v => typeof v === 'number' && Number.isFinite(v);
// A number the server may send as null (non-finite on its side) is shown as "-".
export const fx = (v, d) => (isNum(v) ? v.toFixed(d) : '-');
// "–" for a figure the server left out or sent as null; a value that rounds to zero has no sign.
export const fd = (v, d) => (isNum(v) ? v.toFixed(d).replace(/^-(0(\.0*)?)$/, '$1') : '–');
export const numOr = (v, d) => (isNum(v) ? v : d);
export const clamp = (v, a, b) => Math.min(b, Math.max(a, v));
export const jtext = v => JSON.stringify(v === undefined ? null : v);
export const clone = v => (v === undefined ? undefined : JSON.parse(JSON.stringify(v)));
export const has = (o, k) => Object.prototype.hasOwnProperty.call(o, k);
export const ev2 = x => (isNum(x) && x > 0 ? Math.log2(x) : null);
export const shotsOf = sc => (sc && Array.isArray(sc.shots) ? sc.shots.filter(s => s && typeof s === 'object') : []);

export const store = {
  get(k) { try { return localStorage.getItem(k); } catch (e) { return null; } },
  put(k, v) { try { localStorage.setItem(k, v); } catch (e) { /* private window: the change applies to this page only */ } },
  del(k) { try { localStorage.removeItem(k); } catch (e) { /* as above */ } },
  json(k, dflt) {
    const t = this.get(k);
    if (t === null) return dflt;
    try { return JSON.parse(t); } catch (e) { return dflt; }
  },
};

export async function copyText(text) {
  try { await navigator.clipboard.writeText(text); return true; } catch (e) { /* fall back below */ }
  const ta = h('textarea', {style: 'position:fixed;left:-9999px;top:0'});
  ta.value = text;
  document.body.append(ta);
  ta.select();
  let ok = false;
  try { ok = document.execCommand('copy'); } catch (e) { ok = false; }
  ta.remove();
  return ok;
}

// ---- drawing ---------------------------------------------------------------------------------
export const MAP_BG = '#040507';
export const dpr = () => window.devicePixelRatio || 1;
export function niceStep(x) {
  if (!(x > 0) || !Number.isFinite(x)) return 1;
  const p = 10 ** Math.floor(Math.log10(x)), m = x / p;
  return (m < 1.5 ? 1 : m < 3.5 ? 2 : m < 7.5 ? 5 : 10) * p;
}
// Sizes a canvas to its box in device pixels; drawing then happens in CSS pixels.
export function fitCanvas(cv) {
  const w = cv.clientWidth, hh = cv.clientHeight, r = dpr();
  const bw = Math.max(1, Math.round(w * r)), bh = Math.max(1, Math.round(hh * r));
  if (cv.width !== bw || cv.height !== bh) { cv.width = bw; cv.height = bh; }
  const ctx = cv.getContext('2d');
  ctx.setTransform(bw / Math.max(w, 1), 0, 0, bh / Math.max(hh, 1), 0, 0);
  return [ctx, w, hh];
}
export function canvasOf(w, hh) { const c = document.createElement('canvas'); c.width = w; c.height = hh; return c; }
export const hexOk = c => typeof c === 'string' && /^#[0-9a-f]{6}$/i.test(c);
export function rgbOf(hex) { return [1, 3, 5].map(i => parseInt(hex.slice(i, i + 2), 16)); }
export function mix(a, b, t) { return a.map((x, i) => Math.round(x + (b[i] - x) * t)); }
export const rgba = (c, a) => 'rgba(' + c[0] + ',' + c[1] + ',' + c[2] + ',' + a + ')';

// A figure card of the Report and Performance views.
export function card(title, big, unit, line, extra) {
  const b = h('div', {class: String(big).length > 9 ? 'big long' : 'big'}, big);
  if (unit && big !== '–') b.append(h('small', {}, unit));
  return h('div', Object.assign({class: 'rc'}, extra || {}), h('div', {class: 'tt'}, title), b, h('div', {class: 'ln'}, line));
}
