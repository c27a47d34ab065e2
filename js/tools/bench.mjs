// Speed of the npm package in Node against the native program, both held to
// one core (taskset -c 0), in the same run:
//
//   node js/tools/bench.mjs PACKAGE_INDEX_JS VEMK INPUT [ROUNDS]
//
// Each round (after one warm-up) runs, in a new shuffled order, the four
// commands `vemk c`, `vemk d`, and a Node process that compresses or
// restores the same file with the package; each writes a new output file in
// /dev/shm (or the system's temporary folder). Figures are medians of the
// wall time of whole processes, as a user meets them, and for Node also of
// the call alone (compress or decompress, without start-up and file I/O).
import { spawnSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

// The child: one operation with the package, its call's time on stdout.
if (process.argv[2] === '--one') {
  const [, , , index, mode, input, output] = process.argv;
  const vemk = await import(pathToFileURL(index).href);
  const data = readFileSync(input);
  const started = process.hrtime.bigint();
  const result = mode === 'c' ? vemk.compress(data) : vemk.decompress(data);
  const ns = process.hrtime.bigint() - started;
  writeFileSync(output, result);
  console.log(String(ns));
  process.exit(0);
}

const [index, vemkPath, input, roundsText = '9'] = process.argv.slice(2).map((a, i) => (i < 3 ? resolve(a) : a));
const rounds = Number(roundsText);
const n = statSync(input).size;
const work = mkdtempSync(join(existsSync('/dev/shm') ? '/dev/shm' : tmpdir(), 'vemk-js-bench-'));
const packed = join(work, 'input.vemk');
const self = new URL(import.meta.url).pathname;

function run(args) {
  const started = process.hrtime.bigint();
  const r = spawnSync('taskset', ['-c', '0', ...args], { encoding: 'utf8' });
  const wall = Number(process.hrtime.bigint() - started) / 1e3;
  if (r.status !== 0) throw new Error(`failed (${r.status}): ${args.join(' ')}\n${r.stderr}`);
  return { wall, call: r.stdout.trim() ? Number(r.stdout.trim()) / 1e3 : null };
}

const commands = {
  'vemk c': (out) => run([vemkPath, 'c', input, out]),
  'vemk d': (out) => run([vemkPath, 'd', packed, out]),
  'node c': (out) => run([process.execPath, self, '--one', index, 'c', input, out]),
  'node d': (out) => run([process.execPath, self, '--one', index, 'd', packed, out]),
};
run([vemkPath, 'c', input, packed]);
const times = Object.fromEntries(Object.keys(commands).map((k) => [k, { wall: [], call: [] }]));
for (let round = 0; round <= rounds; round++) {
  const order = Object.keys(commands).sort(() => Math.random() - 0.5);
  for (const name of order) {
    const out = join(work, name.replace(' ', '-'));
    rmSync(out, { force: true });
    const t = commands[name](out);
    if (round > 0) {
      times[name].wall.push(t.wall);
      if (t.call !== null) times[name].call.push(t.call);
    }
  }
}
// Every output the same bytes: the package's compressed file is the program's.
const same = (a, b) => readFileSync(a).equals(readFileSync(b));
if (!same(join(work, 'node-c'), packed) || !same(join(work, 'vemk-c'), packed)) throw new Error('compressed bytes differ');
if (!same(join(work, 'node-d'), input) || !same(join(work, 'vemk-d'), input)) throw new Error('restored bytes differ');
rmSync(work, { recursive: true, force: true });

const median = (v) => {
  const s = [...v].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};
const mbps = (us) => (n / us).toFixed(1);
console.log(`input ${input}: ${n} bytes; ${rounds} rounds after a warm-up, one core, medians (MB/s = 10^6 bytes/s)`);
for (const mode of ['c', 'd']) {
  const native = median(times[`vemk ${mode}`].wall);
  const node = median(times[`node ${mode}`].wall);
  const call = median(times[`node ${mode}`].call);
  console.log(`${mode === 'c' ? 'compress  ' : 'decompress'}  vemk ${mbps(native)}  node process ${mbps(node)}` +
    ` (${(native / node).toFixed(2)}x)  node call ${mbps(call)} (${(native / call).toFixed(2)}x)`);
}
