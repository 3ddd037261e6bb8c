// The server's web view in a real browser: Debian's chromium driven by puppeteer-core. The programs come
// from the environment: VELTARI_SERVER, VELTARI_CLI, VELTARI_DEMO, CHROMIUM; VELTARI_SCREENSHOT names the
// picture written for the README.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import http from 'node:http';
import puppeteer from 'puppeteer-core';

const env = name => {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set`);
  return value;
};
const server = env('VELTARI_SERVER');
const cli = env('VELTARI_CLI');
const demo = env('VELTARI_DEMO');
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

const scratch = mkdtempSync(join(tmpdir(), 'veltari-web-'));
const runtimeDir = join(scratch, 'run');
const children = [];
let serverProcess, url, port, token, browser, page;

// A program of the project, with the private pipe directory; its output is collected as it comes.
function start(program, args) {
  const child = spawn(program, args, {
    env: { ...process.env, XDG_RUNTIME_DIR: runtimeDir },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  child.output = '';
  child.stdout.on('data', d => { child.output += d; });
  child.stderr.on('data', d => { child.output += d; });
  child.on('error', e => { child.output += `${e}\n`; });
  child.exited = new Promise(resolve => child.on('exit', code => resolve(code)));
  children.push(child);
  return child;
}

async function waitFor(what, condition, ms = 10000) {
  const end = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise(r => setTimeout(r, 10));
  }
}

function request(method, path, headers = {}) {
  return new Promise((resolve, reject) => {
    const r = http.request({ host: '127.0.0.1', port, method, path, headers }, res => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    r.on('error', reject);
    r.end();
  });
}

const listenerCount = () => page.$eval('#listeners', e => parseInt(e.textContent, 10));
const fill = id => page.$eval(`#led-${id}`, e => e.getAttribute('fill'));

before(async () => {
  mkdirSync(runtimeDir, { mode: 0o700 });
  serverProcess = start(server, ['--web', '--no-view', '--no-stdin', '--runtime-dir', runtimeDir]);
  await waitFor('the web address', () => /http:\/\/\S+token=\w+/.test(serverProcess.output));
  url = serverProcess.output.match(/http:\/\/\S+token=\w+/)[0];
  const parsed = new URL(url);
  port = Number(parsed.port);
  token = parsed.searchParams.get('token');
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: join(scratch, 'profile'),
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(url);
  await page.waitForSelector('#led-60');
});

after(async () => {
  if (browser) await browser.close();
  for (const child of children) if (child.exitCode === null) child.kill('SIGTERM');
  if (serverProcess) assert.equal(await serverProcess.exited, 0, serverProcess.output);
  rmSync(scratch, { recursive: true, force: true });
});

test('the page lists the four devices with their LEDs, also in a narrow window', async () => {
  const devices = await page.$$eval('.device', sections => sections.map(s => ({
    title: s.querySelector('h2').textContent,
    declared: Number(s.dataset.ledCount),
    drawn: s.querySelectorAll('svg rect').length,
  })));
  assert.deepEqual(devices.map(d => d.drawn), [108, 5, 3, 44]);
  assert.deepEqual(devices.map(d => d.declared), [108, 5, 3, 44]);
  assert.match(devices[0].title, /K104 Keyboard/);
  assert.equal(await page.$eval('g[data-key="A"] text', e => e.textContent), 'A');
  assert.match(await page.$eval('.device', e => e.textContent), /BrightnessPercent/);

  await page.setViewport({ width: 360, height: 800 });
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  await page.setViewport({ width: 1280, height: 900 });
  assert.ok(overflow <= 0, `the page is ${overflow} px wider than a narrow window`);
});

test('a colour set through the library reaches its LED within 200 ms, and leaves with its client', async () => {
  assert.equal(await fill(60), '#282828');
  await page.evaluate(() => {
    window.changedAt = null;
    const led = document.getElementById('led-60');
    new MutationObserver(() => { window.changedAt ??= performance.now(); }).observe(led, { attributes: true });
  });
  const spawnedAt = await page.evaluate(() => performance.now());
  const setter = start(cli, ['set', '60=#ff8000', '--hold']);
  // The set has been answered once the tool says so; from then on the page has 200 ms.
  await waitFor('the set', () => /holding/.test(setter.output));
  const answeredAt = await page.evaluate(() => performance.now());
  await page.waitForFunction(() => document.getElementById('led-60').getAttribute('fill') === '#ff8000',
    { timeout: 2000 });
  const latency = await page.evaluate(() => window.changedAt) - answeredAt;
  const sinceStart = await page.evaluate(() => window.changedAt) - spawnedAt;
  console.log(`colour on the page ${sinceStart.toFixed(0)} ms after the tool started, ` +
    `${Math.max(latency, 0).toFixed(0)} ms after it reported the set`);
  assert.ok(latency < 200, `the colour took ${latency.toFixed(0)} ms to appear`);
  assert.equal(await fill(61), '#282828');
  assert.equal(await page.$$eval('#clients tbody tr', rows => rows.length), 1);

  setter.kill('SIGINT');
  await setter.exited;
  await page.waitForFunction(() => document.getElementById('led-60').getAttribute('fill') === '#282828');
  await page.waitForFunction(() => document.querySelectorAll('#clients tbody tr').length === 0);
});

test('clicking the A key and typing B send presses and releases to a registered client', async () => {
  const watcher = start(cli, ['watch', '--count', '4', '--seconds', '20']);
  await waitFor('the watcher', () => watcher.output.includes('watching'));
  await page.waitForFunction(() => parseInt(document.getElementById('listeners').textContent, 10) === 1);
  await page.click('g[data-key="A"]');
  await page.keyboard.press('KeyB');
  assert.equal(await watcher.exited, 0, watcher.output);
  const events = watcher.output.match(/key \S+(?: \(\d+\))? (down|up)/g) ?? [];
  assert.deepEqual(events.map(e => e.replace(/^key (?:A \(65\)|A|65) /, 'A ').replace(/^key (?:B \(66\)|B|66) /, 'B ')),
    ['A down', 'A up', 'B down', 'B up']);
});

test('requests without the token or with a foreign Host are refused and press nothing', async () => {
  const watcher = start(cli, ['watch', '--seconds', '2']);
  await waitFor('the watcher', () => watcher.output.includes('watching'));
  await page.waitForFunction(() => parseInt(document.getElementById('listeners').textContent, 10) === 1);
  const key = '/api/key?vendorKey=65&pressed=true';
  const headers = { 'Content-Length': '0' };
  assert.equal(await request('POST', key, headers), 403);
  assert.equal(await request('POST', key, { ...headers, 'X-Veltari-Token': 'f'.repeat(32) }), 403);
  assert.equal(await request('POST', key, { ...headers, 'X-Veltari-Token': token, Host: `attacker.example:${port}` }), 403);
  assert.equal(await request('POST', key, { ...headers, 'X-Veltari-Token': token, Origin: 'http://attacker.example' }), 403);
  assert.equal(await request('GET', '/', { Host: `attacker.example:${port}` }), 403);
  assert.equal(await request('GET', '/api/events?token=0'), 403);
  // Another page open in the same browser cannot press keys either.
  const other = await browser.newPage();
  const status = await other.evaluate(async target => {
    try {
      const r = await fetch(target, { method: 'POST', headers: { 'X-Veltari-Token': 'guess' } });
      return r.status;
    } catch { return 'blocked'; }
  }, `http://127.0.0.1:${port}/api/key?vendorKey=65&pressed=true`);
  await other.close();
  assert.ok(status === 'blocked' || status === 403, `a foreign page's press was answered ${status}`);
  assert.equal(await watcher.exited, 0, watcher.output);
  assert.match(watcher.output, /\b0 events seen/);
});

test('the demo animates the page; the screenshot is written', async () => {
  const animation = start(demo, ['--seconds', '8', '--fps', '30']);
  await page.waitForFunction(() => window.veltariStats.perSecond >= 10, { timeout: 8000 });
  const cpuTicks = () => readFileSync(`/proc/${serverProcess.pid}/stat`, 'utf8').split(') ')[1].split(' ')
    .slice(11, 13).reduce((a, b) => a + Number(b), 0);
  const ticks = cpuTicks();
  const updates = await page.evaluate(() => window.veltariStats.updates);
  await new Promise(r => setTimeout(r, 3000));
  const rate = (await page.evaluate(() => window.veltariStats.updates) - updates) / 3;
  const cpu = (cpuTicks() - ticks) / 100 / 3 * 100;
  console.log(`with the demo at 30 fps: page ${rate.toFixed(1)} updates/s, server CPU ${cpu.toFixed(1)} %`);
  assert.ok(rate > 10 && rate <= 61, `update rate ${rate}`);
  await page.mouse.move(0, 0);
  if (process.env.VELTARI_SCREENSHOT) await page.screenshot({ path: process.env.VELTARI_SCREENSHOT, fullPage: true });
  await animation.exited;
});
