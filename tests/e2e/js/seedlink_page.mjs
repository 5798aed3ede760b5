// Serves a page on 127.0.0.1 that reads a SeedLink server over WebSocket
// with seisplotjs in the browser and plots what it receives, for headless
// Chromium to load.
//
//   node seedlink_page.mjs --url ws://127.0.0.1:PORT --proto 3|4
//        --station NET_STA... [--records N] [--seconds T]
//
// Prints "serving http://127.0.0.1:PORT/" once it listens, then one line
// "result {...}" per page that ran (how many records it got, by stream, or
// its error). The page's load event waits for its result (an image that
// the server answers only then), so a browser's --dump-dom and --screenshot
// see the plot drawn. Runs until it is killed.
//
// seisplotjs's npm package has no self-contained browser bundle: its
// browser module (dist/index.mjs) imports its dependencies by bare name.
// The page maps each name to the package's ES module, or, for a package
// that ships CommonJS or UMD only, to a small module that runs that file
// with a `module` and `require` of its own (cjs-loader.mjs below).
import { createServer } from 'node:http';
import { readFileSync, readdirSync, existsSync } from 'node:fs';
import { createRequire } from 'node:module';
import { homedir } from 'node:os';
import { join, normalize } from 'node:path';

const nodeDir = process.env.TARN_NODE_DIR || `${homedir()}/.cache/tarn2tarn_pre/node`;
const modulesDir = join(nodeDir, 'node_modules');
const require = createRequire(join(modulesDir, 'noop.js'));

const opts = { url: '', proto: '4', stations: [], records: 100, seconds: 60 };
const argv = process.argv.slice(2);
for (let i = 0; i < argv.length; i += 2) {
  const [key, value] = [argv[i], argv[i + 1]];
  if (value === undefined) throw new Error(`${key} needs a value`);
  if (key === '--url') opts.url = value;
  else if (key === '--proto') opts.proto = value;
  else if (key === '--station') opts.stations.push(value);
  else if (key === '--records') opts.records = Number(value);
  else if (key === '--seconds') opts.seconds = Number(value);
  else throw new Error(`unknown option ${key}`);
}

// ---- the import map ----

function exportTarget(e) {
  if (typeof e === 'string') return e;
  if (Array.isArray(e)) return exportTarget(e[0]);
  if (e && typeof e === 'object') {
    for (const condition of ['browser', 'import', 'module', 'default']) {
      if (e[condition]) return exportTarget(e[condition]);
    }
  }
  return null;
}

// Packages whose browser file is CommonJS or UMD, and leaflet, whose ES
// module its package.json does not name.
const cjsFiles = {
  handlebars: 'dist/handlebars.js',
  jszip: 'dist/jszip.min.js',
  querystringify: 'index.js',
  oregondsp: 'kotlin/oregondsp.js',
};
const esmFiles = { leaflet: 'dist/leaflet-src.esm.js' };

