// The page: every chosen or dropped file is compressed, or restored if its
// name ends in .vemk, and offered back as a download. All of it here, in the
// page: nothing is sent anywhere.
const results = document.getElementById('results');
const input = document.getElementById('files');
const drop = document.getElementById('drop');

const restoring = (name) => /\.vemk$/i.test(name);
const outputName = (name) => (restoring(name) ? name.slice(0, -5) || 'restored' : `${name}.vemk`);
const sizeText = (n) => `${n.toLocaleString('en')} byte${n === 1 ? '' : 's'}`;

function show(item, ...parts) {
  item.replaceChildren(...parts);
}

function line(text, className) {
  const span = document.createElement('span');
  span.textContent = text;
  if (className) span.className = className;
  return span;
}

async function handle(file) {
  const item = document.createElement('li');
  results.append(item);
  show(item, line(`${file.name}: working...`));
  const restore = restoring(file.name);
  let bytes, output, started;
  try {
    bytes = new Uint8Array(await file.arrayBuffer());
    started = performance.now();
    output = restore ? decompress(bytes) : compress(bytes);
  } catch (e) {
    const message = e instanceof VemkError ? e.message : String(e);
    const error = line(`${file.name}: not ${restore ? 'restored' : 'compressed'}: ${message}`, 'bad');
    error.setAttribute('role', 'alert');
    show(item, error);
    return;
  }
  const ms = performance.now() - started;
  const name = outputName(file.name);
  const link = document.createElement('a');
  link.href = URL.createObjectURL(new Blob([output], { type: 'application/octet-stream' }));
  link.download = name;
  link.textContent = `Download ${name}`;
  const figures = line(` ${restore ? 'restored' : 'compressed'} ${sizeText(bytes.length)} to ${sizeText(output.length)}` +
    ` in ${ms.toFixed(1)} ms`, 'figures');
  show(item, link, figures);
}

async function handleAll(files) {
  for (const file of files) await handle(file);
}

input.addEventListener('change', () => {
  handleAll([...input.files]).finally(() => {
    input.value = '';
  });
});
for (const type of ['dragenter', 'dragover']) {
  drop.addEventListener(type, (e) => {
    e.preventDefault();
    drop.classList.add('over');
  });
}
for (const type of ['dragleave', 'drop']) {
  drop.addEventListener(type, () => drop.classList.remove('over'));
}
drop.addEventListener('drop', (e) => {
  e.preventDefault();
  handleAll([...e.dataTransfer.files]);
});
// A file dropped beside the area would otherwise be opened in place of the page.
window.addEventListener('dragover', (e) => e.preventDefault());
window.addEventListener('drop', (e) => e.preventDefault());
document.body.dataset.ready = 'true';
