// Type declarations for lzring's JavaScript package.

/** Bytes the functions and streams take: any view of an ArrayBuffer, or one (shared or not). */
export type Bytes = ArrayBufferView | ArrayBuffer | SharedArrayBuffer;

/** Options for a stream stored inside other data. */
export interface SizeOptions {
  /** Expanded size of the stream: expand exactly this many bytes, whatever follows. */
  size?: number | bigint;
}

/** Options of compression. */
export interface CompressOptions {
  /**
   * Write the smallest stream instead of the native library's exact bytes:
   * for data that a fixed decoder reads later. Every decoder expands it; it
   * is a few percent smaller and about a third slower to make on text.
   */
  best?: boolean;
}

/** A stream ended before producing the number of bytes asked for. */
export class StreamEndError extends Error {
  /** A stream that gave `produced` of the `expected` bytes. */
  constructor(expected: number, produced: number);
  readonly name: 'StreamEndError';
  /** The size asked for. */
  readonly expected: number;
  /** The bytes the stream gave. */
  readonly produced: number;
}

/**
 * Largest compressed size of `n` source bytes: n + ceil(n / 8), the room
 * compress(data) needs at most for `n` bytes (a flag byte per 8 literals).
 * Throws RangeError unless `n` is a whole number from 0 to 2^53 - 1.
 */
export function compressBound(n: number): number;

/**
 * Largest expanded size of `n` compressed bytes: 144 for each whole group of
 * 17 bytes (a flag byte and eight references of 18 bytes), and for the r
 * bytes after them 18 for each two after the flag byte and 1 for an odd one.
 * decompress(data) never gives more than expandBound(data.length) bytes.
 * Throws RangeError unless `n` is a whole number from 0 to 2^53 - 1.
 */
export function expandBound(n: number): number;

/**
 * Returns the compressed form of `data`, byte for byte that of the native
 * library (with `best`, the smallest stream, that of the native tool's
 * --best). Throws TypeError for anything but bytes, RangeError when the
 * source and its compressed form do not fit WebAssembly memory (use
 * CompressionStream).
 */
export function compress(data: Bytes, options?: CompressOptions): Uint8Array;

/**
 * Returns the expansion of `data`; every byte sequence is valid input. With
 * `size`, expands the stream at the start of `data` to exactly that many
 * bytes and throws StreamEndError when it ends sooner. Throws TypeError and
 * RangeError for bad arguments, RangeError when the result does not fit
 * WebAssembly memory (use DecompressionStream).
 */
export function decompress(data: Bytes, options?: SizeOptions): Uint8Array;

/** Returns the size that decompress(data) gives. */
export function expandedSize(data: Bytes): number;

/**
 * Compresses the bytes written to `writable` into `readable`. Takes no
 * format: unlike the platform's CompressionStream it makes lzring streams
 * only, and throws TypeError when given one.
 */
export class CompressionStream {
  constructor(options?: CompressOptions);
  readonly readable: ReadableStream<Uint8Array>;
  readonly writable: WritableStream<Bytes>;
}

/**
 * Expands the compressed bytes written to `writable` into `readable`. With
 * `size`, stops after that many bytes (later input is not used) and fails
 * with StreamEndError when the input ends sooner.
 */
export class DecompressionStream {
  constructor(options?: SizeOptions);
  readonly readable: ReadableStream<Uint8Array>;
  readonly writable: WritableStream<Bytes>;
  /** Compressed bytes used so far, up to the end of the last unit expanded. */
  readonly bytesUsed: number;
}
