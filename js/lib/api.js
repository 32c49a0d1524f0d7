// lzring for JavaScript: the project's codec compiled to WebAssembly, with
// whole-buffer functions and Web Streams transforms. The entry points
// (index.js, browser.js, the CommonJS build) start the module, then offer
// these.
//
// Memory: the whole-buffer functions copy their input into the module's
// memory in one block (HEAPU8.set), run the codec there and copy the result
// out in one block (slice), freeing both before they return. Streams keep a
// small encoder or decoder object in the module, freed when the stream ends
// or fails, or when an abandoned stream is collected, and pass their input
// through in pieces of at most a few hundred KiB, so they take sources of any
// length. No caller ever frees anything.
import { wasm } from './wasm.js';

// Input passed to the codec per call by the streams: small enough that the
// module's memory stays small, large enough that the calls cost nothing.
const STAGE_BYTES = 256 * 1024;
// The module's memory is addressed with 32 bits.
const WASM_LIMIT = 2 ** 32;
// Largest room for the expansion of a stream of unknown size (see decompress).
const ONE_PASS_LIMIT = 256 * 1024 * 1024;
// Where lzr_expand leaves its two results (doubles; malloc aligns for them),
// taken on first use: the module starts after this file is evaluated.
let results = 0;

/** A stream ended before producing the number of bytes asked for. */
export class StreamEndError extends Error {
  constructor(expected, produced) {
    super(`lzring: the stream ends after ${produced} of ${expected} bytes`);
    this.name = 'StreamEndError';
    this.expected = expected;
    this.produced = produced;
  }
}

function heap() {
  return new Uint8Array(wasm.memory.buffer);
}

// Bytes of a Uint8Array, any other ArrayBuffer view, or an ArrayBuffer
// (shared or not), without a copy.
function bytesOf(data, what) {
  if (data instanceof Uint8Array) return data;
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (typeof SharedArrayBuffer === 'function' && data instanceof SharedArrayBuffer) return new Uint8Array(data);
  const kind = data === null ? 'null' : typeof data === 'object' ? data.constructor?.name : typeof data;
  throw new TypeError(`lzring: ${what} must be a Uint8Array, an ArrayBuffer view or an ArrayBuffer, not ${kind}`);
}

// A stream's expanded size from the options: undefined for the whole stream.
function sizeOf(options) {
  if (options === undefined || options === null) return undefined;
  if (typeof options !== 'object') throw new TypeError('lzring: options must be an object');
  const { size } = options;
  if (size === undefined || size === null) return undefined;
  if (typeof size !== 'number' && typeof size !== 'bigint') {
    throw new TypeError(`lzring: size must be a number, not ${typeof size}`);
  }
  const n = Number(size);
  if (!Number.isSafeInteger(n) || n < 0) {
    throw new RangeError(`lzring: size must be a whole number from 0 to 2^53 - 1, not ${size}`);
  }
  return n;
}

// Allocates `n` bytes in the module, or throws a RangeError that says why.
function allocate(n, what) {
  const p = n < WASM_LIMIT ? wasm.lzr_malloc(n) >>> 0 : 0;
  if (p === 0) {
    throw new RangeError(`lzring: ${what} of ${n} bytes does not fit in WebAssembly memory; use the streams`);
  }
  return p;
}

// A byte count for the bounds: a whole number the module's doubles hold.
function countOf(n) {
  if (typeof n !== 'number' || !Number.isSafeInteger(n) || n < 0) {
    throw new RangeError(`lzring: n must be a whole number from 0 to 2^53 - 1, not ${n}`);
  }
  return n;
}

/** Largest compressed size of `n` source bytes (the C++ API's compress_bound). */
export function compressBound(n) {
  return wasm.lzr_compress_bound(countOf(n));
}

/** Largest expanded size of `n` compressed bytes (the C++ API's expand_bound). */
export function expandBound(n) {
  return wasm.lzr_expand_bound(countOf(n));
}

// Whether the options ask for the smallest stream.
function bestOf(options) {
  if (options === undefined || options === null) return false;
  if (typeof options !== 'object') throw new TypeError('lzring: options must be an object');
  return Boolean(options.best);
}

/** Returns the compressed form of `data`; with `best`, the smallest stream. */
export function compress(data, options) {
  const input = bytesOf(data, 'data');
  const best = bestOf(options);
  const n = input.length;
  const bound = compressBound(n);
  const p = allocate(n + bound, 'a source and its compressed form');
  try {
    heap().set(input, p);
    const size = wasm.lzr_compress(p, n, p + n, bound, best ? 1 : 0);
    if (size < 0) throw new RangeError('lzring: out of WebAssembly memory');
    return heap().slice(p + n, p + n + size);
  } finally {
    wasm.lzr_free(p);
  }
}

