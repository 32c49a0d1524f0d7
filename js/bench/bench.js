// Compares the package with Node's zlib (deflateSync level 6, inflateSync)
// and with the native C++ API on one thread (bench/native.cpp, built against
// the release build) in one run, on the corpus or the files named:
//
//   node bench/bench.js [--min-time S] [--rounds N] [FILE...]
//
// Speeds are MB/s of original data by processor time, the best pass of each
// codec per file; the codecs take turns, round after round, so that a busy
// spell of a shared machine falls on all of them. Every expansion is checked.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdirSync, readFileSync, statSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import zlib from 'node:zlib';
import { compress, decompress } from '../lib/index.js';
import { corpusFiles } from '../test/helpers.js';

const args = process.argv.slice(2);
const option = (name, fallback) => {
  const at = args.indexOf(name);
  return at < 0 ? fallback : Number(args.splice(at, 2)[1]);
};
const minTime = option('--min-time', 0.3);
const rounds = option('--rounds', 3);
const files = args.length ? args : corpusFiles();

const root = fileURLToPath(new URL('../..', import.meta.url));
const release = path.join(root, 'build/release');
const native = path.join(root, 'build/js-bench/native');
const source = fileURLToPath(new URL('native.cpp', import.meta.url));
const libs = ['liblzring_cpp_static.a', 'liblzring_core.a'].map((l) => path.join(release, l));
if (!libs.every(existsSync)) throw new Error('build the release preset first (cmake --preset release && cmake --build --preset release)');
if (!existsSync(native) || statSync(native).mtimeMs < Math.max(...[source, ...libs].map((f) => statSync(f).mtimeMs))) {
  mkdirSync(path.dirname(native), { recursive: true });
  execFileSync('g++', ['-O2', '-std=c++20', `-I${path.join(root, 'include')}`, source, ...libs, '-pthread', '-o', native]);
}

function cpuSeconds() {
  const u = process.cpuUsage();
  return (u.user + u.system) / 1e6;
}

// Best processor time of one call of `pass`, over at least minTime.
function best(pass) {
  let fastest = Infinity;
  for (let spent = 0; spent < minTime; ) {
    const start = cpuSeconds();
    pass();
    const t = cpuSeconds() - start;
    fastest = Math.min(fastest, t);
    spent += t;
  }
  return fastest;
}

const same = (a, b) => Buffer.compare(a, b) === 0;

const codecs = {
  'lzring wasm': (data) => {
    let packed;
    const c = best(() => (packed = compress(data)));
    let plain;
    const d = best(() => (plain = decompress(packed)));
    if (!same(plain, data)) throw new Error('lzring wasm: expansion differs');
    return { size: packed.length, c, d };
  },
  'lzring native C++ API': (data, file) => {
    const [, , size, c, d] = execFileSync(native, [String(minTime), file]).toString().trim().split(' ');
    return { size: Number(size), c: Number(c), d: Number(d) };
  },
  'zlib -6 (node:zlib)': (data) => {
    let packed;
    const c = best(() => (packed = zlib.deflateSync(data, { level: 6 })));
    let plain;
    const d = best(() => (plain = zlib.inflateSync(packed)));
    if (!same(plain, data)) throw new Error('zlib: expansion differs');
    return { size: packed.length, c, d };
  },
};

// Best times of every codec on every file, over the rounds.
const results = new Map(Object.keys(codecs).map((name) => [name, files.map(() => ({ c: Infinity, d: Infinity }))]));
const inputs = files.map((f) => new Uint8Array(readFileSync(f)));
for (let round = 0; round < rounds; round++) {
  for (const [name, run] of Object.entries(codecs)) {
    files.forEach((file, i) => {
      const r = run(inputs[i], file);
      const slot = results.get(name)[i];
      Object.assign(slot, { size: r.size, c: Math.min(slot.c, r.c), d: Math.min(slot.d, r.d) });
    });
  }
}

const total = inputs.reduce((n, b) => n + b.length, 0);
console.log(`${files.length} files, ${(total / 1e6).toFixed(1)} MB; Node ${process.version}; best of ${rounds} rounds, processor time`);
console.log('codec                   compressed  compress MB/s  expand MB/s');
const rows = {};
for (const [name, slots] of results) {
  const size = slots.reduce((n, s) => n + s.size, 0);
  const c = total / 1e6 / slots.reduce((t, s) => t + s.c, 0);
  const d = total / 1e6 / slots.reduce((t, s) => t + s.d, 0);
  rows[name] = { c, d };
  console.log(`${name.padEnd(24)}${((100 * size) / total).toFixed(1).padStart(9)}%${c.toFixed(1).padStart(15)}${d.toFixed(0).padStart(13)}`);
}
const wasm = rows['lzring wasm'];
const cpp = rows['lzring native C++ API'];
const z = rows['zlib -6 (node:zlib)'];
console.log(`wasm / native: compress ${(wasm.c / cpp.c).toFixed(2)}x, expand ${(wasm.d / cpp.d).toFixed(2)}x; ` +
  `wasm expand / inflate ${(wasm.d / z.d).toFixed(2)}x`);
