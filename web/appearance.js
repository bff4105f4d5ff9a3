// The page's appearance: the accent and tint colours, tint strength, glass opacity and glow,
// applied as CSS variables and stored in the browser.
import {emit} from './events.js';
import {SWATCHES, THEME_DEF} from './settings_table.js';
import {S} from './state.js';
import {clamp, h, hexOk, isNum, mix, rgbOf, store} from './util.js';

export function loadTheme() {
  const t = Object.assign({}, THEME_DEF);
  const s = store.json('tsl.theme', null);
  if (s && typeof s === 'object') {
    if (hexOk(s.accent)) t.accent = s.accent.toLowerCase();
    if (hexOk(s.tint)) t.tint = s.tint.toLowerCase();
    if (isNum(s.tintA)) t.tintA = clamp(s.tintA, 0, 100);
    if (isNum(s.glass)) t.glass = clamp(s.glass, 5, 100);
    if (isNum(s.glow)) t.glow = clamp(s.glow, 0, 160);
  }
  S.theme = t;
}
export function applyTheme() {
  const t = S.theme, st = document.documentElement.style;
  const acc = rgbOf(t.accent), tint = rgbOf(t.tint), w = t.tintA / 100;
  st.setProperty('--acc', t.accent);
  st.setProperty('--acc-rgb', acc.join(','));
  st.setProperty('--tint', t.tint);
  st.setProperty('--bg', 'rgb(' + mix([10, 12, 15], tint, 0.14 * w).join(',') + ')');
  const pane = mix([24, 27, 33], tint, 0.2 * w);
  st.setProperty('--pane', 'rgba(' + pane.join(',') + ',' + (t.glass / 100).toFixed(2) + ')');
  st.setProperty('--pane-solid', 'rgb(' + mix(mix([10, 12, 15], tint, 0.14 * w), pane, Math.max(t.glass / 100, 0.6)).join(',') + ')');
  st.setProperty('--glow', String(t.glow / 100));
  emit('theme');
}
function setTheme(k, v) {
  S.theme[k] = v;
  store.put('tsl.theme', JSON.stringify(S.theme));
  applyTheme();
  refreshLook();
}
let refreshLook = () => {};
export function buildLook() {
  const body = h('div', {class: 'db'});
  const refs = [];
  const colourRow = (key, label) => {
    const sws = h('div', {class: 'sws'});
    const btns = SWATCHES.map(c => {
      const b = h('button', {class: 'sw1', title: c, onclick: () => setTheme(key, c)});
      b.style.background = c;
      sws.append(b);
      return [c, b];
    });
    const cp = h('input', {type: 'color', title: 'Custom colour'});
    cp.addEventListener('input', () => { if (hexOk(cp.value)) setTheme(key, cp.value.toLowerCase()); });
    sws.append(cp);
    refs.push(() => {
      for (const [c, b] of btns) b.classList.toggle('on', c === S.theme[key]);
      cp.value = S.theme[key];
    });
    body.append(h('div', {class: 'ctl'}, h('div', {class: 'lab'}, h('span', {class: 'l'}, label)), sws));
  };
  const slider = (key, label, min, max, help) => {
    const r = h('input', {type: 'range', min, max, step: 1});
    const v = h('span', {class: 'v'});
    r.addEventListener('input', () => setTheme(key, Number(r.value)));
    r.addEventListener('dblclick', () => setTheme(key, THEME_DEF[key]));
    refs.push(() => { r.value = String(S.theme[key]); v.textContent = Math.round(S.theme[key]) + '%'; });
    const el = h('div', {class: 'ctl'}, h('div', {class: 'lab'}, h('span', {class: 'l'}, label), v), r);
    if (help) el.append(h('div', {class: 'help'}, help));
    body.append(el);
  };
  colourRow('accent', 'Accent — active items, glow');
  colourRow('tint', 'App tint colour');
  slider('tintA', 'Tint strength', 0, 100, 'How strongly the background and glass are washed with the tint colour.');
  slider('glass', 'Glass opacity', 5, 100, 'Low = see the map through panels, high = solid panels.');
  slider('glow', 'Glow intensity', 0, 160);
  body.append(h('div', {class: 'ctl'}, h('button', {onclick: () => {
    S.theme = Object.assign({}, THEME_DEF);
    store.put('tsl.theme', JSON.stringify(S.theme));
    applyTheme();
    refreshLook();
  }}, 'Reset appearance')));
  refreshLook = () => refs.forEach(f => f());
  refreshLook();
  return body;
}
