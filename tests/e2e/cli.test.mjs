// The program's own command line, run from its installed folder on stores of its own: storing and
// removing settings, the messages, and a replayed request whose trace appears on the console. The
// refusals and the trace's masking are checked on the same program by tests/front.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { rmSync } from 'node:fs';
import { env, folder, simAddress, runProgram, storedForm } from './lib.mjs';

const T = { timeout: 120000 };
let n = 0;
function freshStore() {
  const file = `${env.work}/cli-${process.pid}-${++n}.db`;
  for (const s of ['', '-wal', '-shm', '-journal']) rmSync(file + s, { force: true });
  return file;
}
const run = (registry, ...args) => runProgram(args, { registry });
const usageHead = 'Usage for korproxy: \n';

test('messages of the command line', T, () => {
  const cases = [
    // arguments, text the console must show, text it must not show
    [['-proxyId=x'], usageHead, 'Password file has been updated'],
    [['-proxyPassword=x'], usageHead, 'Password file has been updated'],
    [['-Tcps=h'], 'ERROR: Invalid option entered (-Tcps=h).\n', 'Default options'],
    [['-foo=1'], 'ERROR: Invalid option entered (-foo=1).\n', 'Default options'],
    [['-foo'], 'ERROR: Invalid option entered (-foo), no value specified.\n', 'Default options'],
    [['-tcps=h'], 'Default options have been updated.\n', usageHead],
    [['-proxyId=a', '-proxyPassword=b'], 'Password file has been updated\n', usageHead],
  ];
  for (const [args, shown, absent] of cases) {
    const r = run(freshStore(), ...args);
    assert.equal(r.status, 0, args.join(' '));
    assert.ok(r.out.includes(shown), `${args.join(' ')}: expected ${JSON.stringify(shown)} in\n${r.out}`);
    assert.ok(!r.out.includes(absent), `${args.join(' ')}: unexpected ${JSON.stringify(absent)}`);
  }
  const usage = run(freshStore(), '-proxyId=only').out;
  assert.ok(usage.includes('   -uninstall\n\tUninstall the web proxy.\n\n'), usage);
  assert.match(usage, / {3}\tSERVER=<[a-z]+:\/\/[^>]+:1500>&URL=<url> where <> denotes input\n\tinformation\n/);
});

test('stored defaults and credentials are what the setup form shows, and -uninstall removes them all', T, () => {
  const reg = freshStore();
  const r = run(reg, '-tcps=127.0.0.1', `-tcpp=${env.simPort}`, `-cgiUrl=${folder}`, '-trace=',
    '-allowServers=h', `-proxyId=${env.adminId}`, `-proxyPassword=${env.adminPassword}`);
  assert.equal(r.out, 'Default options have been updated.\nPassword file has been updated\n');
  const form = { SETUP: 'SETUP', ID: env.adminId, PSWD: '', CGIURL: folder, DADDRESS: '127.0.0.1',
    DPORT: env.simPort, ALLOWED: 'h' };
  assert.deepEqual(storedForm(reg), form);
  run(reg, '-webUser=w', '-proxyId=a', '-proxyPassword=b');
  assert.equal(run(reg, '-uninstall', '-tcps=ignored').out, '');
  const empty = Object.fromEntries(Object.keys(form).map((k) => [k, k === 'SETUP' ? 'SETUP' : '']));
  assert.deepEqual(storedForm(reg), empty);
  assert.equal(run(reg, '-webUsers').out, '');
});

test('-request= replays a request with its trace on the console', T, () => {
  const reg = freshStore();
  run(reg, `-proxyId=${env.adminId}`, `-proxyPassword=${env.adminPassword}`, `-cgiUrl=${folder}`);
  const request = `SERVER=${simAddress()}&URL=/`;
  const r = run(reg, `-request=${request}`);
  assert.equal(r.status, 0);
  assert.ok(r.out.startsWith(`Processing request (${request})\n`), r.out.slice(0, 300));
  assert.match(r.out, /\(korproxy, \d+\) In doGetRequest\n/);
  assert.match(r.out, /Content-type: text\/html\nProxy: KORPROXY\//);
  assert.match(r.out, /\(smsess, \d+\)/, 'no session trace on the console');
  assert.ok(!r.out.includes(env.adminPassword), 'the password reached the console');
});
