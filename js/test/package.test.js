// The packed package as a user installs it: its files, loaded by name with
// import and with require, its .wasm resolved by package path, bundled for a
// browser with esbuild, and its declarations checked by tsc --strict. Each
// row runs in a project of its own that installed the tarball of `npm pack`.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import vm from 'node:vm';
import { fileURLToPath } from 'node:url';

const js = fileURLToPath(new URL('..', import.meta.url));
const tools = path.join(js, 'node_modules/.bin');
const skip = existsSync(path.join(tools, 'esbuild')) ? false : 'SKIPPED: run npm ci in js/ first';

// What every consumer checks: the bytes of "aaaa", and back.
const check = `
  const packed = compress(new TextEncoder().encode('aaaa'));
  if (Array.from(packed, (b) => b.toString(16).padStart(2, '0')).join('') !== '0161eef0') throw new Error('wrong bytes');
  if (new TextDecoder().decode(decompress(packed)) !== 'aaaa') throw new Error('no round trip');
  if (!(new StreamEndError(5, 4) instanceof Error)) throw new Error('no StreamEndError');
  console.log('ok');`;

// Runs this Node on `args` in `dir`; returns what it printed.
const node = (dir, ...args) => execFileSync(process.execPath, args, { cwd: dir, encoding: 'utf8' }).trim();

const rows = [
  ['import by name', (dir) => {
    const code = `import { compress, decompress, StreamEndError } from 'lzring';${check}`;
    assert.equal(node(dir, '--input-type=module', '-e', code), 'ok');
  }],
  ['require by name', (dir) => {
    assert.equal(node(dir, '-e', `const { compress, decompress, StreamEndError } = require('lzring');${check}`), 'ok');
  }],
  ['the .wasm by package path', (dir) => {
    const found = node(dir, '-e', "console.log(require.resolve('lzring/lzring.wasm'))");
    assert.deepEqual(readFileSync(found), readFileSync(path.join(js, 'dist/lzring.wasm')));
  }],
  ['the licence, in the files and in package.json', (dir) => {
    const installed = path.join(dir, 'node_modules/lzring');
    assert.match(readFileSync(path.join(installed, 'LICENSE'), 'utf8'), /^MIT License/);
    assert.equal(JSON.parse(readFileSync(path.join(installed, 'package.json'), 'utf8')).license, 'MIT');
  }],
  ['a browser bundle by esbuild, run with no Node at hand', async (dir) => {
    const { build } = await import('esbuild');
    writeFileSync(path.join(dir, 'app.js'), `import { compress, decompress, StreamEndError } from 'lzring';${check}`);
    const { outputFiles } = await build({
      entryPoints: [path.join(dir, 'app.js')], absWorkingDir: dir, bundle: true, write: false,
      platform: 'browser', format: 'iife', logLevel: 'silent',
    });
    const code = outputFiles[0].text;
    assert.doesNotMatch(code, /\bnode:|require\(/);
    // A realm of the page's globals alone: no require, process or Buffer.
    const printed = [];
    const page = { console: { log: (s) => printed.push(s) }, WebAssembly, TextEncoder, TextDecoder, atob,
      ReadableStream, WritableStream, TransformStream, FinalizationRegistry };
    vm.runInNewContext(code, page);
    assert.deepEqual(printed, ['ok']);
  }],
  ['the declarations under tsc --strict, for import and require', (dir) => {
    const use = `
      const packed: Uint8Array = compress(new Uint8Array(4));
      const plain: Uint8Array = decompress(packed, { size: 4n });
      const bound: number = compressBound(plain.length) + expandBound(packed.length) + expandedSize(packed);
      const error = new StreamEndError(5, 4);
      const counts: number[] = [error.expected, error.produced, bound];
      const expander = new DecompressionStream({ size: 4 });
      const used: number = expander.bytesUsed;
      const streams: [ReadableStream<Uint8Array>, WritableStream] =
        [new CompressionStream().readable, expander.writable];
      export { counts, used, streams };`;
    const names =
      'compress, decompress, compressBound, expandBound, expandedSize, StreamEndError, CompressionStream, DecompressionStream';
    writeFileSync(path.join(dir, 'use.mts'), `import { ${names} } from 'lzring';${use}`);
    writeFileSync(path.join(dir, 'use.cts'), `import { ${names} } from 'lzring';${use}`);
    writeFileSync(path.join(dir, 'tsconfig.json'), JSON.stringify({
      compilerOptions: { strict: true, noEmit: true, module: 'nodenext', moduleResolution: 'nodenext',
        target: 'es2022', lib: ['es2022', 'dom'], types: [] },
      files: ['use.mts', 'use.cts'],
    }));
    try {
      execFileSync(path.join(tools, 'tsc'), ['-p', dir], { cwd: dir, encoding: 'utf8' });
    } catch (error) {
      assert.fail(`tsc --strict: ${error.stdout}${error.stderr}`);
    }
  }],
];

test('the packed package, installed as a user does', { skip }, async (t) => {
  const dir = mkdtempSync(path.join(tmpdir(), 'lzring-consumer-'));
  try {
    const quiet = { stdio: ['ignore', 'ignore', 'inherit'] };
    execFileSync('npm', ['pack', '--silent', '--pack-destination', dir], { cwd: js, ...quiet });
    const tarball = readdirSync(dir).find((f) => f.endsWith('.tgz'));
    writeFileSync(path.join(dir, 'package.json'), '{"private": true}');
    execFileSync('npm', ['install', '--no-audit', '--no-fund', '--loglevel=error', `./${tarball}`], { cwd: dir, ...quiet });
    for (const [name, row] of rows) await t.test(name, () => row(dir));
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
