// The page in Debian's chromium, headless: a 20 MB file compressed and
// expanded in the page while its progress bar moves and its timers keep
// running, the downloaded bytes compared with the native tool's and the
// original; then a stream inside a larger file expanded with offset and size;
// a bad size, which leaves the progress bar at its start; a server without
// the package's dist/ folder, which the page reports as each file's error;
// and the package bundled by esbuild for a browser, run on a page's own
// thread.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { compress } from '../lib/index.js';
import { cli, nativeCompress, shape } from '../test/helpers.js';
import { serve } from './serve.js';

const js = path.resolve(new URL('..', import.meta.url).pathname);

const executablePath = process.env.CHROMIUM ?? '/usr/bin/chromium';
const dir = mkdtempSync(path.join(tmpdir(), 'lzring-page-'));
const server = await serve(js);
// The same folder served without dist/: the worker cannot load the module.
const broken = await serve(js, { missing: ['/dist/'] });
const browser = await chromium.launch({
  executablePath,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});

// Chooses `file`, runs `mode` with the given bounds, and returns the
// downloaded bytes, the progress values seen between 0 and 1, the longest
// pause of the page's timers, and the status line.
async function runPage(page, file, mode, bounds = {}) {
  await page.check(`input[name=mode][value=${mode}]`);
  if (mode === 'expand') {
    await page.fill('#offset', String(bounds.offset ?? 0));
    await page.fill('#size', bounds.size === undefined ? '' : String(bounds.size));
  }
  await page.setInputFiles('#files', file);
  const rows = await page.locator('#results tr').count();
  await page.evaluate(() => {
    const bar = document.getElementById('progress');
    window.watch = { values: new Set(), ticks: [] };
    window.watch.timer = setInterval(() => {
      window.watch.ticks.push(performance.now());
      if (bar.value > 0 && bar.value < 1) window.watch.values.add(bar.value);
    }, 10);
  });
  await page.click('#run');
  const row = page.locator(`#results tr:nth-child(${rows + 1})`);
  await row.waitFor({ timeout: 120000 });
  const link = row.locator('a[download]');
  if ((await link.count()) === 0) throw new Error(`no download: ${await row.textContent()}`);
  const watch = await page.evaluate(() => {
    clearInterval(window.watch.timer);
    const t = window.watch.ticks;
    const pause = Math.max(0, ...t.slice(1).map((x, i) => x - t[i]));
    return { values: window.watch.values.size, pause, span: t[t.length - 1] - t[0] };
  });
  const [download] = await Promise.all([page.waitForEvent('download'), link.click()]);
  const bytes = new Uint8Array(readFileSync(await download.path()));
  return { bytes, name: download.suggestedFilename(), status: await page.textContent('#status'), ...watch };
}

