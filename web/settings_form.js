// The settings form: the drawers with one control per option key, the rail, the presets,
// the command-line preview in the footer and the output path derived from the first input.
// Every value lives in the page state's `set` and is stored in the browser.
import * as api from './api.js';
import {buildLook} from './appearance.js';
import {emit, on} from './events.js';
import {scan} from './scan.js';
import {DRAWER_IDS, LOOK, NOT_COUNTED, PATH_PH, PRESETS, RESET_ON_PRESET, SECTIONS} from './settings_table.js';
import {toast} from './shell.js';
import {S, isChanged, saveSet, settingsObj, val} from './state.js';
import {$, clamp, clone, copyText, fx, has, h, isNum, jtext, store} from './util.js';

let ctl = {};  // option key to its control's {el, refresh}

const SVGNS = 'http://www.w3.org/2000/svg';
function plus() { return h('span', {class: 'plus'}, '＋'); }
function pinIcon() {
  const s = document.createElementNS(SVGNS, 'svg'), p = document.createElementNS(SVGNS, 'path');
  s.setAttribute('viewBox', '0 0 16 16');
  p.setAttribute('d', 'M5 1h6l-1 5 3 3H9v6l-1 1-1-1V9H3l3-3z');
  p.setAttribute('fill', 'currentColor');
  s.append(p);
  return s;
}

// Sets a value: stored, its control refreshed; unless silent the preset highlight goes (not
// for the inputs), the command line follows and the views hear of it.
export function setVal(k, v, silent) {
  S.set[k] = v;
  saveSet();
  refreshControl(k);
  refreshCounts();
  if (silent) return;
  if (k !== 'input' && k !== 'meta_from') highlightPreset(null);
  updateCmd();
  emit('setting', k);
}

// ---- command line ----------------------------------------------------------------------------
const quoteArg = a => (/\s/.test(a) ? '"' + a + '"' : a);
let cmdBusy = false, cmdAgain = false;
// One request in flight at a time; a change during it sends one more, so the last state wins.
export function updateCmd() {
  if (cmdBusy) { cmdAgain = true; return; }
  cmdBusy = true; cmdAgain = false;
  // A failed request leaves the command line as it was.
  api.argv(settingsObj()).then(r => {
    const argv = Array.isArray(r.argv) ? r.argv.map(a => String(a)) : null;
    if (!argv) return;
    S.lastArgv = argv;
    // One span per argument, so that lines break between arguments rather than inside a flag.
    const parts = ['tessaly'].concat(argv.map(quoteArg));
    $('cmd').replaceChildren(...parts.flatMap((a, i) => [i ? ' ' : '', h('span', {class: a.length < 48 ? 'a' : ''}, a)]));
  }, () => {}).finally(() => {
    cmdBusy = false;
    if (cmdAgain) updateCmd();
  });
}

// ---- output path -----------------------------------------------------------------------------
export function deriveOutput() {
  const inp = val('input');
  if (!Array.isArray(inp) || !inp.length) return;
  const cur = val('output');
  if (cur && cur !== 'ortho.tif') return;
  let p = String(inp[0]);
  const sep = p.includes('\\') ? '\\' : '/';
  while (p.endsWith(sep)) p = p.slice(0, -1);
  if (/\.(jpe?g|dng|tiff?|png)$/i.test(p)) p = p.slice(0, Math.max(0, p.lastIndexOf(sep)));
  const name = p.slice(p.lastIndexOf(sep) + 1) || 'ortho';
  // A bare file name has no folder: keep the output relative instead of at the root.
  const folder = p ? p + sep : '';
  setVal('output', folder + 'tessaly' + sep + name + '_ortho.tif', true);
}

// ---- presets ---------------------------------------------------------------------------------
export function highlightPreset(name) {
  S.preset = name;
  store.put('tsl.preset', name || '');
  for (const b of $('presets').children) b.classList.toggle('on', b.dataset.p === name);
}
// The values of every setting, to tell which ones a preset or a reset changed.
function snapshot() {
  const o = {};
  for (const k of new Set([...Object.keys(S.defaults), ...Object.keys(S.set)])) o[k] = jtext(val(k));
  return o;
}
function changedSince(before) {
  const after = snapshot();
  return [...new Set([...Object.keys(before), ...Object.keys(after)])].filter(k => before[k] !== after[k]);
}

