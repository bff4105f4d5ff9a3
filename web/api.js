// The studio's HTTP API, one function per endpoint. A call with a body is a POST of JSON text;
// the reply is read as JSON (a reply that is not JSON counts as {}); a status outside 200 to
// 299 throws an Error whose message is the reply's `error`, else the status text.

// The server writes non-finite numbers as bare NaN / Infinity words, which JSON.parse rejects;
// read them as null so one odd figure does not throw away a whole scan or report.
export function parseReply(text) {
  try { return JSON.parse(text); } catch (e) { /* try the lenient reading below */ }
  try {
    return JSON.parse(text.replace(/"(?:[^"\\]|\\.)*"|-?Infinity|NaN/g, m => (m[0] === '"' ? m : 'null')));
  } catch (e) { return undefined; }
}

const post = body => ({method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});

async function request(path, body) {
  const r = await fetch(path, body === undefined ? {} : post(body));
  let j = parseReply(await r.text());
  if (j === undefined || j === null) j = {};
  if (r.status < 200 || r.status > 299) {
    const msg = j && typeof j === 'object' && j.error !== undefined && j.error !== null ? String(j.error) : r.statusText;
    throw new Error(msg || 'HTTP ' + r.status);
  }
  return j;
}

export const info = () => request('/api/info');
export const job = since => request('/api/job?since=' + since);
export const perf = since => request('/api/perf?since=' + since);
export const cache = () => request('/api/cache');
export const run = settings => request('/api/run', settings);
export const argv = settings => request('/api/argv', settings);
export const scan = settings => request('/api/scan', settings);
export const cancel = () => request('/api/cancel', {});
export const reset = () => request('/api/reset', {});
export const report = path => request('/api/report', {path});
export const cacheClear = () => request('/api/cache_clear', {});
// The chosen path ("" for none; several come joined with "|").
export const pick = kind => request('/api/pick', {kind}).then(r => (typeof r.path === 'string' ? r.path : ''));
export const reveal = path => request('/api/reveal', {path});
export const diagnostics = path => request('/api/diagnostics', {path});

// A live re-render: null when a newer request superseded it (204), else the X-Preview values
// and the reply whose body is the PNG.
export async function preview(body) {
  const r = await fetch('/api/preview', post(body));
  if (r.status === 204) return null;
  if (!r.ok) {
    const j = parseReply(await r.text().catch(() => '')) || {};
    throw new Error(j && j.error != null ? String(j.error) : r.statusText);
  }
  return {meta: parseReply(r.headers.get('X-Preview') || '') || {}, reply: r};
}

// GET /api/file, with a new `t` for every load so the browser never shows an older build's file.
export const fileUrl = p => '/api/file?path=' + encodeURIComponent(p) + '&t=' + Date.now();
export const thumbUrl = (p, size) => '/api/thumb?path=' + encodeURIComponent(p) + '&size=' + size;
