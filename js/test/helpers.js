// Shared by the tests: the native tool to compare with, the corpus, and
// generated inputs.
import { execFileSync } from 'node:child_process';
import { existsSync, readdirSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const root = fileURLToPath(new URL('../..', import.meta.url));

/** The native tool of a release build, or undefined when there is none. */
export const cli = [process.env.LZRING_CLI, path.join(root, 'build/release/cli/lzring')].find(
  (p) => p && existsSync(p),
);

/** The native tool's compressed form of `bytes`, read from its stdin. */
export function nativeCompress(bytes) {
  return new Uint8Array(execFileSync(cli, ['-c'], { input: bytes, maxBuffer: 1 << 30 }));
}

/** Every file of the shared corpus, by path. */
export function corpusFiles() {
  const dir = [process.env.LZRING_CORPUS, path.join(root, '../shared/corpus')].find(
    (p) => p && existsSync(p),
  );
  if (!dir) return [];
  // Walked by hand: readdirSync's `recursive` is newer than Node 18.0.
  const walk = (at) =>
    readdirSync(at, { withFileTypes: true }).flatMap((e) => {
      const p = path.join(at, e.name);
      if (e.isDirectory()) return walk(p);
      return e.isFile() && !/^(README\.md|SHA256SUMS)$/.test(e.name) ? [p] : [];
    });
  return walk(dir).sort();
}

/** A seeded generator of 32-bit numbers, so that failures repeat. */
export function random(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s + 0x6d2b79f5) >>> 0;
    let t = Math.imul(s ^ (s >>> 15), 1 | s);
    t ^= t + Math.imul(t ^ (t >>> 7), 61 | t);
    return (t ^ (t >>> 14)) >>> 0;
  };
}

/** `n` bytes of a shape: all one byte, words with repeats, or noise. */
export function shape(kind, n, seed = n) {
  const next = random(seed);
  const out = new Uint8Array(n);
  if (kind === 'zeros') return out;
  if (kind === 'noise') {
    for (let i = 0; i < n; i++) out[i] = next() & 0xff;
    return out;
  }
  const words = ['ring ', 'match ', 'the ', 'tree ', 'of ', 'a ', '\n', 'literal ', 'reference '];
  for (let i = 0; i < n; ) {
    const w = words[next() % words.length];
    for (let k = 0; k < w.length && i < n; k++) out[i++] = w.charCodeAt(k);
  }
  return out;
}

/** Splits `bytes` into pieces of random sizes, empty ones and large ones among them. */
export function pieces(bytes, seed) {
  const next = random(seed);
  const out = [];
  for (let at = 0; at < bytes.length; ) {
    const pick = next() % 10;
    const len = pick === 0 ? 0 : pick < 6 ? next() % 20 : pick < 9 ? next() % 70000 : next() % 600000;
    out.push(bytes.subarray(at, at + len));
    at += len;
  }
  return out;
}

/** Everything a stream transform gives for `chunks` written one by one. */
export async function through(stream, chunks) {
  const writing = (async () => {
    const writer = stream.writable.getWriter();
    for (const c of chunks) await writer.write(c);
    await writer.close();
  })();
  const [, out] = await Promise.all([writing, new Response(stream.readable).arrayBuffer()]);
  return new Uint8Array(out);
}