function applyPreset(p) {
  const before = snapshot();
  for (const k of RESET_ON_PRESET) delete S.set[k];
  Object.assign(S.set, p.vals(S.scan && S.scan.stats ? S.scan.stats.gsd_cm : null));
  saveSet();
  highlightPreset(p.name);
  refreshAll();
  updateCmd();
  emit('settings', changedSince(before));
  toast('Preset · ' + p.label);
}

// ---- controls --------------------------------------------------------------------------------
function fmtRange(v, step, unit) {
  if (!isNum(v)) return '-';
  let s;
  if (step < 1 && Math.abs(v) < 10) s = v.toFixed(step < 0.05 ? 2 : 1);
  else s = String(+v.toFixed(6));
  return s + (unit || '');
}

function ctlShell(it, body, valEl) {
  const dot = h('button', {class: 'cd', title: 'Changed — click to reset to the default',
    onclick: () => setVal(it.k, clone(S.defaults[it.k]))});
  const lab = h('div', {class: 'lab'}, h('span', {class: 'l'}, it.label), dot, valEl || null);
  const schemaHelp = S.schema[it.k] && S.schema[it.k].help ? String(S.schema[it.k].help) : '';
  const flag = S.schema[it.k] && S.schema[it.k].flag ? String(S.schema[it.k].flag) : '';
  if (flag || schemaHelp) lab.title = flag + (schemaHelp ? ' — ' + schemaHelp : '');
  const wrap = h('div', {class: 'ctl', 'data-k': it.k}, lab, body);
  if (it.help) wrap.append(h('div', {class: 'help'}, it.help));
  return wrap;
}

// A new input: the output path follows and the inputs are scanned.
export function inputChanged() {
  deriveOutput();
  updateCmd();
  scan().catch(() => {});
}

function buildPaths(it) {
  const list = h('div');
  const add = kind => api.pick(kind).then(p => {
    if (!p) { toast('No selection (or native dialog unavailable — paste the path instead)'); return; }
    const cur = Array.isArray(val(it.k)) ? val(it.k).slice() : [];
    for (const q of p.split('|')) if (q && !cur.includes(q)) cur.push(q);
    setVal(it.k, cur);
    if (it.k === 'input') inputChanged();
  }, e => toast(e.message, true));
  const btns = h('div', {class: 'row'});
  if (it.add.includes('dir')) btns.append(h('button', {onclick: () => add('dir')}, plus(), ' Folder'));
  if (it.add.includes('files')) btns.append(h('button', {onclick: () => add('files')}, plus(), ' Files'));
  if (it.scan) btns.append(h('button', {onclick: () => scan().catch(() => {})}, 'Scan'));
  const refresh = () => {
    const cur = Array.isArray(val(it.k)) ? val(it.k).map(String) : [];
    const active = document.activeElement;
    if (active && list.contains(active)) return;  // never rebuild under the user's cursor
    list.replaceChildren();
    if (!cur.length) {
      const f = h('input', {type: 'text', placeholder: PATH_PH, spellcheck: 'false'});
      f.addEventListener('change', () => {
        const v = f.value.trim();
        if (!v) return;
        setVal(it.k, [v]);
        if (it.k === 'input') inputChanged();
      });
      list.append(h('div', {class: 'row'}, f));
      return;
    }
    cur.forEach((p, i) => {
      const f = h('input', {type: 'text', spellcheck: 'false'});
      f.value = p;
      f.addEventListener('change', () => {
        const next = cur.slice();
        next[i] = f.value.trim();
        f.blur();
        setVal(it.k, next.filter(Boolean));
        if (it.k === 'input') inputChanged();
      });
      const x = h('button', {title: 'Remove', onclick: () => {
        setVal(it.k, cur.filter((_, j) => j !== i));
        if (it.k === 'input') updateCmd();
      }}, '×');
      list.append(h('div', {class: 'row'}, f, x));
    });
  };
  const el = ctlShell(it, h('div', {}, list, h('div', {class: 'row'}, btns)));
  btns.style.marginTop = '5px';
  return [el, refresh];
}