const imports = {};
const shims = {};  // path -> module text
for (const name of readdirSync(modulesDir)) {
  const pkgFile = join(modulesDir, name, 'package.json');
  if (!existsSync(pkgFile)) continue;
  const pkg = JSON.parse(readFileSync(pkgFile));
  if (cjsFiles[name]) {
    // Its names, as Node sees them, become the shim's named exports.
    let names = [];
    try {
      // With what its prototypes give it (Handlebars's methods).
      for (let o = require(name); o && o !== Object.prototype && o !== Function.prototype; o = Object.getPrototypeOf(o)) {
        names.push(...Object.getOwnPropertyNames(o));
      }
    } catch { /* default only */ }
    const reserved = ['constructor', 'arguments', 'eval', 'caller', 'prototype', 'default'];
    names = [...new Set(names)].filter((n) => !reserved.includes(n));
    names = names.filter((n) => /^[A-Za-z_$][\w$]*$/.test(n) && n !== 'default');
    shims[`/shim/${name}.mjs`] =
        `import { loadCjs } from '/cjs-loader.mjs';\n` +
        `const m = await loadCjs('/nm/${name}/${cjsFiles[name]}');\n` +
        `export default m;\n` + names.map((n) => `export const ${n} = m.${n};\n`).join('');
    imports[name] = `/shim/${name}.mjs`;
    continue;
  }
  const exports = typeof pkg.exports === 'object' && !Array.isArray(pkg.exports) ? pkg.exports : null;
  const main = esmFiles[name] || (exports && exportTarget(exports['.'] ?? exports)) ||
               pkg.module || (pkg.type === 'module' ? pkg.main : null);
  if (main) imports[name] = `/nm/${name}/${main.replace(/^\.\//, '')}`;
  for (const [key, value] of Object.entries(exports || {})) {
    const target = exportTarget(value);
    if (!key.startsWith('./') || key === './package.json' || !target) continue;
    const to = target.replace(/^\.\//, '');
    if (!key.includes('*')) {
      imports[`${name}/${key.slice(2)}`] = `/nm/${name}/${to}`;
      continue;
    }
    // "./dir/*" -> "./lib/dir/*.js": one entry per file there.
    const [before, after] = to.split('*');
    const dir = join(modulesDir, name, before);
    if (!existsSync(dir)) continue;
    for (const file of readdirSync(dir)) {
      if (!file.endsWith(after) || file.endsWith('.d.ts')) continue;
      const stem = file.slice(0, file.length - after.length);
      imports[`${name}/${key.slice(2).replace('*', stem)}`] = `/nm/${name}/${before}${file}`;
    }
  }
}

const cjsLoader = `
const sources = new Map();
const modules = new Map();
const resolve = (name, base) => new URL(name.endsWith('.js') ? name : name + '.js', base).href;
async function fetchAll(url) {
  if (sources.has(url)) return;
  const response = await fetch(url);
  sources.set(url, response.ok ? await response.text() : null);
  for (const m of (sources.get(url) || '').matchAll(/require\\(['"](\\.[^'"]+)['"]\\)/g)) {
    await fetchAll(resolve(m[1], url));
  }
}
function run(url) {
  if (modules.has(url)) return modules.get(url).exports;
  if (!sources.get(url)) throw new Error('cannot load ' + url);
  const module = { exports: {} };
  modules.set(url, module);
  const req = (name) => {
    if (name.startsWith('.')) return run(resolve(name, url));
    throw new Error('no package ' + name + ' for ' + url);
  };
  new Function('module', 'exports', 'require', sources.get(url))
      .call(module.exports, module, module.exports, req);
  return module.exports;
}
export async function loadCjs(path) {
  const url = new URL(path, location.href).href;
  await fetchAll(url);
  return run(url);
}
`;

// ---- the page ----

const settings = JSON.stringify(opts);
const page = `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>SeedLink: connecting</title>
<script type="importmap">${JSON.stringify({ imports })}</script>
<style>body { font-family: sans-serif; margin: 8px; } sp-seismograph { height: 180px; display: block; }</style>
</head><body>
<h3>SeedLink over WebSocket, seisplotjs</h3>
<div id="result">waiting</div>
<div id="plots"></div>
<script>
// A module that fails to load or run still reports, so that the load waits
// for nothing that never comes.
const fail = (what) => fetch('/result', { method: 'POST', body: JSON.stringify({ error: what }) });
window.addEventListener('error', (e) => fail('page: ' + e.message));
window.addEventListener('unhandledrejection', (e) => fail('page: ' + (e.reason && e.reason.message || e.reason)));
import('/app.mjs').catch((e) => fail('loading seisplotjs: ' + e.message));
</script>
<img src="/wait" alt="" width="1" height="1">
</body></html>
`;
const app = `import * as sp from '/nm/seisplotjs/dist/index.mjs';
const opts = ${settings};
const records = [];
let done = false;
function report(result) {
  if (done) return;
  done = true;
  try { if (connection) connection.close(); } catch (e) {}
  if (!result.error) {
    try { plot(); } catch (e) { result.error = 'plot: ' + e.message; }
  }
  document.title = result.error ? 'SeedLink error: ' + result.error : 'SeedLink records ' + result.records;
  document.getElementById('result').textContent = JSON.stringify(result);
  fetch('/result', { method: 'POST', body: JSON.stringify(result) });
}
function plot() {
  const plots = document.getElementById('plots');
  for (const seismogram of sp.miniseed.seismogramPerChannel(records)) {
    const sdd = sp.seismogram.SeismogramDisplayData.fromSeismogram(seismogram);
    const graph = new sp.seismograph.Seismograph([sdd]);
    plots.appendChild(graph);
  }
}
function received(record) {
  records.push(record);
  if (records.length >= opts.records) finish();
}
function finish() {
  const streams = {};
  for (const r of records) streams[r.codes()] = (streams[r.codes()] || 0) + 1;
  report({ records: records.length, streams });
}
const commands = [];
for (const station of opts.stations) {
  const [net, sta] = station.split('_');
  // From the oldest packet the server holds (a bare DATA waits for new ones).
  commands.push(opts.proto === '3' ? 'STATION ' + sta + ' ' + net : 'STATION ' + station,
                opts.proto === '3' ? 'TIME 1970,01,01,00,00,00' : 'DATA 0');
}
const failed = (e) => report({ error: String(e && e.message || e), records: records.length });
let connection;
if (opts.proto === '3') {
  connection = new sp.seedlink.SeedlinkConnection(opts.url, commands.slice(0, -1),
      (packet) => received(packet.miniseed), failed);
  connection.command = commands[commands.length - 1];
} else {
  connection = new sp.seedlink4.SeedlinkConnection(opts.url, commands, (packet) => {
    if (packet.isMiniseed()) received(packet.asMiniseed());
  }, failed);
}
setTimeout(finish, opts.seconds * 1000);
connection.connect();
`;

// ---- the server ----

const waiting = [];  // answers to /wait, sent once a result came
let results = 0;
let released = 0;
function release() {
  while (waiting.length > 0 && released < results) {
    send(waiting.shift(), 200, 'image/gif', pixel);
    ++released;
  }
}
const pixel = Buffer.from('R0lGODlhAQABAAAAACw=', 'base64');
const types = { '.js': 'text/javascript', '.mjs': 'text/javascript', '.css': 'text/css',
                '.json': 'application/json', '.html': 'text/html' };
function send(res, status, type, body) {
  res.writeHead(status, { 'Content-Type': type, 'Cache-Control': 'no-store' });
  res.end(body);
}
const server = createServer((req, res) => {
  const path = new URL(req.url, 'http://127.0.0.1').pathname;
  if (req.method === 'POST' && path === '/result') {
    let body = '';
    req.on('data', (chunk) => { if (body.length < 65536) body += chunk; });
    req.on('end', () => {
      console.log(`result ${body}`);
      ++results;
      send(res, 200, 'text/plain', 'ok');
      release();
    });
    return;
  }
  if (path === '/wait') {
    // The n-th page to ask waits for the n-th result.
    waiting.push(res);
    release();
    return;
  }
  if (path === '/') return send(res, 200, 'text/html', page);
  if (path === '/app.mjs') return send(res, 200, 'text/javascript', app);
  if (path === '/cjs-loader.mjs') return send(res, 200, 'text/javascript', cjsLoader);
  if (shims[path]) return send(res, 200, 'text/javascript', shims[path]);
  if (path.startsWith('/nm/')) {
    const file = normalize(join(modulesDir, decodeURIComponent(path.slice(4))));
    if (file.startsWith(modulesDir + '/') && existsSync(file)) {
      const ext = file.slice(file.lastIndexOf('.'));
      try {
        return send(res, 200, types[ext] || 'application/octet-stream', readFileSync(file));
      } catch { /* a folder */ }
    }
  }
  send(res, 404, 'text/plain', 'not found');
});
server.listen(0, '127.0.0.1', () => {
  console.log(`serving http://127.0.0.1:${server.address().port}/`);
});
