// Plain events between the parts of the page: a part announces what happened, the views that
// care redraw. A listener that throws is reported by the browser as an uncaught error (so it
// reaches the console) and the other listeners still run.
//
// The events, with their detail:
//   init            the shell is built: each view builds its own DOM
//   tab (id)        a tab was shown
//   info            GET /api/info was read again
//   setting (key)   the user set one value (not a silent change)
//   settings (keys) several values were replaced at once (a preset, a reset): the changed keys
//   theme           the appearance changed
//   scan-start (path), scanned, scan-failed ({message, hadScan})
//   selection       the selected shot changed
//   exclusion       the set of excluded shots changed
//   ortho (image)   the map's ortho overlay: the loaded preview image, or null
//   result          a result was loaded (its report is the page state's `report`)
//   perf            a GET /api/perf reply arrived (in the page state's `perf`)
//   cleared         "New project" emptied the page
const bus = new EventTarget();

export function on(name, fn) {
  bus.addEventListener(name, e => fn(e.detail));
}

export function emit(name, detail) {
  bus.dispatchEvent(new CustomEvent(name, {detail}));
}