function buildSave(it) {
  const f = h('input', {type: 'text', placeholder: it.ph, spellcheck: 'false'});
  f.addEventListener('input', () => setVal(it.k, f.value.trim() || null));
  const dots = h('button', {title: 'Choose the output file', onclick: () => api.pick('save').then(p => {
    if (p) setVal(it.k, p);
  }, e => toast(e.message, true))}, '…');
  const rev = h('button', {title: 'Show in Explorer', onclick: () =>
    api.reveal(val(it.k) || '.').catch(e => toast(e.message, true))}, '↗');
  const refresh = () => {
    const v = val(it.k);
    const t = v === null || v === undefined ? '' : String(v);
    if (document.activeElement !== f || f.value.trim() !== t) { if (document.activeElement !== f) f.value = t; }
  };
  return [ctlShell(it, h('div', {class: 'row'}, f, dots, rev)), refresh];
}

function buildSeg(it) {
  const seg = h('div', {class: 'seg'});
  const bs = it.opts.map(([v, text]) => {
    const b = h('button', {onclick: () => setVal(it.k, v)}, text);
    seg.append(b);
    return [v, b];
  });
  const refresh = () => { const cur = jtext(val(it.k)); for (const [v, b] of bs) b.classList.toggle('on', jtext(v) === cur); };
  return [ctlShell(it, seg), refresh];
}

function buildTog(it) {
  const cb = h('input', {type: 'checkbox'});
  cb.addEventListener('change', () => setVal(it.k, it.inv ? !cb.checked : cb.checked));
  const dot = h('button', {class: 'cd', title: 'Changed — click to reset to the default',
    onclick: () => setVal(it.k, clone(S.defaults[it.k]))});
  const lab = h('label', {class: 'tog'}, cb, h('span', {class: 'sw'}), h('span', {class: 'l'}, it.label), dot);
  const flag = S.schema[it.k] && S.schema[it.k].flag ? String(S.schema[it.k].flag) : '';
  if (flag) lab.title = flag + (S.schema[it.k].help ? ' — ' + String(S.schema[it.k].help) : '');
  const wrap = h('div', {class: 'ctl', 'data-k': it.k}, lab);
  if (it.help) wrap.append(h('div', {class: 'help'}, it.help));
  const refresh = () => { const on = !!val(it.k); cb.checked = it.inv ? !on : on; };
  return [wrap, refresh];
}

function buildNum(it) {
  const f = h('input', {type: 'number', placeholder: it.ph, step: it.step || 'any'});
  f.addEventListener('input', () => {
    const t = f.value.trim();
    if (t === '') { setVal(it.k, null); return; }
    const x = Number(t);
    if (Number.isFinite(x)) setVal(it.k, x);
  });
  const refresh = () => {
    const v = val(it.k);
    if (it.k === 'gsd') {
      const g = S.scan && S.scan.stats ? S.scan.stats.gsd_cm : null;
      f.placeholder = isNum(g) ? 'native ≈ ' + g.toFixed(2) : 'native';
    }
    if (document.activeElement === f && (f.value.trim() === '' ? v === null : Number(f.value) === v)) return;
    f.value = isNum(v) ? String(v) : '';
  };
  return [ctlShell(it, h('div', {class: 'row'}, f, h('span', {class: 'unit'}, it.unit))), refresh];
}

function buildRange(it) {
  const r = h('input', {type: 'range', min: it.min, max: it.max, step: it.step});
  const v = h('span', {class: 'v'});
  r.addEventListener('input', () => setVal(it.k, Number(r.value)));
  r.addEventListener('dblclick', () => setVal(it.k, clone(S.defaults[it.k])));
  const refresh = () => {
    const x = val(it.k);
    if (isNum(x)) r.value = String(x);
    v.textContent = fmtRange(x, it.step, it.unit);
  };
  return [ctlShell(it, r, v), refresh];
}