/** Returns the size that decompress(data) gives. */
export function expandedSize(data) {
  const input = bytesOf(data, 'data');
  const p = allocate(input.length, 'a compressed stream');
  try {
    heap().set(input, p);
    const size = wasm.lzr_expanded_size(p, input.length);
    if (size < 0) throw new RangeError('lzring: out of WebAssembly memory');
    return size;
  } finally {
    wasm.lzr_free(p);
  }
}

/**
 * Returns the expansion of `data`. With `size`, expands the stream at the
 * start of `data` to exactly that many bytes, whatever follows it, and throws
 * StreamEndError when the stream ends sooner.
 */
export function decompress(data, options) {
  const input = bytesOf(data, 'data');
  const size = sizeOf(options);
  const n = input.length;
  if (results === 0) results = allocate(16, 'two numbers');
  const p = allocate(n, 'a compressed stream');
  let out = 0;
  try {
    heap().set(input, p);
    // No stream of n bytes expands further: a larger size cannot be
    // reached, and needs no room beyond that.
    const most = expandBound(n);
    let cap = size === undefined ? most : Math.min(size, most);
    if (size === undefined && cap > ONE_PASS_LIMIT) {
      // One pass into room for the most while that is modest; a first pass
      // measures otherwise.
      cap = wasm.lzr_expanded_size(p, n);
      if (cap < 0) throw new RangeError('lzring: out of WebAssembly memory');
    }
    out = allocate(cap, 'an expanded stream');
    if (wasm.lzr_expand(p, n, out, cap, results) < 0) {
      throw new RangeError('lzring: out of WebAssembly memory');
    }
    const produced = new Float64Array(wasm.memory.buffer, results, 1)[0];
    if (size !== undefined && produced < size) throw new StreamEndError(size, produced);
    return heap().slice(out, out + produced);
  } finally {
    if (out !== 0) wasm.lzr_free(out);
    wasm.lzr_free(p);
  }
}

// ---- Streams ---------------------------------------------------------------

// Frees the module's objects of streams dropped before they ended.
const orphans = new FinalizationRegistry(({ free, handle }) => free(handle));

// One encoder or decoder object in the module, fed in pieces, its output
// handed on as Uint8Arrays.
class Codec {
  constructor(calls, handle) {
    if (handle === 0) throw new RangeError('lzring: out of WebAssembly memory');
    this.calls = calls;
    this.handle = handle;
    try {
      this.stage = allocate(STAGE_BYTES, 'a stream buffer');
    } catch (error) {
      calls.free(handle);
      throw error;
    }
    orphans.register(this, { free: Codec.release, handle: [handle, this.stage, calls] }, this);
  }

  static release([handle, stage, calls]) {
    calls.free(handle);
    wasm.lzr_free(stage);
  }

  // Passes `bytes` through and hands each run of output to `emit`.
  write(bytes, emit) {
    for (let at = 0; at < bytes.length && !this.full(); at += STAGE_BYTES) {
      const piece = bytes.subarray(at, at + STAGE_BYTES);
      heap().set(piece, this.stage);
      const ok = this.calls.write(this.handle, this.stage, piece.length);
      this.drain(emit);
      if (!ok) throw new RangeError('lzring: out of WebAssembly memory');
    }
  }

  finish(emit) {
    const ok = this.calls.finish(this.handle);
    this.drain(emit);
    if (!ok) throw new RangeError('lzring: out of WebAssembly memory');
  }

  drain(emit) {
    const size = this.calls.outputSize(this.handle) >>> 0;
    if (size === 0) return;
    const at = this.calls.output(this.handle) >>> 0;
    const chunk = heap().slice(at, at + size);
    this.calls.consume(this.handle, size);
    emit(chunk);
  }

  full() {
    return false;
  }

  close() {
    if (this.handle === 0) return;
    orphans.unregister(this);
    Codec.release([this.handle, this.stage, this.calls]);
    this.handle = 0;
  }
}

const encoderCalls = {
  free: (h) => wasm.lzr_encoder_delete(h),
  write: (h, p, n) => wasm.lzr_encoder_write(h, p, n),
  finish: (h) => wasm.lzr_encoder_finish(h),
  output: (h) => wasm.lzr_encoder_output(h),
  outputSize: (h) => wasm.lzr_encoder_output_size(h),
  consume: (h, n) => wasm.lzr_encoder_consume(h, n),
};

