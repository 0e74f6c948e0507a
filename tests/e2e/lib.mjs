// Shared helpers of the end-to-end tests: the set-up that run.sh passed in, bounded HTTP requests
// through the web server, direct runs of the installed program, and the setup form's field values.
import { spawnSync } from 'node:child_process';

// Each field from the variable E2E_ plus its name in capitals with underscores (cgiDir: E2E_CGI_DIR).
const fields = ['base', 'cgiDir', 'registry', 'simPort', 'noProxyPort',
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
export function runProgram(args, { registry = env.registry, cgi } = {}) {
  const e = { PATH: process.env.PATH, KORPROXY_REGISTRY: registry };
  if (cgi) Object.assign(e, cgi);
  const r = spawnSync('./korproxy', args, {
    cwd: env.cgiDir, env: e, input: '', timeout: 60000, encoding: 'latin1',
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

// The INPUT fields' names and values of a page (the stored values are plain: no entities to read).
export function fieldValues(html) {
  const value = (tag, name) => tag.match(new RegExp(`\\b${name}\\s*=\\s*(?:"([^"]*)"|([^\\s>]+))`, 'i'));
  const out = {};
  for (const [tag] of html.matchAll(/<INPUT\b[^>]*>/gi)) {
    const [name, v] = [value(tag, 'name'), value(tag, 'value')];
    if (name) out[name[1] ?? name[2]] = v ? v[1] ?? v[2] : '';
  }
  return out;
}
