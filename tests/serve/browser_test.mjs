// ophost serve in a real browser: starts the server on a free loopback port, drives the page in
// headless Chromium (playwright-core, Debian's chromium), and checks that the preview follows the
// scrubber and the controls, that it is the very frame `ophost render` writes for the exported
// command line, that an uploaded texture reshapes a wipe, that a broken upload is refused while the
// server goes on serving, and that a page of another origin (and a foreign name rebound to the
// server's address) can neither upload, nor show a frame, nor start a render.
//
// Environment: OPHOST_PROGRAM (the ophost to test), OPHOST_PLUGINS and OPHOST_TEXTURES (passed on
// to it), SERVE_NODE_MODULES (where npm ci put playwright-core), SERVE_SCREENSHOT (optional: a
// PNG of the page is written there).
import assert from 'node:assert/strict';
import { execFile, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import os from 'node:os';
import path from 'node:path';

const program = process.env.OPHOST_PROGRAM;
if (!program || !process.env.SERVE_NODE_MODULES) {
  console.error('browser test: set OPHOST_PROGRAM and SERVE_NODE_MODULES (ctest does)');
  process.exit(2);
}
const require = createRequire(path.join(process.env.SERVE_NODE_MODULES, '..', 'package.json'));
const { chromium } = require('playwright-core');

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'ophost-serve-browser-'));
let server = null;
let context = null;
let elsewhere = null;  // the other origin's web server
let passed = 0;

async function cleanUp() {
  if (context) await context.close().catch(() => {});
  context = null;
  if (server && server.exitCode === null) server.kill('SIGKILL');
  if (elsewhere) elsewhere.close();
  elsewhere = null;
  fs.rmSync(scratch, { recursive: true, force: true });
}

// Everything below is bounded: each wait has its own limit, and the whole run has this one.
const giveUp = setTimeout(async () => {
  console.error('browser test: gave up after 280 s');
  await cleanUp();
  process.exit(1);
}, 280000);

function ok(what) {
  passed += 1;
  console.log(`ok ${passed} - ${what}`);
}

function run(file, args, options) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { timeout: 60000, ...options }, (error, stdout, stderr) =>
      error ? reject(new Error(`${file} ${args.join(' ')}: ${error.message}\n${stderr}`)) : resolve(stdout));
  });
}

async function startServer() {
  server = spawn(program, ['serve', '--port', '0'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  server.stderr.on('data', (data) => { err += data; });
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`no address printed within 30 s: ${out}${err}`)), 30000);
    server.stdout.on('data', (data) => {
      out += data;
      const address = out.match(/http:\/\/127\.0\.0\.1:(\d+)\//);
      const kept = out.match(/uploads kept in (\S+) until/);
      if (address && kept) {
        clearTimeout(timer);
        resolve({ address: address[0], workDirectory: kept[1], stderr: () => err });
      }
    });
    server.on('exit', (code) => {
      clearTimeout(timer);
      reject(new Error(`ophost serve ended (${code}) before it listened: ${out}${err}`));
    });
  });
}

// The frame on screen once the page has settled on a request that `wanted` accepts: its query and
// its PNG bytes, read back from the image element's own object URL.
async function shownFrame(page, wanted) {
  await page.waitForFunction(
    (pattern) => document.body.dataset.state === 'idle' &&
      new RegExp(pattern).test(document.getElementById('preview').dataset.query || ''),
    wanted.source, { timeout: 60000 });
  return page.evaluate(async () => {
    const image = document.getElementById('preview');
    const bytes = new Uint8Array(await (await fetch(image.src)).arrayBuffer());
    let binary = '';
    for (let n = 0; n < bytes.length; n += 0x8000) binary += String.fromCharCode(...bytes.subarray(n, n + 0x8000));
    return { query: image.dataset.query, png: btoa(binary) };
  }).then(({ query, png }) => ({ query, png: Buffer.from(png, 'base64') }));
}

