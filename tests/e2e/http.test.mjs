// Through lighttpd and the deployment's own configuration, with the simulator behind the proxy: what
// the web server itself shapes (the folder URL forms and SCRIPT_NAME, the login, the CGI header
// block, the request body) on the jump page, the setup form, a relayed page and the error pages.
// What the program does with a request is checked on the program itself by tests/front. The steps
// share one store and run in order.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { env, folder, simAddress, http, query, storedForm, fieldValues, runProgram } from './lib.mjs';

const T = { timeout: 120000 };
const formAction = (html) => html.match(/<form\b[^>]*\baction="?([^"\s>]*)/i)?.[1];

function setupQuery(fields) {
  return '?' + query({ SETUP: 'SETUP', ID: env.adminId, PSWD: env.adminPassword, CGIURL: '/cgi-bin',
    DADDRESS: '127.0.0.1', DPORT: env.simPort, ...fields });
}

function assertPage(r, what, error = undefined) {
  assert.equal(r.status, 200, what);
  if (error === undefined) {
    assert.match(r.headers.get('proxy') ?? '', /^KORPROXY\//, `${what}: not a relayed page`);
    assert.doesNotMatch(r.text, /<h2>Error!<\/h2>/, `${what}: error page`);
  } else {
    assert.ok(r.text.includes('<h2>Error!</h2>') && r.text.includes(error), `${what}: no "${error}" in\n${r.text}`);
  }
}

test('with an empty store every form of the folder URL shows the jump page', T, async () => {
  for (const path of [folder, folder + '/', folder + '/korproxy']) {
    const r = await http(path);
    assert.equal(r.status, 200, path);
    assert.equal(r.headers.get('proxy'), null, path);
    assert.equal(formAction(r.text), folder + '/korproxy', `${path}: form action is SCRIPT_NAME`);
    assert.ok(r.text.includes('"?CONFIG=1"'), `${path}: no link to the setup form`);
  }
});

test('the setup form stores the settings, keeps the password on an empty one, and never shows it', T, async () => {
  const stored = { SETUP: 'SETUP', ID: env.adminId, PSWD: '', CGIURL: '/cgi-bin/velkproxy',
    DADDRESS: '127.0.0.1', DPORT: env.simPort, ALLOWED: '' };
  assertPage(await http(folder + '/' + setupQuery({}), { login: true }), 'first setup');
  assert.deepEqual(storedForm(), stored);
  const again = await http(folder + setupQuery({ PSWD: '', CGIURL: '/cgi-bin/velkproxy' }), { login: true });
  assertPage(again, 'second setup');
  assert.deepEqual(fieldValues((await http(`${folder}?CONFIG=1`, { login: true })).text), stored);
  for (const path of [folder, folder + '/']) assertPage(await http(path), `${path} with a default server`);
  assert.equal(formAction((await http(`${folder}?JUMP=1`)).text), folder, 'jump form posts to the stored CGI URL');
});

test('a relayed page arrives byte for byte as the program wrote it after its header block', T, async () => {
  const q = query({ SERVER: simAddress(), URL: '/size/70000' });
  const r = await http(`${folder}/?${q}`);
  assertPage(r, 'sized page');
  const direct = runProgram([], { cgi: { REQUEST_METHOD: 'GET', QUERY_STRING: q, SCRIPT_NAME: folder } }).out;
  assert.ok(r.text === direct.slice(direct.indexOf('\n\n') + 2), 'the web server changed the page');
});

test('error pages reach the browser: refused connection, wrong password, no proxy capability, big POST', T, async () => {
  const page = (port) => http(`${folder}/?${query({ SERVER: `127.0.0.1:${port}`, URL: '/' })}`);
  const cases = [
    [page(env.refusedPort), 'An internal error occured in the session layer.<br>\n'],
    [page(env.otherPasswordPort), 'Proxy password has expired.'],
    [page(env.noProxyPort), 'does not support the proxy protocol.'],
    [http(folder, { method: 'POST', body: `SERVER=${simAddress()}&URL=/&x=` + 'a'.repeat(1024 * 1024) }),
      'Request body too large'],
  ];
  for (const [answer, sentence] of cases) assertPage(await answer, sentence, sentence);
});
