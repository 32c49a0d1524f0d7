// lzring for browsers, workers and bundlers: the module's bytes come inlined
// (dist/lzring-wasm.js, made by build.sh) and are compiled synchronously, so
// this entry imports nothing from Node, needs no file beside the bundle and
// no top-level await.
import { start } from './wasm.js';
import { wasmBytes } from '../dist/lzring-wasm.js';

start(new WebAssembly.Module(wasmBytes()));

export * from './api.js';
