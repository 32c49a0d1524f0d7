// The Web Streams transforms: the same bytes as the whole-buffer functions
// for input fed in random pieces, a stream inside other data, errors, and a
// memory that stays small whatever the stream's length.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { compress, decompress, CompressionStream, DecompressionStream, StreamEndError } from '../lib/index.js';
import { wasm } from '../lib/wasm.js';
import { pieces, shape, through } from './helpers.js';

const inputs = [
  ['empty', new Uint8Array(0)],
  ['one byte', shape('text', 1)],
  ['text', shape('text', 700001)],
  ['zeros', shape('zeros', 300000)],
  ['noise', shape('noise', 70000)],
];

test('random pieces give the bytes of the whole-buffer functions', async () => {
  for (const [name, bytes] of inputs) {
    const packed = compress(bytes);
    for (const seed of [1, 2, 3]) {
      const label = `${name}, pieces ${seed}`;
      assert.deepEqual(await through(new CompressionStream(), pieces(bytes, seed)), packed, label);
      assert.deepEqual(await through(new DecompressionStream(), pieces(packed, seed)), bytes, label);
    }
    const best = compress(bytes, { best: true });
    assert.deepEqual(await through(new CompressionStream({ best: true }), pieces(bytes, 4)), best, `${name}, best`);
  }
});

test('a stream inside other data: its size, and the bytes it used', async () => {
  const bytes = shape('text', 200000);
  const packed = compress(bytes);
  const image = new Uint8Array(packed.length + 5000).fill(0x5a);
  image.set(packed);
  for (const size of [0, 1, 17, 18, 4097, 150000, bytes.length]) {
    const stream = new DecompressionStream({ size });
    assert.deepEqual(await through(stream, pieces(image, size)), bytes.subarray(0, size), `size ${size}`);
    const used = stream.bytesUsed;
    // The stream ends with the unit that produced its last byte: all of it
    // is needed, and nothing after it.
    assert.deepEqual(decompress(image.subarray(0, used), { size }), bytes.subarray(0, size));
    if (size > 0) assert.throws(() => decompress(image.subarray(0, used - 1), { size }), StreamEndError);
  }
  const whole = new DecompressionStream({ size: bytes.length });
  await through(whole, [packed]);
  assert.equal(whole.bytesUsed, packed.length);
});

test('stream errors have their types', async () => {
  const packed = compress(shape('text', 5000));
  await assert.rejects(through(new DecompressionStream({ size: 5001 }), [packed]), {
    name: 'StreamEndError',
    expected: 5001,
    produced: 5000,
  });
  await assert.rejects(through(new CompressionStream(), ['text']), TypeError);
  assert.throws(() => new CompressionStream('gzip'), TypeError);
  assert.throws(() => new CompressionStream('deflate-raw'), TypeError);
  assert.deepEqual(await through(new CompressionStream(undefined), [packed]), compress(packed));
  await assert.rejects(through(new DecompressionStream(), [packed, 17]), TypeError);
  assert.throws(() => new DecompressionStream({ size: -5 }), RangeError);
  assert.throws(() => new DecompressionStream('5'), TypeError);
});

test('streams cancelled or aborted free their module memory', async () => {
  // Each stream holds a codec object and a 256 KiB buffer in the module until
  // it is freed: 300 of them kept would grow the memory by some 90 MiB.
  const text = shape('text', 100000);
  const packed = compress(text);
  const endings = [
    ['expansion, written once, read once, cancelled', () => new DecompressionStream(), packed, 'cancel'],
    ['compression, written once, read once, cancelled', () => new CompressionStream(), text, 'cancel'],
    ['expansion of a size, read once, cancelled', () => new DecompressionStream({ size: 90000 }), packed, 'cancel'],
    ['expansion, written once, read once, aborted', () => new DecompressionStream(), packed, 'abort'],
    ['compression, written once, read once, aborted', () => new CompressionStream(), text, 'abort'],
    ['compression, cancelled before any write', () => new CompressionStream(), undefined, 'cancel'],
    ['expansion, aborted before any write', () => new DecompressionStream(), undefined, 'abort'],
  ];
  for (const [name, make, input, how] of endings) {
    const before = wasm.memory.buffer.byteLength;
    for (let i = 0; i < 300; i++) {
      const stream = make();
      const writer = stream.writable.getWriter();
      const reader = stream.readable.getReader();
      if (input !== undefined) {
        const written = writer.write(input);
        assert.equal((await reader.read()).done, false, name);
        await written;
      }
      if (how === 'cancel') {
        await reader.cancel();
        await assert.rejects(writer.write(input ?? packed), name);
      } else {
        await writer.abort();
        await assert.rejects(reader.read(), name);
      }
    }
    const grown = wasm.memory.buffer.byteLength - before;
    assert.ok(grown < 8 << 20, `${name}: the module's memory grew by ${grown} bytes over 300 streams`);
  }
});

test('long streams keep the module memory small', async () => {
  // 512 MiB of output from 60 MiB of input, in 4 MiB chunks. The whole-buffer
  // functions would need both in memory; the streams need a few MiB.
  const before = wasm.memory.buffer.byteLength;
  const zeros = shape('zeros', 64 << 20);
  const chunk = await through(new CompressionStream(), [zeros]);
  const expanded = new DecompressionStream();
  const writer = expanded.writable.getWriter();
  let total = 0;
  const reading = (async () => {
    for await (const piece of expanded.readable) total += piece.length;
  })();
  // The stream of zeros repeated is one valid stream: the ring holds zeros
  // across the joins.
  for (let i = 0; i < 8; i++) {
    for (let at = 0; at < chunk.length; at += 4 << 20) await writer.write(chunk.subarray(at, at + (4 << 20)));
  }
  await writer.close();
  await reading;
  assert.equal(total, 8 * (64 << 20));
  const grown = wasm.memory.buffer.byteLength - before;
  assert.ok(grown < 8 << 20, `memory grew by ${grown} bytes`);
});
