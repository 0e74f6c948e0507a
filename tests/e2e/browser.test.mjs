// The flow a new administrator follows, in Debian's chromium: the jump page on an empty store, the
// setup form, the start page through the proxy, a link to a POST form, and the form; then a signed-in user
// storing a logon of their own and reaching the server under it. Each step leaves a screenshot in
// the shots folder.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';
import { env, folder } from './lib.mjs';

const T = { timeout: 180000 };
let context;
let page;
let profile;

before(async () => {
  for (const s of ['', '-wal', '-shm', '-journal']) rmSync(env.registry + s, { force: true });
  mkdirSync(env.shots, { recursive: true });
  profile = mkdtempSync(join(tmpdir(), 'korproxy-e2e-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.E2E_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    timeout: 60000,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    httpCredentials: { username: env.setupUser, password: env.setupPassword },
  });
  context.setDefaultTimeout(30000);
  page = await context.newPage();
});

after(async () => {
  await context?.close();
  if (profile) rmSync(profile, { recursive: true, force: true });
});

const shot = (name) => page.screenshot({ path: join(env.shots, `${name}.png`), fullPage: true });

// Runs the action that leaves the page and gives the answer of the navigation it caused.
async function navigate(action) {
  return (await Promise.all([page.waitForNavigation(), action()]))[0];
}
const errorPages = () => page.locator('h2', { hasText: 'Error!' }).count();

// The answer came from the server through the proxy, and it is no error page.
async function assertRelayed(answer, what) {
  assert.equal(answer.headers().proxy?.startsWith('KORPROXY/'), true, `${what} not relayed`);
  assert.equal(await errorPages(), 0, `${what}: error page`);
}

test('a new administrator reaches the server site through the proxy', T, async () => {
  assert.equal((await page.goto(env.base + folder + '/')).status(), 200);
  assert.equal(await errorPages(), 0, 'jump page: error page');
  assert.ok(await page.locator('input[name=SERVER]').isVisible(), 'jump page asks for a server');
  await shot('01-jump-page');

  await page.click('#setup-link');
  await page.waitForSelector('input[name=ID]');
  assert.equal(await page.inputValue('input[name=PSWD]'), '');
  const values = { ID: env.adminId, PSWD: env.adminPassword, CGIURL: '/cgi-bin', DADDRESS: '127.0.0.1',
    DPORT: env.simPort };
  for (const [name, value] of Object.entries(values)) await page.fill(`input[name=${name}]`, value);
  await shot('02-setup-form');

  const start = await navigate(() => page.click('input[type=submit]'));
  assert.equal(start.status(), 200);
  await assertRelayed(start, 'start page');
  await shot('03-start-page');

  // The simulator's start page links its POST form, a page of its own.
  const link = page.locator('a[href*="URL="]', { hasText: 'Register a node' }).first();
  assert.ok(await link.count(), 'start page has no link to the form back through the proxy');
  await assertRelayed(await navigate(() => link.click()), 'linked page');
  await shot('04-linked-page');
  await page.fill('form[method=post] input[name=node]', 'browser posted value');
  const posted = await navigate(() => page.click('form[method=post] button[type=submit]'));
  assert.equal(posted.request().method(), 'POST');
  await assertRelayed(posted, 'POST answer');
  assert.ok((await page.content()).includes('browser posted value'), 'posted value not shown');
  await shot('05-post-answer');
});

test('a signed-in user stores a logon of their own and reaches the server under it', T, async () => {
  await page.goto(env.base + folder + '/?JUMP=1');
  await page.click('#logon-link');
  await page.waitForSelector('input[name=ID]');
  assert.ok((await page.content()).includes(env.setupUser), 'the form names the signed-in user');
  assert.equal(await page.inputValue('input[name=PSWD]'), '');
  await page.fill('input[name=ID]', env.ownId);
  await page.fill('input[name=PSWD]', env.ownPassword);
  await shot('06-logon-form');

  await assertRelayed(await navigate(() => page.click('input[type=submit]')), 'own logon start page');
  assert.ok((await page.content()).includes(`signed on as ${env.ownId}`), 'not under the own logon');
  await shot('07-start-page-own-logon');

  // Removed again, the shared administrator takes over.
  await page.goto(env.base + folder + '/?LOGON=1');
  await assertRelayed(await navigate(() => page.click('#logon-delete-link')), 'start page after the removal');
  assert.ok((await page.content()).includes(`signed on as ${env.adminId}`), 'not the shared logon');
});