const decoderCalls = {
  free: (h) => wasm.lzr_decoder_delete(h),
  write: (h, p, n) => wasm.lzr_decoder_write(h, p, n),
  finish: (h) => wasm.lzr_decoder_finish(h),
  output: (h) => wasm.lzr_decoder_output(h),
  outputSize: (h) => wasm.lzr_decoder_output_size(h),
  consume: (h, n) => wasm.lzr_decoder_consume(h, n),
};

class Decoder extends Codec {
  constructor(size) {
    super(decoderCalls, wasm.lzr_decoder_new(size === undefined ? -1 : size) >>> 0);
    this.size = size;
  }

  // Input after the stream's `size` bytes is not the stream's: stop copying.
  full() {
    return this.size !== undefined && wasm.lzr_decoder_at_limit(this.handle) !== 0;
  }

  bytesUsed() {
    return wasm.lzr_decoder_bytes_used(this.handle);
  }

  bytesOut() {
    return wasm.lzr_decoder_bytes_out(this.handle);
  }
}

// A pair of streams over a Codec, as a TransformStream gives: Uint8Array (or
// any buffer) chunks in, Uint8Array chunks out. The codec object is freed when
// the stream ends or fails, when its readable side is cancelled and when its
// writable side is aborted. The last two are seen by the outer streams here
// rather than by the transformer's `cancel`, which Node 18's TransformStream
// never calls: there a cancelled stream would keep its codec until the
// garbage collector finds it, which a small JS heap may never need to do.
function transform(codec, done) {
  const emit = (controller) => (chunk) => controller.enqueue(chunk);
  const guarded = (work) => (...args) => {
    try {
      work(...args);
    } catch (error) {
      codec.close();
      throw error;
    }
  };
  const inner = new TransformStream({
    transform: guarded((chunk, controller) => {
      if (codec.handle === 0) throw new TypeError('lzring: the stream has ended');
      codec.write(bytesOf(chunk, 'a chunk'), emit(controller));
    }),
    flush: guarded((controller) => {
      codec.finish(emit(controller));
      done?.();
      codec.close();
    }),
    cancel: () => codec.close(),
  });
  const reader = inner.readable.getReader();
  const writer = inner.writable.getWriter();
  // No queue of their own: reads and writes pass straight to the transform,
  // which keeps the backpressure a TransformStream has.
  const readable = new ReadableStream(
    {
      async pull(controller) {
        const { done: ended, value } = await reader.read();
        if (ended) controller.close();
        else controller.enqueue(value);
      },
      cancel(reason) {
        codec.close();
        return reader.cancel(reason);
      },
    },
    { highWaterMark: 0 },
  );
  const writable = new WritableStream({
    write: (chunk) => writer.write(chunk),
    close: () => writer.close(),
    abort(reason) {
      codec.close();
      return writer.abort(reason);
    },
  });
  return { readable, writable };
}

/**
 * Compresses the bytes written to `writable` into `readable`, as the
 * platform's CompressionStream does with its formats.
 */
export class CompressionStream {
  constructor(...args) {
    // The platform's CompressionStream takes a format; this one makes lzring
    // streams only, and says so rather than ignore a format asked for. Its
    // one option is an object: { best: true } for the smallest stream.
    if (args.length > 0 && args[0] !== undefined && (args[0] === null || typeof args[0] !== 'object')) {
      const format = String(args[0]);
      throw new TypeError(`lzring: CompressionStream takes no format (it makes lzring streams only), not ${format}`);
    }
    const best = bestOf(args[0]);
    const { readable, writable } = transform(new Codec(encoderCalls, wasm.lzr_encoder_new(best ? 1 : 0) >>> 0));
    this.readable = readable;
    this.writable = writable;
  }
}

/**
 * Expands the compressed bytes written to `writable` into `readable`. With
 * `size`, expands exactly that many bytes of a stream that may be followed by
 * other data, and fails with StreamEndError when the stream ends sooner;
 * `bytesUsed` then tells where the stream ended.
 */
export class DecompressionStream {
  #decoder;
  #bytesUsed = 0;

  constructor(options) {
    const size = sizeOf(options);
    const decoder = new Decoder(size);
    this.#decoder = decoder;
    const { readable, writable } = transform(decoder, () => {
      this.#bytesUsed = decoder.bytesUsed();
      if (size !== undefined && !decoder.full()) throw new StreamEndError(size, decoder.bytesOut());
    });
    this.readable = readable;
    this.writable = writable;
  }

  /** Compressed bytes the stream used, up to the end of its last unit. */
  get bytesUsed() {
    return this.#decoder.handle === 0 ? this.#bytesUsed : this.#decoder.bytesUsed();
  }
}
