// The whole-buffer functions: the same bytes as the native tool on the corpus
// and on generated inputs around the format's and the glue's edges, their
// expansion back, and their errors.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { compress, decompress, expandedSize, compressBound, expandBound, StreamEndError } from '../lib/index.js';
import { cli, corpusFiles, nativeCompress, shape } from './helpers.js';

const native = { skip: cli ? false : 'SKIPPED: no native tool (build the release preset or set LZRING_CLI)' };

function checkIdentity(name, bytes) {
  const packed = compress(bytes);
  assert.deepEqual(packed, nativeCompress(bytes), `${name}: compressed bytes differ from the native tool's`);
  assert.ok(packed.length <= compressBound(bytes.length), name);
  assert.equal(expandedSize(packed), bytes.length, name);
  assert.deepEqual(decompress(packed), bytes, `${name}: expansion differs`);
  assert.deepEqual(decompress(packed, { size: bytes.length }), bytes, `${name}: bounded expansion differs`);
}

test('corpus: same bytes as the native tool, and back', native, () => {
  const files = corpusFiles();
  assert.ok(files.length > 0, 'the corpus is missing (set LZRING_CORPUS)');
  for (const file of files) checkIdentity(path.basename(file), new Uint8Array(readFileSync(file)));
});

// Around the group and unit sizes, the ring, the encoder's 64 KiB runs and
// the streams' 256 KiB pieces.
const sizes = [0, 1, 2, 17, 18, 19, 4095, 4096, 4097, 65535, 65536, 65537, 262143, 262144, 262145];

test('generated shapes: same bytes as the native tool, and back', native, () => {
  for (const kind of ['zeros', 'text', 'noise']) {
    for (const n of sizes) checkIdentity(`${kind} ${n}`, shape(kind, n));
  }
});

test('best: the native tool\'s --best bytes, no larger, and back', native, () => {
  for (const [name, bytes] of [['text', shape('text', 150001)], ['zeros', shape('zeros', 70000)], ['noise', shape('noise', 5000)]]) {
    const best = compress(bytes, { best: true });
    const expected = new Uint8Array(execFileSync(cli, ['--best', '-c'], { input: bytes, maxBuffer: 1 << 30 }));
    assert.deepEqual(best, expected, `${name}: differs from the native --best`);
    assert.ok(best.length <= compress(bytes).length, name);
    assert.deepEqual(decompress(best), bytes, `${name}: expansion differs`);
  }
  assert.throws(() => compress(new Uint8Array(1), 'best'), TypeError);
});

test('inputs of every kind of buffer give the same bytes', () => {
  const bytes = shape('text', 5000);
  const packed = compress(bytes);
  const copy = bytes.slice();
  assert.deepEqual(compress(copy.buffer), packed);
  assert.deepEqual(compress(new DataView(copy.buffer)), packed);
  assert.deepEqual(compress(Buffer.from(copy)), packed);
  const shared = new Uint8Array(new SharedArrayBuffer(bytes.length));
  shared.set(bytes);
  assert.deepEqual(compress(shared.buffer), packed);
  const inside = new Uint8Array(packed.length + 10);
  inside.set(packed, 5);
  assert.deepEqual(decompress(inside.subarray(5, 5 + packed.length)), bytes);
});

test('a stream inside other data expands to its size', () => {
  const bytes = shape('text', 100000);
  const packed = compress(bytes);
  const image = new Uint8Array(packed.length + 1000).fill(0xab);
  image.set(packed);
  assert.deepEqual(decompress(image, { size: bytes.length }), bytes);
  assert.deepEqual(decompress(image, { size: 1234n }), bytes.subarray(0, 1234));
  assert.equal(decompress(packed, { size: 0 }).length, 0);
});

// [n, compressBound, expandBound], as the C++ API's table has them; a stream
// of n bytes of references of 18 bytes (and a literal for an odd byte at the
// end) expands to exactly the bound.
test('bounds: the C++ API\'s, and reached', () => {
  const rows = [[0, 0, 0], [1, 2, 0], [2, 3, 1], [3, 4, 18], [17, 20, 144], [19, 22, 145], [37, 42, 306],
    [2 ** 48, 2 ** 48 + 2 ** 45, 2384258626254960]];
  for (const [n, packed, expanded] of rows) {
    assert.equal(compressBound(n), packed, `compressBound(${n})`);
    assert.equal(expandBound(n), expanded, `expandBound(${n})`);
  }
  for (const n of [3, 16, 17, 18, 19, 52, 1000]) {
    const stream = [];
    while (stream.length < n) {
      const units = Math.min(n - stream.length - 1, 16);
      stream.push(units % 2 ? 1 << (units >> 1) : 0);
      for (let k = 0; k + 1 < units; k += 2) stream.push(0, 0x0f);
      if (units % 2) stream.push(0x78);
    }
    const bytes = Uint8Array.from(stream);
    assert.equal(decompress(bytes).length, expandBound(n), `${n} bytes`);
    assert.equal(decompress(bytes, { size: expandBound(n) }).length, expandBound(n), `${n} bytes, sized`);
  }
});

test('errors have their types', () => {
  const packed = compress(shape('text', 3000));
  const cases = [
    [() => compress('text'), TypeError],
    [() => compress(null), TypeError],
    [() => compress([1, 2, 3]), TypeError],
    [() => decompress(undefined), TypeError],
    [() => expandedSize(42), TypeError],
    [() => decompress(packed, 3000), TypeError],
    [() => decompress(packed, { size: '3000' }), TypeError],
    [() => decompress(packed, { size: -1 }), RangeError],
    [() => decompress(packed, { size: 1.5 }), RangeError],
    [() => decompress(packed, { size: 2 ** 53 }), RangeError],
    [() => decompress(packed, { size: NaN }), RangeError],
    [() => decompress(packed, { size: 3001 }), StreamEndError],
    [() => decompress(packed, { size: 2 ** 53 - 1 }), StreamEndError],
    [() => compressBound(-1), RangeError],
    [() => expandBound(0.5), RangeError],
    [() => expandBound('17'), RangeError],
  ];
  for (const [call, type] of cases) assert.throws(call, type, call.toString());
  assert.throws(() => decompress(packed, { size: 3001 }), { expected: 3001, produced: 3000 });
});