try {
  const page = await browser.newPage();
  page.on('pageerror', (e) => console.error('page error:', e));
  await page.goto(`http://127.0.0.1:${server.address().port}/page/index.html`);

  const original = shape('text', 20 * 1000 * 1000, 7);
  const source = path.join(dir, 'big.txt');
  writeFileSync(source, original);
  const expected = cli ? nativeCompress(original) : compress(original);

  const packed = await runPage(page, source, 'compress');
  assert.equal(packed.name, 'big.txt.lzr');
  assert.ok(packed.bytes.length === expected.length && Buffer.compare(packed.bytes, expected) === 0,
    `compressed in the page: ${packed.bytes.length} bytes, not the ${cli ? 'native tool' : 'package'}'s ${expected.length}`);
  assert.ok(packed.values >= 3, `the progress bar showed ${packed.values} values between 0 and 1`);
  assert.ok(packed.pause < 1000, `the page's timers paused for ${packed.pause} ms`);
  console.log(`compress: ${original.length} -> ${packed.bytes.length} bytes in ${(packed.span / 1000).toFixed(1)} s,` +
    ` ${packed.values} progress values, longest pause ${packed.pause.toFixed(0)} ms`);

  const stored = path.join(dir, packed.name);
  writeFileSync(stored, packed.bytes);
  const plain = await runPage(page, stored, 'expand');
  assert.equal(plain.name, 'big.txt');
  assert.ok(Buffer.compare(plain.bytes, original) === 0, 'expanded in the page: bytes differ from the original');
  assert.ok(plain.pause < 1000, `the page's timers paused for ${plain.pause} ms`);
  console.log(`expand: ${plain.bytes.length} bytes in ${(plain.span / 1000).toFixed(1)} s, ${plain.values} progress values`);

  // A stream stored at an offset of a larger file, followed by other data.
  const item = shape('text', 300000, 9);
  const itemPacked = compress(item);
  const image = new Uint8Array(4608 + itemPacked.length + 777).fill(0xee);
  image.set(itemPacked, 4608);
  const imagePath = path.join(dir, 'firmware.bin');
  writeFileSync(imagePath, image);
  const bounded = await runPage(page, imagePath, 'expand', { offset: '0x1200', size: item.length });
  assert.ok(Buffer.compare(bounded.bytes, item) === 0, 'offset and size: bytes differ');
  assert.match(bounded.status, new RegExp(`\\(${itemPacked.length} compressed bytes used\\)`));

  // A size that is not a number: the page says so, and the progress bar (at
  // the end of the last job) goes back to its start.
  assert.equal(await page.evaluate(() => document.getElementById('progress').value), 1);
  await page.fill('#size', '12x');
  await page.click('#run');
  await page.waitForFunction(() => /Size must be a whole number/.test(document.getElementById('status').textContent));
  assert.equal(await page.evaluate(() => document.getElementById('progress').value), 0, 'progress bar after a bad size');

  // A size past the stream's end is an error in the page, not a short file.
  await runPage(page, imagePath, 'expand', { offset: 4608, size: item.length + 10000 }).then(
    () => assert.fail('a stream shorter than its size gave a download'),
    async () => assert.match(await page.textContent('#results tr:last-child .error'), /StreamEndError/),
  );

  // The module missing on the server: each file fails with the reason, and
  // Run is offered again.
  const bare = await browser.newPage();
  await bare.goto(`http://127.0.0.1:${broken.address().port}/page/index.html`);
  await bare.setInputFiles('#files', [source, stored]);
  await bare.click('#run');
  const errors = bare.locator('#results tr .error');
  await errors.nth(1).waitFor({ timeout: 30000 });
  for (const text of await errors.allTextContents()) assert.match(text, /fetch|load|404/i, text);
  assert.equal(await bare.isEnabled('#run'), true, 'Run after the worker failed');
  assert.match(await bare.textContent('#status'), /^Failed: /);
  console.log(`module missing: ${(await errors.allTextContents())[0]}`);

  // The package bundled by esbuild for a browser (an iife, as a plain script
  // tag loads it), run on the page's main thread.
  const { build } = await import('esbuild');
  const entry = path.join(dir, 'app.js');
  writeFileSync(entry, `import { compress, decompress } from ${JSON.stringify(path.join(js, 'lib/browser.js'))};
    const packed = compress(new TextEncoder().encode('aaaa'));
    window.bundled = [Array.from(packed), new TextDecoder().decode(decompress(packed))];`);
  const { outputFiles } = await build({ entryPoints: [entry], bundle: true, write: false, platform: 'browser',
    format: 'iife', logLevel: 'silent' });
  const plainPage = await browser.newPage();
  await plainPage.goto(`http://127.0.0.1:${server.address().port}/page/index.html`);
  await plainPage.addScriptTag({ content: outputFiles[0].text });
  assert.deepEqual(await plainPage.evaluate(() => window.bundled), [[0x01, 0x61, 0xee, 0xf0], 'aaaa']);
  console.log(`esbuild browser bundle: ${outputFiles[0].contents.length} bytes, ran on the page's thread`);
  console.log('page test: passed');
} finally {
  await browser.close();
  server.close();
  broken.close();
  rmSync(dir, { recursive: true, force: true });
}
