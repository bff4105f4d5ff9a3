// The Log view: the last 4000 lines of the job and the scans, each styled by its kind.
import {refreshTabCounts} from './shell.js';
import {S} from './state.js';
import {$, h} from './util.js';

const LOG_MAX = 4000;

function lineClass(s) {
  if (/^\[\d/.test(s)) return 'stage';
  if (/warn|skip/i.test(s)) return 'warn';
  if (/error|traceback|failed/i.test(s)) return 'err';
  if (s.startsWith('$')) return 'cmd';
  return '';
}
function lineNode(s) {
  const c = lineClass(s);
  return h('div', c ? {class: c} : {}, s === '' ? '\u200b' : s);
}
// A view scrolled to within 30 px of its end stays at the end.
function atEnd() { const v = $('v-log'); return v.scrollHeight - v.scrollTop - v.clientHeight <= 30; }

// Appends only the new lines: re-rendering 4000 rows on every poll would keep a core busy.
export function appendLog(lines) {
  if (!lines.length) return;
  const follow = atEnd();
  S.logLines.push(...lines);
  const log = $('log');
  const frag = document.createDocumentFragment();
  for (const s of lines.slice(-LOG_MAX)) frag.append(lineNode(s));
  log.append(frag);
  let extra = log.childElementCount - LOG_MAX;
  while (extra-- > 0) log.firstChild.remove();
  if (follow) { const v = $('v-log'); v.scrollTop = v.scrollHeight; }
  refreshTabCounts();
}
export function clearLog() { S.logLines = []; $('log').replaceChildren(); refreshTabCounts(); }