function buildWb(it) {
  const rows = h('div');
  let temp = 0, tint = 0;
  const mk = (name, min, max, step, onInput) => {
    const r = h('input', {type: 'range', min, max, step});
    const out = h('span', {class: 'v'});
    r.addEventListener('input', () => onInput(Number(r.value)));
    rows.append(h('div', {class: 'wbrow'}, h('span', {}, name), r, out));
    return [r, out];
  };
  const cur = () => { const w = val('wb'); return Array.isArray(w) && w.length === 3 ? w.map(Number) : [1, 1, 1]; };
  const chan = [0, 1, 2].map(i => mk(['R', 'G', 'B'][i], 0.4, 2.2, 0.005, x => {
    const w = cur();
    w[i] = x;
    setVal('wb', w);
  }));
  const r3 = x => Math.round(x * 1000) / 1000;
  const fromTT = () => setVal('wb', [r3(2 ** (0.6 * temp) * 2 ** (0.25 * tint)), r3(2 ** (-0.3 * tint)),
    r3(2 ** (-0.6 * temp) * 2 ** (0.25 * tint))]);
  const [tr, tout] = mk('Temp', -1, 1, 0.01, x => { temp = x; fromTT(); });
  const [nr, nout] = mk('Tint', -1, 1, 0.01, x => { tint = x; fromTT(); });
  const sw = h('div', {class: 'swatch'});
  const refresh = () => {
    const w = cur();
    chan.forEach(([r, out], i) => { if (isNum(w[i])) r.value = String(w[i]); out.textContent = fx(w[i], 3); });
    if (!isChanged('wb')) { temp = 0; tint = 0; }
    tr.value = String(temp); tout.textContent = temp.toFixed(2);
    nr.value = String(tint); nout.textContent = tint.toFixed(2);
    const m = Math.max(...w.filter(isNum), 1e-6);
    const enc = x => Math.round(255 * (x <= 0.0031308 ? 12.92 * x : 1.055 * x ** (1 / 2.4) - 0.055));
    const c = w.map(x => clamp(enc(clamp((isNum(x) ? x : 0) / m, 0, 1)), 0, 255));
    sw.style.background = 'rgb(' + c.join(',') + ')';
  };
  return [ctlShell(it, h('div', {}, rows, sw)), refresh];
}

function buildAoi(it) {
  const t = h('span', {class: 'aoi'});
  const clr = h('button', {onclick: () => setVal(it.k, null)}, 'Clear');
  const help = h('div', {class: 'help'}, 'Hold ', h('kbd', {}, 'Shift'), ' and drag on the Flight map.');
  const refresh = () => {
    const b = val(it.k);
    if (Array.isArray(b) && b.length === 4) t.textContent = fx(b[2] - b[0], 0) + ' × ' + fx(b[3] - b[1], 0) + ' m';
    else t.textContent = 'whole mosaic';
  };
  const el = ctlShell(it, h('div', {class: 'row'}, t, clr));
  el.append(help);
  return [el, refresh];
}

const BUILDERS = {paths: buildPaths, save: buildSave, seg: buildSeg, tog: buildTog, num: buildNum,
                  range: buildRange, wb: buildWb, aoi: buildAoi};

export function refreshControl(k) {
  const c = ctl[k];
  if (!c) return;
  c.refresh();
  c.el.classList.toggle('changed', isChanged(k));
}
export function refreshAll() {
  for (const k of Object.keys(ctl)) refreshControl(k);
  refreshCounts();
}
function changedIn(sec) {
  return sec.items.filter(it => !NOT_COUNTED.includes(it.k) && isChanged(it.k)).length;
}
function refreshCounts() {
  for (const sec of SECTIONS) {
    const n = changedIn(sec);
    const rb = document.querySelector('.rb[data-d="' + sec.id + '"] .n');
    if (rb) { rb.textContent = String(n); rb.hidden = n === 0; }
    const dh = document.querySelector('.drawer[data-d="' + sec.id + '"] .chg');
    if (dh) dh.textContent = n + ' changed';
  }
}

// ---- drawers and rail --------------------------------------------------------------------------
function drawerHead(d) {
  const pin = h('button', {class: 'pinb', title: 'Pin: keep open while other drawers open', onclick: () => togglePin(d.id)}, pinIcon());
  const x = h('button', {title: 'Close', onclick: () => closeDrawer(d.id)}, '×');
  return h('div', {class: 'dh'}, h('span', {class: 'no'}, d.no), h('span', {class: 'tt'}, d.title),
           d.id === 'look' ? null : h('span', {class: 'chg'}, '0 changed'), pin, x);
}

export function buildDrawers() {
  const col = $('drawers');
  col.replaceChildren();
  ctl = {};
  for (const sec of SECTIONS) {
    const body = h('div', {class: 'db'});
    for (const it of sec.items) {
      const [el, refresh] = BUILDERS[it.w](it);
      ctl[it.k] = {el, refresh};
      body.append(el);
    }
    col.append(h('section', {class: 'drawer', 'data-d': sec.id, hidden: true}, drawerHead(sec), body));
  }
  col.append(h('section', {class: 'drawer', 'data-d': LOOK.id, hidden: true}, drawerHead(LOOK), buildLook()));
  refreshAll();
  layoutDrawers(null);
}