async function main() {
  const { address, workDirectory, stderr } = await startServer();
  assert.ok(fs.existsSync(workDirectory));
  ok(`ophost serve listens on ${address}`);

  context = await chromium.launchPersistentContext(path.join(scratch, 'profile'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    viewport: { width: 1280, height: 900 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      // A foreign name that resolves to the server's address, as DNS rebinding makes one.
      '--host-resolver-rules=MAP rebound.test 127.0.0.1'],
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(60000);
  const pageErrors = [];
  page.on('pageerror', (error) => pageErrors.push(String(error)));
  await page.goto(address);
  await page.waitForFunction(() => document.querySelectorAll('#plugin option').length >= 9);

  // Halves: its controls come from its descriptors, labelled from the catalogue, at the defaults.
  await page.selectOption('#plugin', 'Halves');
  await page.waitForSelector('#param-share');
  const controls = await page.evaluate(() => {
    const label = (id) => document.querySelector(`label[for=${id}]`).textContent;
    const share = document.getElementById('param-share');
    const layout = document.getElementById('param-layout');
    return {
      labels: ['param-fill', 'param-layout', 'param-share', 'param-hold'].map(label),
      share: [share.min, share.max, share.value],
      layout: layout.options.length,
      layoutFirst: layout.options[0].textContent,
      fill: document.getElementById('param-fill').value,
    };
  });
  assert.deepEqual(controls.labels, ['Fill', 'Layout', 'Share of input 1 while holding', 'Hold']);
  assert.deepEqual(controls.share, ['1', '99', '50']);
  assert.equal(controls.layout, 8);
  assert.equal(controls.layoutFirst, 'Input 1 in from the bottom, ending on input 1');
  assert.equal(controls.fill, 'push');
  ok('Halves has its four controls, labelled, with their ranges and defaults');

  const first = await shownFrame(page, /plugin=Halves&.*position=25/);
  ok('the middle frame is shown');

  // The scrubber, moved as a user moves it: every key press asks for a frame, later ones
  // overtaking earlier ones.
  await page.focus('#scrubber');
  for (let n = 0; n < 15; n += 1) await page.keyboard.press('ArrowLeft');
  const scrubbed = await shownFrame(page, /position=10$/);
  assert.notDeepEqual(scrubbed.png, first.png);
  assert.equal(await page.textContent('#frame-label'), '10 / 50');
  ok('moving the scrubber to frame 10 changes the preview');

  await page.focus('#param-share');
  for (let n = 0; n < 20; n += 1) await page.keyboard.press('ArrowLeft');
  const slid = await shownFrame(page, /share%3D30&.*position=10$/);
  assert.notDeepEqual(slid.png, scrubbed.png);
  ok('moving the share slider to 30 changes the preview');

  const direct = Buffer.from(await (await fetch(`${address}api/frame?${slid.query}`,
    { headers: { 'X-Ophost-Request': '1' } })).arrayBuffer());
  assert.deepEqual(direct, slid.png);
  ok('the preview is the frame the server sends for the same request');

  await page.click('#export');
  await page.waitForFunction(() => document.getElementById('command-frame').textContent.length > 0);
  const line = await page.textContent('#command-frame');
  assert.equal(line, 'ophost render Halves --input0 card:bars --input1 card:rings --set fill=push ' +
    '--set layout=bottom --set share=30 --set hold=50 --length 50 --position 10 --output halves_10.png');
  assert.equal(await page.textContent('#command-video'), 'ophost render Halves --input0 card:bars ' +
    '--input1 card:rings --set fill=push --set layout=bottom --set share=30 --set hold=50 --length 50 ' +
    '--output halves.mp4');
  ok('the exported command line names every setting');
  if (process.env.SERVE_SCREENSHOT) {
    await page.screenshot({ path: process.env.SERVE_SCREENSHOT });
    ok(`screenshot written to ${process.env.SERVE_SCREENSHOT}`);
  }

  const words = line.split(' ');
  await run(program, [...words.slice(1), '--quiet'], { cwd: scratch });
  assert.deepEqual(fs.readFileSync(path.join(scratch, 'halves_10.png')), slid.png);
  ok('ophost render, run with that command line, writes the very PNG the page shows');

  // A plug-in with a direction choice gets a row of arrows; choosing one re-renders at once.
  await page.selectOption('#plugin', 'Ripples');
  await page.waitForSelector('#param-direction button');
  const arrows = await page.$$eval('#param-direction button',
    (buttons) => buttons.map((b) => [b.textContent, b.title, b.getAttribute('aria-pressed')]));
  assert.deepEqual(arrows, [['↖', '↖ up-left', 'false'], ['↗', '↗ up-right', 'false'],
    ['↙', '↙ down-left', 'false'], ['↘', '↘ down-right', 'true']]);
  const rippled = await shownFrame(page, /plugin=Ripples&.*direction%3Ddown-right/);
  await page.click('#param-direction button[title="↙ down-left"]');
  const turned = await shownFrame(page, /direction%3Ddown-left/);
  assert.notDeepEqual(turned.png, rippled.png);
  ok('Ripples shows its orientations as arrows, and a click re-renders');

  // A picture uploaded as the texture reshapes the wipe, and the exported line carries it.
  assert.equal(await page.isVisible('#texture-field'), true);
  await page.setInputFiles('#texture-upload', { name: 'shape.png', mimeType: 'image/png', buffer: slid.png });
  const textured = await shownFrame(page, /texture=upload/);
  assert.notDeepEqual(textured.png, turned.png);
  await page.click('#export');
  await page.waitForFunction(() => document.getElementById('command-frame').textContent.includes('--texture'));
  assert.match(await page.textContent('#command-frame'), / --texture ripples=shape\.png /);
  ok('an uploaded texture reshapes the wipe and is exported as --texture');

  // A broken upload is refused with a message; nothing is added to the inputs.
  const optionsBefore = await page.$$eval('#input0 option', (options) => options.length);
  const [answer] = await Promise.all([
    page.waitForResponse((response) => response.url().includes('/api/upload')),
    page.setInputFiles('#upload', { name: 'broken.png', mimeType: 'image/png', buffer: Buffer.from('no picture at all') }),
  ]);
  assert.equal(answer.status(), 415);
  await page.waitForFunction(() => document.getElementById('upload-status').classList.contains('error'));
  const refusal = await page.textContent('#upload-status');
  assert.match(refusal, /^415 .*broken\.png: not a picture or video/);
  assert.equal(await page.$$eval('#input0 option', (options) => options.length), optionsBefore);
  assert.equal((await fetch(`${address}api/plugins`, { headers: { 'X-Ophost-Request': '1' } })).status, 200);
  ok(`a broken upload is refused (${refusal.trim()}) and the server goes on`);

  // A clip of PAL's 16:15 pixels is shown 4:3, as a player shows it, not in its stored 5:4.
  const pal = path.join(scratch, 'pal.mp4');
  await run('ffmpeg', ['-v', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc2=s=90x72:r=25:d=0.2,setsar=16/15',
    '-c:v', 'libx264', pal]);
  await page.setInputFiles('#upload', { name: 'pal.mp4', mimeType: 'video/mp4', buffer: fs.readFileSync(pal) });
  await shownFrame(page, /input0=upload/);
  const shape = await page.$eval('#preview', (image) => ({
    pixels: image.dataset.pixelAspect, width: image.clientWidth, height: image.clientHeight }));
  assert.equal(shape.pixels, '16:15');
  assert.ok(Math.abs(shape.width / shape.height - 4 / 3) < 0.02, `shown ${shape.width}x${shape.height}`);
  ok(`a clip of 16:15 pixels is shown at its display aspect (${shape.width}x${shape.height})`);

  // A command-line export that cannot reach the server says so on the page.
  await page.route('**/api/command*', (route) => route.abort());
  await page.click('#export');
  await page.waitForFunction(() => document.getElementById('status').classList.contains('error'));
  await page.unroute('**/api/command*');
  ok(`a failed export is reported (${(await page.textContent('#status')).trim()})`);

  // A page of another origin on this machine tries what a hostile web page would: a "simple"
  // cross-origin upload of a real picture, the frame as an <img>, a video render, and a request
  // with the page's header (which needs a preflight). Each is refused, and nothing is kept.
  const attack = `<!doctype html><body><script>
    const target = ${JSON.stringify(address)};
    const picture = Uint8Array.from(atob(${JSON.stringify(slid.png.toString('base64'))}), (c) => c.charCodeAt(0));
    window.results = (async () => {
      const out = {};
      await fetch(target + 'api/upload?name=stolen.png', { method: 'POST', mode: 'no-cors',
        headers: { 'Content-Type': 'text/plain' }, body: new Blob([picture], { type: 'text/plain' }) })
        .then(() => { out.upload = 'sent'; }, (e) => { out.upload = 'failed'; });
      out.image = await new Promise((resolve) => {
        const image = new Image();
        image.onload = () => resolve('shown ' + image.naturalWidth);
        image.onerror = () => resolve('refused');
        image.src = target + 'api/frame?plugin=Halves&input0=card:bars&input1=card:rings&size=64x36';
      });
      await fetch(target + 'api/video?plugin=Halves&length=10&size=64x36', { mode: 'no-cors' })
        .then(() => { out.video = 'sent'; }, () => { out.video = 'failed'; });
      await fetch(target + 'api/plugins', { headers: { 'X-Ophost-Request': '1' } })
        .then((r) => { out.read = 'read ' + r.status; }, () => { out.read = 'refused'; });
      return out;
    })();
  </script></body>`;
  elsewhere = http.createServer((request, response) => {
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
    response.end(attack);
  });
  await new Promise((resolve) => elsewhere.listen(0, '127.0.0.1', resolve));
  const ownUploads = fs.readdirSync(workDirectory).filter((name) => name.startsWith('upload-'));  // the page's texture
  const hostile = await context.newPage();
  await hostile.goto(`http://127.0.0.1:${elsewhere.address().port}/`);
  const results = await hostile.evaluate(() => window.results);
  assert.equal(results.image, 'refused');
  assert.equal(results.read, 'refused');
  const refusals = stderr();
  for (const what of ['POST /api/upload', 'GET /api/frame', 'GET /api/video', 'OPTIONS /api/plugins']) {
    assert.match(refusals, new RegExp(`refused ${what}: `), refusals);
  }
  assert.deepEqual(fs.readdirSync(workDirectory).filter((name) => name.startsWith('upload-')), ownUploads);
  ok(`a page of another origin is refused (${JSON.stringify(results)})`);

  // The same page as if the attacker's own name had been rebound to 127.0.0.1: the browser then
  // counts the server as the attacker's origin, but the server does not answer that name.
  const rebound = await hostile.goto(`http://rebound.test:${address.match(/:(\d+)\//)[1]}/`);
  assert.equal(rebound.status(), 403);
  assert.match(await rebound.text(), /addressed to "rebound\.test:/);
  const reboundApi = await hostile.evaluate(async () =>
    (await fetch('/api/plugins', { headers: { 'X-Ophost-Request': '1' } })).status);
  assert.equal(reboundApi, 403);
  await hostile.close();
  ok('a foreign name rebound to the server\'s address gets neither the page nor the API');

  // And the page itself goes on working.
  await page.bringToFront();
  await page.focus('#scrubber');
  await page.keyboard.press('ArrowRight');
  await shownFrame(page, /position=11$/);
  ok('the real page still renders');

  assert.deepEqual(pageErrors, []);
  ok('the page raised no script errors');

  await context.close();
  context = null;
  const exited = new Promise((resolve) => server.on('exit', (code, signal) => resolve({ code, signal })));
  server.kill('SIGTERM');
  const timer = new Promise((resolve) => setTimeout(() => resolve({ code: 'still running after 20 s' }), 20000));
  const end = await Promise.race([exited, timer]);
  assert.equal(end.code, 0, `ophost serve: ${JSON.stringify(end)}\n${stderr()}`);
  assert.ok(!fs.existsSync(workDirectory), `${workDirectory} is still there`);
  ok('ophost serve stops on SIGTERM and removes its uploads directory');
}

try {
  await main();
  console.log(`${passed} passed, 0 failed`);
  await cleanUp();
  clearTimeout(giveUp);
} catch (error) {
  console.error(`not ok - ${error.stack || error}`);
  console.log(`${passed} passed, 1 failed`);
  await cleanUp();
  clearTimeout(giveUp);
  process.exitCode = 1;
}
