// lzring for Node, as an ES module: reads dist/lzring.wasm beside this
// package and compiles it synchronously, then offers the functions and
// streams of api.js.
import { readFileSync } from 'node:fs';
import { start } from './wasm.js';

start(new WebAssembly.Module(readFileSync(new URL('../dist/lzring.wasm', import.meta.url))));

export * from './api.js';
