// Shared helpers of the end-to-end tests: the set-up that run.sh passed in, bounded HTTP requests
// through the web server, direct runs of the installed program, and a small HTML reader for the
// simulator's pages and the proxy's own.
import { spawnSync } from 'node:child_process';
import { readFileSync, existsSync } from 'node:fs';

// Each field from the variable E2E_ plus its name in capitals with underscores (cgiDir: E2E_CGI_DIR).
const fields = ['base', 'cgiDir', 'registry', 'sim', 'simLog', 'simPort', 'noProxyPort',
  'otherPasswordPort', 'refusedPort', 'adminId', 'adminPassword', 'ownId', 'ownPassword',
  'setupUser', 'setupPassword', 'shots', 'work'];
export const env = Object.fromEntries(fields.map((f) => {
  const name = 'E2E_' + f.replace(/[A-Z]/g, (c) => '_' + c).toUpperCase();
  if (!process.env[name]) throw new Error(`${name} is not set: run the tests through tests/e2e/run.sh`);
  return [f, process.env[name]];
}));

export const folder = '/cgi-bin/velkproxy';
export const simAddress = () => `127.0.0.1:${env.simPort}`;
const loginHeader =
  'Basic ' + Buffer.from(`${env.setupUser}:${env.setupPassword}`).toString('base64');

// One request through the web server; the body comes back as bytes and as Latin-1 text, since the
// proxy relays single-byte pages unchanged.
export async function http(path, { method = 'GET', body, login = false, headers = {} } = {}) {
  const h = { ...headers };
  if (login) h.Authorization = loginHeader;
  if (body !== undefined) h['Content-Type'] = 'application/x-www-form-urlencoded';
  const res = await fetch(env.base + path, {
    method, body, headers: h, redirect: 'manual', signal: AbortSignal.timeout(60000),
  });
  const bytes = Buffer.from(await res.arrayBuffer());
  return { status: res.status, headers: res.headers, bytes, text: bytes.toString('latin1') };
}

export const query = (pairs) => new URLSearchParams(pairs).toString();

// Runs the installed program from its folder, as the web server does, with a bounded time.
export function runProgram(args, { registry = env.registry, cgi, input } = {}) {
  const e = { PATH: process.env.PATH, KORPROXY_REGISTRY: registry };
  if (cgi) Object.assign(e, cgi);
  const r = spawnSync('./korproxy', args, {
    cwd: env.cgiDir, env: e, input: input ?? '', timeout: 60000, encoding: 'latin1',
  });
  if (r.error) throw r.error;
  return { status: r.status, out: r.stdout, err: r.stderr };
}

// The setup form's current values, read straight from the program as a signed-in user would see
// them (no web server involved).
export function storedForm(registry = env.registry) {
  const r = runProgram([], {
    registry,
    cgi: { REQUEST_METHOD: 'GET', QUERY_STRING: 'CONFIG=1', SCRIPT_NAME: folder, REMOTE_USER: 'setup' },
  });
  return fieldValues(r.out);
}

export function fieldValues(html) {
  const out = {};
  for (const m of html.matchAll(/<INPUT\b[^>]*>/gi)) {
    const name = attr(m[0], 'name');
    if (name) out[name] = attr(m[0], 'value') ?? '';
  }
  return out;
}

export function attr(tag, name) {
  const re = new RegExp(`\\b${name}\\s*=\\s*(?:"([^"]*)"|'([^']*)'|([^\\s>]+))`, 'i');
  const m = tag.match(re);
  return m ? decodeEntities(m[1] ?? m[2] ?? m[3]) : undefined;
}

export function decodeEntities(s) {
  return s.replace(/&(amp|lt|gt|quot|#39|#x27|apos);/g, (_, e) =>
    ({ amp: '&', lt: '<', gt: '>', quot: '"', '#39': "'", '#x27': "'", apos: "'" })[e]);
}

export function links(html) {
  return [...html.matchAll(/<a\b[^>]*>/gi)].map((m) => attr(m[0], 'href')).filter(Boolean);
}

// Forms with their method, action and fields in document order.
export function forms(html) {
  return [...html.matchAll(/<form\b([^>]*)>([\s\S]*?)<\/form>/gi)].map((m) => ({
    method: (attr(`<f ${m[1]}>`, 'method') ?? 'GET').toUpperCase(),
    action: attr(`<f ${m[1]}>`, 'action') ?? '',
    fields: [...m[2].matchAll(/<(input|textarea|select)\b[^>]*>/gi)]
      .map((f) => ({ tag: f[0], type: (attr(f[0], 'type') ?? 'text').toLowerCase(),
        name: attr(f[0], 'name'), value: attr(f[0], 'value') ?? '' }))
      .filter((f) => f.name),
  }));
}

// A link or form action of a relayed page, made into a path on the web server.
export function localPath(href) {
  const u = new URL(href, env.base + folder + '/');
  return u.pathname + u.search;
}

// The server's form of a URL value, as the proxy must send it: an independent rendering of the
// conversion rules (percent-encode all but letters, digits and "_"; slashes inside an object name
// become %2F; a group, class, operation or task token ends the object name).
export function serverForm(value) {
  if (!value.includes('object')) return value;
  const escape = (t) => [...Buffer.from(t, 'latin1')].map((b) => {
    const c = String.fromCharCode(b);
    return /[A-Za-z0-9_]/.test(c) ? c : '%' + b.toString(16).toUpperCase().padStart(2, '0');
  }).join('');
  let out = '';
  let inObject = false; // within an object name, whose first token follows the object token
  let afterObject = false;
  for (const t of value.slice(1).split('/')) {
    if (['group', 'class', 'operation', 'task'].some((k) => t.startsWith(k))) inObject = false;
    out += (inObject && !afterObject ? '%2F' : '/') + escape(t);
    afterObject = false;
    if (t.startsWith('object')) inObject = afterObject = true;
  }
  return out;
}

// The page the simulator serves for one command, before the proxy touches it.
export function simPage(command) {
  const r = spawnSync(env.sim, ['--admin-id', env.adminId, '--admin-password', env.adminPassword,
    '--listen', simAddress(), '--print-page', command], { timeout: 30000 });
  if (r.error || r.status !== 0) {
    throw new Error(`velk-sim --print-page failed (status ${r.status}): ${r.stderr}`);
  }
  return r.stdout;
}

// What the browser must receive for a relayed page: one empty line, then the page with the
// server's own header lines blanked up to their line feeds.
export function relayed(page) {
  const s = Buffer.from(page).toString('latin1');
  const end = s.includes('\0') ? s.indexOf('\0') : s.length;
  const head = s.slice(0, end).replace(/(Content-type|HTTP\/1\.0 200|Server: VELK_HTTP)[^\n]*/g,
    (line) => ' '.repeat(line.length));
  return Buffer.from('\n' + head + s.slice(end), 'latin1');
}

export const simLog = () => (existsSync(env.simLog) ? readFileSync(env.simLog, 'latin1') : '');
