// The codec's WebAssembly instance, shared by the functions and streams of
// api.js. Each entry point starts it once, synchronously, from the module's
// bytes it has at hand: index.js (Node, ES module) reads dist/lzring.wasm,
// the CommonJS build reads the same file beside it, and browser.js has the
// bytes inlined (dist/lzring-wasm.js), so that no entry needs a top-level
// await, a fetch or a Node import in a browser. The module needs almost
// nothing from its host: a clock it never reads on one thread, a
// memory-growth notice, and an exit that only a failed internal check can
// call.

const imports = {
  env: {
    emscripten_notify_memory_growth() {},
    __call_sighandler() {},
  },
  wasi_snapshot_preview1: {
    clock_time_get() {
      return 52; // ENOSYS: nothing in a one-thread codec needs the time
    },
    proc_exit(code) {
      throw new WebAssembly.RuntimeError(`lzring: the codec stopped (${code})`);
    },
  },
};

/** The module's exported functions and memory, once started. */
export let wasm;

/** Instantiates `module` (a WebAssembly.Module of dist/lzring.wasm) as the codec, once. */
export function start(module) {
  if (wasm !== undefined) return;
  const instance = new WebAssembly.Instance(module, imports);
  instance.exports._initialize();
  wasm = instance.exports;
}
