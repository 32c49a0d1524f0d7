// A static file server for the package folder (the page, lib/, dist/): what
// any static server does, with the types module workers and WebAssembly need.
import { createServer } from 'node:http';
import { readFile } from 'node:fs/promises';
import path from 'node:path';

const types = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.wasm': 'application/wasm',
  '.css': 'text/css',
};

/**
 * Serves `root` on 127.0.0.1 at a free port; resolves to the server. Paths
 * that start with one of `missing` answer 404, as a server without them does.
 */
export function serve(root, { missing = [] } = {}) {
  const server = createServer(async (request, response) => {
    const url = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    const file = path.join(root, path.normalize(url));
    try {
      if (!file.startsWith(root + path.sep)) throw new Error('outside');
      if (missing.some((prefix) => url.startsWith(prefix))) throw new Error('missing');
      const body = await readFile(file);
      response.writeHead(200, { 'content-type': types[path.extname(file)] ?? 'application/octet-stream' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// Run directly: serve the package folder for a browser (node browser/serve.js).
if (import.meta.url === `file://${process.argv[1]}`) {
  const server = await serve(path.resolve(new URL('..', import.meta.url).pathname));
  console.log(`http://127.0.0.1:${server.address().port}/page/index.html`);
}
