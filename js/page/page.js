// The page: takes files from the picker or a drop, hands them one at a time
// to the worker, shows its progress, and lists each result with its sizes
// and a download link.
const $ = (id) => document.getElementById(id);
const worker = new Worker(new URL('worker.js', import.meta.url), { type: 'module' });
let chosen = [];
// The job waiting for the worker, and why the worker stopped, once it has
// (its script could not be loaded or failed to start): every job from then on
// fails at once with that reason rather than wait for an answer.
let pending;
let stopped;
worker.onerror = (event) => {
  event.preventDefault();
  stopped = new Error(`the page's worker stopped: ${event.message || 'its script could not be loaded'}`);
  pending?.(stopped);
};

function mode() {
  return document.querySelector('input[name=mode]:checked').value;
}

function choose(files) {
  chosen = [...files];
  $('run').disabled = chosen.length === 0;
  $('status').textContent = chosen.length ? `${chosen.length} file(s) chosen` : '';
}

// Decimal or 0x-prefixed hexadecimal; empty gives `empty`.
function number(text, what, empty) {
  const t = text.trim();
  if (t === '') return empty;
  if (!/^(0x[0-9a-f]+|\d+)$/i.test(t)) throw new Error(`${what} must be a whole number`);
  const n = Number(t);
  if (!Number.isSafeInteger(n)) throw new Error(`${what} is too large`);
  return n;
}

function outputName(name, how) {
  if (how === 'compress') return `${name}.lzr`;
  return name.endsWith('.lzr') && name.length > 4 ? name.slice(0, -4) : `${name}.out`;
}

function ratio(compressed, expanded) {
  return expanded === 0 ? '–' : `${((100 * compressed) / expanded).toFixed(1)}%`;
}

// Runs one job in the worker, moving the progress bar as it reports.
function work(job) {
  if (stopped) return Promise.reject(stopped);
  return new Promise((resolve, reject) => {
    pending = reject;
    worker.onmessage = ({ data }) => {
      if (data.progress !== undefined) $('progress').value = data.progress;
      else if (data.error !== undefined) reject(new Error(data.error));
      else resolve(data.result);
    };
    worker.postMessage(job);
  });
}

function addRow(cells, link) {
  const row = document.createElement('tr');
  for (const [text, numeric] of cells) {
    const td = document.createElement('td');
    td.textContent = text;
    if (numeric) td.className = 'n';
    row.append(td);
  }
  const last = document.createElement('td');
  last.append(link);
  row.append(last);
  $('results').append(row);
}

async function runAll() {
  const how = mode();
  $('run').disabled = true;
  try {
    const offset = how === 'expand' ? number($('offset').value, 'Offset', 0) : 0;
    const size = how === 'expand' ? number($('size').value, 'Size', undefined) : undefined;
    for (const file of chosen) {
      $('progress').value = 0;
      $('status').textContent = `${how === 'compress' ? 'Compressing' : 'Expanding'} ${file.name}…`;
      try {
        if (offset > file.size) throw new Error(`offset ${offset} is past the end (${file.size} bytes)`);
        const { blob, bytesUsed } = await work({ file, mode: how, offset, size });
        const link = document.createElement('a');
        link.href = URL.createObjectURL(blob);
        link.download = outputName(file.name, how);
        link.textContent = `Download ${link.download}`;
        const used = bytesUsed === undefined ? file.size : bytesUsed;
        const [packed, plain] = how === 'compress' ? [blob.size, file.size] : [used, blob.size];
        addRow([[file.name], [file.size, true], [blob.size, true], [ratio(packed, plain), true]], link);
        $('status').textContent =
          `Done: ${file.name}` + (how === 'expand' && size !== undefined ? ` (${used} compressed bytes used)` : '');
      } catch (error) {
        $('progress').value = 0;
        const note = document.createElement('span');
        note.className = 'error';
        note.textContent = error.message;
        addRow([[file.name], [file.size, true], [''], ['']], note);
        $('status').textContent = `Failed: ${file.name}`;
      }
    }
  } catch (error) {
    $('progress').value = 0;
    $('status').textContent = error.message;
  } finally {
    $('run').disabled = chosen.length === 0;
  }
}

$('files').addEventListener('change', (e) => choose(e.target.files));
for (const radio of document.querySelectorAll('input[name=mode]')) {
  radio.addEventListener('change', () => ($('bounds').disabled = mode() !== 'expand'));
}
const drop = $('drop');
drop.addEventListener('dragover', (e) => {
  e.preventDefault();
  drop.classList.add('over');
});
drop.addEventListener('dragleave', () => drop.classList.remove('over'));
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  drop.classList.remove('over');
  choose(e.dataTransfer.files);
});
$('run').addEventListener('click', runAll);
