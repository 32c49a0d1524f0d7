// Compresses or expands one file at a time off the page's thread, through
// the package's streams, so files larger than memory allows pass in pieces.
// Posts {progress} as the input is read (at most every 50 ms) and then
// {result} or {error}.

// Loaded here rather than by a static import, so that a package that cannot
// be loaded (a file missing on the server) fails each job with its reason
// instead of leaving the page waiting for a worker that never started.
const lzring = import('../lib/browser.js');
lzring.catch(() => {}); // reported by each job

async function run({ file, mode, offset, size }) {
  const { CompressionStream, DecompressionStream } = await lzring;
  const source = mode === 'compress' ? file : file.slice(offset);
  const total = source.size;
  let read = 0;
  let shown = 0;
  const counter = new TransformStream({
    transform(chunk, controller) {
      read += chunk.length;
      const now = performance.now();
      if (now - shown >= 50) {
        shown = now;
        postMessage({ progress: total === 0 ? 1 : read / total });
      }
      controller.enqueue(chunk);
    },
  });
  const codec = mode === 'compress' ? new CompressionStream() : new DecompressionStream({ size });
  // Read by hand rather than by Response.blob(), which hides the stream's
  // own error behind a generic one.
  const reader = source.stream().pipeThrough(counter).pipeThrough(codec).getReader();
  const chunks = [];
  for (let r = await reader.read(); !r.done; r = await reader.read()) chunks.push(r.value);
  const blob = new Blob(chunks);
  postMessage({ progress: 1 });
  return { blob, bytesUsed: mode === 'expand' ? codec.bytesUsed : undefined };
}

onmessage = async ({ data }) => {
  try {
    postMessage({ result: await run(data) });
  } catch (error) {
    postMessage({ error: `${error.name}: ${error.message}` });
  }
};
