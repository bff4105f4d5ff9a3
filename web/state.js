// The page state shared by the views, the values of the settings, and the shots' selection
// and exclusions.
import {emit} from './events.js';
import {PAGE_DEFAULTS, THEME_DEF} from './settings_table.js';
import {has, hexOk, jtext, rgbOf, store} from './util.js';

export const S = {
  info: {}, schema: {}, defaults: {}, set: {}, scan: null, excluded: new Set(), report: null, reportPath: null,
  logLines: [], logNext: 0, preset: 'balanced', lastArgv: [], sel: null,
  tab: 'flight', running: false, open: ['src'], pinned: [], theme: Object.assign({}, THEME_DEF),
  perf: null, samples: [], perfLast: 0,
};

// ---- values and the settings object -----------------------------------------------------------
export function val(k) { return has(S.set, k) ? S.set[k] : S.defaults[k]; }
export function isChanged(k) { return jtext(val(k)) !== jtext(S.defaults[k]); }
export function settingsObj() {
  const o = {};
  for (const k of Object.keys(S.set)) o[k] = S.set[k];
  o.exclude = [...S.excluded];
  o.wb = val('wb');
  return o;
}
export function saveSet() { store.put('tsl.set', JSON.stringify(S.set)); }

// Takes the reply of GET /api/info: the schema and the defaults.
export function takeInfo(i) {
  S.info = i && typeof i === 'object' ? i : {};
  S.schema = S.info.schema && typeof S.info.schema === 'object' ? S.info.schema : {};
  const d = {};
  for (const [k, e] of Object.entries(S.schema)) d[k] = e && typeof e === 'object' ? e.default : null;
  Object.assign(d, PAGE_DEFAULTS);
  S.defaults = d;
}

export const reportPathOf = rep => (rep && typeof rep.output === 'string' ? rep.output.replace(/\.tif$/i, '') + '_report.json' : null);

// The report's entry of a shot, by file name.
export function reportShot(name) {
  const r = S.report;
  if (!r || !Array.isArray(r.shots) || typeof name !== 'string') return null;
  if (!r._byFile) {
    r._byFile = new Map();
    for (const s of r.shots) if (s && typeof s.file === 'string' && !r._byFile.has(s.file)) r._byFile.set(s.file, s);
  }
  return r._byFile.get(name) || null;
}

export function accRgb() { return rgbOf(hexOk(S.theme.accent) ? S.theme.accent : THEME_DEF.accent); }

// ---- selection and exclusions ------------------------------------------------------------------
// Exclusions are stored per input set.
export function exKey() { const inp = val('input'); return 'tsl.ex.' + (Array.isArray(inp) ? inp.join('|') : ''); }
export function selectShot(name) {
  S.sel = name;
  emit('selection');
}
function exclusionChanged() {
  store.put(exKey(), JSON.stringify([...S.excluded]));
  emit('exclusion');
}
export function toggleExclude(name) {
  if (typeof name !== 'string' || !S.scan) return;
  if (S.excluded.has(name)) S.excluded.delete(name); else S.excluded.add(name);
  exclusionChanged();
}
export function includeAll() {
  S.excluded = new Set();
  exclusionChanged();
}
