// Loads dist/lzring.wasm once, in Node from the file beside this package and
// in browsers and workers by fetch, relative to this module's own URL. The
// module needs almost nothing from its host: a clock it never reads on one
// thread, a memory-growth notice, and an exit that only a failed internal
// check can call.

const url = new URL('../dist/lzring.wasm', import.meta.url);

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

async function load() {
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return WebAssembly.instantiate(await readFile(url), imports);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`lzring: cannot load ${url}: HTTP ${response.status}`);
  if (WebAssembly.instantiateStreaming && response.headers.get('content-type') === 'application/wasm') {
    return WebAssembly.instantiateStreaming(response, imports);
  }
  return WebAssembly.instantiate(await response.arrayBuffer(), imports);
}

const { instance } = await load();
instance.exports._initialize();

/** The module's exported functions and memory. */
export const wasm = instance.exports;