export function buildRail() {
  const rail = $('rail');
  rail.replaceChildren();
  const rb = d => h('button', {class: 'rb', 'data-d': d.id, title: d.title, onclick: () => railClick(d.id)},
    h('span', {class: 'ic'}, d.icon), h('span', {class: 't'}, d.title), h('span', {class: 'pin', hidden: true}),
    h('span', {class: 'n', hidden: true}, '0'));
  for (const sec of SECTIONS) rail.append(rb(sec));
  rail.append(h('div', {class: 'rail-gap'}), rb(LOOK));
  rail.append(h('button', {class: 'rb tool', onclick: resetSettings},
    h('span', {class: 'ic'}, '↺'), h('span', {class: 't'}, 'Reset settings to defaults')));
  rail.append(h('button', {class: 'rb tool', onclick: copySettings},
    h('span', {class: 'ic'}, '❐'), h('span', {class: 't'}, 'Copy settings')));
}

function saveDrawers() { store.put('tsl.drawers', JSON.stringify({open: S.open, pinned: S.pinned})); }
function layoutDrawers(scrollTo) {
  for (const el of document.querySelectorAll('.drawer')) el.hidden = !S.open.includes(el.dataset.d);
  for (const el of document.querySelectorAll('.rb[data-d]')) {
    el.classList.toggle('open', S.open.includes(el.dataset.d));
    el.querySelector('.pin').hidden = !S.pinned.includes(el.dataset.d);
  }
  for (const el of document.querySelectorAll('.drawer')) {
    el.querySelector('.pinb').classList.toggle('on', S.pinned.includes(el.dataset.d));
  }
  $('drawers').hidden = S.open.length === 0;
  if (scrollTo) {
    const el = document.querySelector('.drawer[data-d="' + scrollTo + '"]');
    if (el) el.scrollIntoView({block: 'nearest'});
  }
}
function openDrawer(id) {
  S.open = S.open.filter(d => S.pinned.includes(d));
  S.open.push(id);
  saveDrawers();
  layoutDrawers(id);
}
function closeDrawer(id) {
  S.open = S.open.filter(d => d !== id);
  S.pinned = S.pinned.filter(d => d !== id);
  saveDrawers();
  layoutDrawers(null);
}
function railClick(id) { if (S.open.includes(id)) closeDrawer(id); else openDrawer(id); }
function togglePin(id) {
  if (S.pinned.includes(id)) S.pinned = S.pinned.filter(d => d !== id);
  else { S.pinned.push(id); if (!S.open.includes(id)) S.open.push(id); }
  saveDrawers();
  layoutDrawers(null);
}
export function restoreDrawers() {
  const d = store.json('tsl.drawers', null);
  let open = ['src'], pinned = [];
  if (d && typeof d === 'object' && Array.isArray(d.open) && Array.isArray(d.pinned)) {
    open = d.open.filter(x => DRAWER_IDS.includes(x));
    pinned = d.pinned.filter(x => open.includes(x));
  }
  S.open = [...new Set(open)];
  S.pinned = [...new Set(pinned)];
}

function resetSettings() {
  const before = snapshot();
  const keep = {};
  for (const k of ['input', 'meta_from', 'output']) if (has(S.set, k)) keep[k] = S.set[k];
  S.set = keep;
  saveSet();
  buildDrawers();
  highlightPreset('balanced');
  updateCmd();
  emit('settings', changedSince(before));
  toast('Settings reset to defaults');
}
function copySettings() {
  copyText(JSON.stringify(S.set, null, 1)).then(ok => toast(ok ? 'Settings copied' : 'Copy failed', !ok));
}

// The header's preset buttons; the stored preset name (default "balanced") is only
// highlighted, not applied again.
export function buildPresets() {
  const pn = store.get('tsl.preset');
  for (const p of PRESETS) {
    $('presets').append(h('button', {'data-p': p.name, title: p.tip, onclick: () => applyPreset(p)}, p.label));
  }
  highlightPreset(PRESETS.some(p => p.name === pn) ? pn : pn === null ? 'balanced' : null);
}

on('scanned', () => {
  refreshControl('gsd');
  updateCmd();
});
on('exclusion', updateCmd);
