// The Images view: one card per shot in capture order with its thumbnail, a filter, the
// shots that were not usable, and selecting and excluding shots.
import * as api from './api.js';
import {on} from './events.js';
import {S, includeAll, selectShot, toggleExclude} from './state.js';
import {$, ev2, fd, h, shotsOf} from './util.js';

let imgFilterTimer = 0;
function renderImages() {
  const v = $('v-images');
  const sc = S.scan;
  if (!sc) { v.replaceChildren(); return; }
  const filter = h('input', {type: 'text', placeholder: 'Filter…', id: 'imgFilter', spellcheck: 'false'});
  filter.addEventListener('input', () => {
    clearTimeout(imgFilterTimer);
    imgFilterTimer = setTimeout(applyImgFilter, 250);
  });
  const bar = h('div', {class: 'imgbar'}, filter, h('span', {class: 't', id: 'imgCount'}),
    h('button', {onclick: includeAll}, 'Include all'));
  const parts = [bar];
  const sk = Array.isArray(sc.skipped) ? sc.skipped.filter(Array.isArray) : [];
  if (sk.length) parts.push(h('div', {class: 'skipline'}, 'Not usable: ' + sk.map(x => String(x[0]) + ' (' + String(x[1]) + ')').join(' · ')));
  const grid = h('div', {class: 'grid', id: 'imgGrid'});
  const shots = shotsOf(sc).slice().sort((a, b) => (a.seq ?? 0) - (b.seq ?? 0));
  for (const s of shots) {
    const meta = [fd(s.alt, 1) + ' m', fd(s.yaw, 0) + '°', fd(s.pitch, 0) + '°'];
    const e = ev2(s.exposure);
    if (e !== null) meta.push('EV ' + e.toFixed(1));
    const chips = h('div', {class: 'chips'}, h('span', {}, s.raw ? 'DNG' : 'JPG'));
    if (s.processed) chips.append(h('span', {}, 'pre-corrected'));
    if (s.meta) chips.append(h('span', {}, 'meta←orig'));
    const img = h('img', {alt: '', loading: 'lazy'});
    if (typeof s.path === 'string') img.src = api.thumbUrl(s.path, 320);
    const c = h('div', {class: 'card', 'data-name': String(s.name), title: String(s.path ?? '')},
      img, h('div', {class: 'cb'}, h('div', {class: 'nm'}, String(s.name)), h('div', {class: 'mt'}, meta.join(' · ')), chips));
    c.addEventListener('click', () => selectShot(s.name));
    c.addEventListener('dblclick', () => toggleExclude(s.name));
    grid.append(c);
  }
  parts.push(grid);
  v.replaceChildren(...parts);
  markCards();
}
function applyImgFilter() {
  const f = $('imgFilter');
  const q = f ? f.value.trim().toLowerCase() : '';
  for (const c of document.querySelectorAll('#imgGrid .card')) c.hidden = q !== '' && !c.dataset.name.toLowerCase().includes(q);
}
function markCards() {
  const shots = shotsOf(S.scan);
  for (const c of document.querySelectorAll('#imgGrid .card')) {
    c.classList.toggle('ex', S.excluded.has(c.dataset.name));
    c.classList.toggle('sel', c.dataset.name === S.sel);
  }
  const t = $('imgCount');
  if (t) {
    const inc = shots.filter(s => !S.excluded.has(s.name)).length;
    t.textContent = inc + ' of ' + shots.length + ' included · click to select · double-click to exclude';
  }
}

on('scanned', renderImages);
on('selection', markCards);
on('exclusion', markCards);
on('cleared', renderImages);
