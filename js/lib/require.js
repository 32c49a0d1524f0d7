// Source of dist/lzring.cjs, the CommonJS entry for require('lzring') in
// Node: build.sh bundles it with esbuild as CommonJS, where __dirname is the
// dist/ folder that holds lzring.wasm.
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { start } from './wasm.js';

/* global __dirname */
start(new WebAssembly.Module(readFileSync(path.join(__dirname, 'lzring.wasm'))));

export * from './api.js';
