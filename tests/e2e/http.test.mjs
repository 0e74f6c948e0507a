// Through lighttpd and the deployment's own configuration, with the simulator behind the proxy:
// the jump page, the protected setup form, storing settings, relayed pages, object links, a POST
// form, and the error pages a browser meets. The steps share one store and run in order.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import {
  env, folder, simAddress, http, query, storedForm, fieldValues, links, forms, localPath,
  serverForm, simPage, relayed, simLog,
} from './lib.mjs';

const T = { timeout: 120000 };
const markers = ['<!--FORM-->', '<!--COPYRIGHT-->', '<!--ID-->', '<!--PSWD-->', '<!--CGIURL-->',
  '<!--DADDRESS-->', '<!--DPORT-->'];

function setupQuery(fields) {
  return '?' + query({ SETUP: 'SETUP', ID: env.adminId, PSWD: env.adminPassword, CGIURL: '/cgi-bin',
    DADDRESS: '127.0.0.1', DPORT: env.simPort, ...fields });
}

function assertRelayed(r, what) {
  assert.equal(r.status, 200, what);
  assert.match(r.headers.get('proxy') ?? '', /^KORPROXY\//, `${what}: not a relayed page`);
  assert.doesNotMatch(r.text, /<h2>Error!<\/h2>/, `${what}: error page`);
}

function assertErrorPage(r, sentence, what) {
  assert.equal(r.status, 200, what);
  assert.match(r.text, /<h2>Error!<\/h2>/, `${what}: no error page`);
  assert.ok(r.text.includes(sentence), `${what}: expected "${sentence}" in\n${r.text}`);
}

test('with an empty store every form of the folder URL shows the jump page', T, async () => {
  for (const path of [folder, folder + '/', folder + '/korproxy']) {
    const r = await http(path);
    assert.equal(r.status, 200, path);
    assert.equal(r.headers.get('proxy'), null, path);
    for (const m of markers.slice(0, 2)) assert.ok(!r.text.includes(m), `${path}: ${m} left`);
    const [form] = forms(r.text);
    assert.equal(form.method, 'GET', path);
    assert.equal(form.action, folder + '/korproxy', `${path}: form action is SCRIPT_NAME`);
    assert.deepEqual(form.fields.map((f) => f.name), ['SERVER', 'URL'], path);
    assert.ok(links(r.text).includes('?CONFIG=1'), `${path}: no link to the setup form`);
  }
});

test('the setup form, storing settings and FORCETRACE need the web login', T, async () => {
  const guarded = ['CONFIG=1', 'config=1', 'Setup=SETUP&ID=x', 'FORCETRACE=1&JUMP=1',
    'JUMP=1&%26CONFIG=1', 'x=1&%43ONFIG=1', 'SERVER=h%3A1&URL=%2F%26SETUP%3DSETUP', 'LOGON=1'];
  for (const q of guarded) assert.equal((await http(`${folder}/?${q}`)).status, 401, q);
  for (const q of ['JUMP=1', 'SERVER=x&URL=%2Fconfig%2Fsetup', 'URL=%2Fobject%2Fa.b']) {
    assert.notEqual((await http(`${folder}/?${q}`)).status, 401, q);
  }
});

test('the setup form carries every field and never the stored password', T, async () => {
  const r = await http(`${folder}?CONFIG=1`, { login: true });
  assert.equal(r.status, 200);
  for (const m of markers) assert.ok(!r.text.includes(m), `${m} left in the setup form`);
  const [form] = forms(r.text);
  assert.equal(form.method, 'GET');
  assert.deepEqual(form.fields.map((f) => f.name), ['SETUP', 'ID', 'PSWD', 'CGIURL', 'DADDRESS', 'DPORT', 'ALLOWED']);
  const types = Object.fromEntries(form.fields.map((f) => [f.name, f.type]));
  assert.deepEqual([types.SETUP, types.PSWD], ['hidden', 'password']);
  assert.deepEqual(fieldValues(r.text), { SETUP: 'SETUP', ID: '', PSWD: '', CGIURL: '', DADDRESS: '', DPORT: '', ALLOWED: '' });
});

test('the setup form stores the settings and leads to the start page', T, async () => {
  const r = await http(folder + '/' + setupQuery({}), { login: true });
  assertRelayed(r, 'first setup');
  assert.deepEqual(storedForm(), { SETUP: 'SETUP', ID: env.adminId, PSWD: '',
    CGIURL: '/cgi-bin/velkproxy', DADDRESS: '127.0.0.1', DPORT: env.simPort, ALLOWED: '' });
});

test('a second setup with an empty password keeps it, and the pages follow the stored defaults', T, async () => {
  const again = await http(folder + setupQuery({ PSWD: '', CGIURL: '/cgi-bin/velkproxy' }), { login: true });
  assertRelayed(again, 'second setup');
  for (const path of [folder, folder + '/']) assertRelayed(await http(path), `${path} with a default server`);
  const jump = await http(`${folder}?JUMP=1`);
  assert.equal(forms(jump.text)[0].action, folder, 'jump form posts to the stored CGI URL');
});

test('values are written into the setup form escaped', T, async () => {
  const odd = `127.0.0.1"><b>'`;
  await http(folder + setupQuery({ DADDRESS: odd, PSWD: '' }), { login: true });
  const raw = (await http(`${folder}?CONFIG=1`, { login: true })).text;
  assert.ok(raw.includes('VALUE="127.0.0.1&quot;&gt;&lt;b&gt;&'), raw);
  assert.ok(!/VALUE="[^"]*'/.test(raw), 'a quote reached the page unescaped');
  assert.ok(!raw.includes('"><b>'), 'raw markup from the store reached the page');
  await http(folder + setupQuery({ PSWD: '' }), { login: true });
  assert.equal(storedForm().DADDRESS, '127.0.0.1');
});

const startPage = () => http(`${folder}/?${query({ SERVER: simAddress(), URL: '/' })}`);

test('a relayed page arrives byte for byte, the server header lines blanked', T, async () => {
  const r = await startPage();
  assertRelayed(r, 'start page');
  const expected = relayed(simPage(`HTML / PROXYURL=${folder}\n`));
  assert.equal(r.bytes.length, expected.length, 'length of the relayed page');
  assert.ok(r.bytes.equals(expected), 'relayed bytes differ from the server page');
});

test('an object link is converted to the server form on its way', T, async () => {
  const hrefs = links((await startPage()).text).map(localPath);
  const pick = hrefs.map((h) => ({ h, url: new URL(h, env.base).searchParams.get('URL') }))
    .find(({ url }) => url && serverForm(url) !== url);
  assert.ok(pick, `no object link with characters to convert among ${hrefs.join(' ')}`);
  const r = await http(pick.h);
  assertRelayed(r, pick.h);
  assert.ok(simLog().includes(serverForm(pick.url)),
    `the simulator never saw ${serverForm(pick.url)} for ${pick.url}`);
});

// The first POST form on the start page or on a page it links to.
async function findPostForm() {
  const start = (await startPage()).text;
  const pages = [start];
  for (const h of links(start).map(localPath).slice(0, 15)) pages.push((await http(h)).text);
  for (const p of pages) {
    const f = forms(p).find((x) => x.method === 'POST');
    if (f) return f;
  }
  return undefined;
}

test('a POST form reaches the server and its answer comes back', T, async () => {
  const form = await findPostForm();
  assert.ok(form, 'no POST form on the simulator site');
  assert.deepEqual(form.fields.slice(0, 2).map((f) => f.name), ['SERVER', 'URL']);
  const fields = form.fields.filter((f) => !['submit', 'button', 'reset'].includes(f.type))
    .map((f) => [f.name, ['text', 'textarea', 'search'].includes(f.type) || f.tag.startsWith('<textarea')
      ? 'e2e posted value' : f.value]);
  const r = await http(localPath(form.action || folder), { method: 'POST', body: query(fields) });
  assertRelayed(r, 'POST');
  assert.ok(r.text.includes('e2e posted value'), `posted value not shown:\n${r.text}`);
});

test('error pages: refused connection, wrong password, no proxy capability', T, async () => {
  const cases = [
    // port, the page's sentence, and the refused connect gives its reason
    [env.refusedPort, 'An internal error occured in the session layer.<br>\n', 'Last error message: None.'],
    [env.otherPasswordPort, 'Proxy password has expired.'],
    [env.noProxyPort, 'server you were attempting to send this request to does not support the proxy protocol.'],
  ];
  for (const [port, sentence, absent] of cases) {
    const r = await http(`${folder}/?${query({ SERVER: `127.0.0.1:${port}`, URL: '/' })}`);
    assertErrorPage(r, sentence, `port ${port}`);
    assert.ok(r.text.includes('Return to Default Server'), `port ${port}: no return form`);
    assert.ok(!absent || !r.text.includes(absent), `port ${port}: "${absent}"`);
  }
});

test('a POST body over 1 MiB is refused before it is read', T, async () => {
  const body = `SERVER=${simAddress()}&URL=/&x=` + 'a'.repeat(1024 * 1024);
  assertErrorPage(await http(folder, { method: 'POST', body }), 'Request body too large', 'big POST');
});

test('FORCETRACE traces the query with the password hidden', T, async () => {
  const q = `?FORCETRACE=1&${setupQuery({}).slice(1)}`;
  assertRelayed(await http(folder + q, { login: true }), 'FORCETRACE with setup');
  const file = `${env.cgiDir}/proxytrace.txt`;
  assert.ok(existsSync(file), 'no proxytrace.txt in the program folder');
  const trace = readFileSync(file, 'latin1');
  assert.match(trace, /FORCETRACE option specified/);
  assert.match(trace, /Query was: .*PSWD=\*\*\*\*\*,/);
  assert.ok(!trace.includes(env.adminPassword), 'the password reached the trace');
});
