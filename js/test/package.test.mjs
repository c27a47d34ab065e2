// The npm package as its users call it: VEMK_PACKAGE is the built index.js,
// VEMK_CORPUS_DIR the corpus and VEMK_CORPUS_HASHES the SHA-256 of the
// native program's compressed corpus files.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';

const vemk = await import(pathToFileURL(process.env.VEMK_PACKAGE).href);
const { compress, decompress, decompressedSize, VemkError, VemkDecompressionStream, version } = vemk;

const corpusDir = process.env.VEMK_CORPUS_DIR;
const corpus = readFileSync(process.env.VEMK_CORPUS_HASHES, 'utf8')
  .trim()
  .split('\n')
  .map((row) => {
    const [hash, packed] = row.split(/\s+/);
    return { name: packed.replace(/\.vemk$/, ''), hash };
  });
const read = (name) => readFileSync(join(corpusDir, name));
const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');
const text = (s) => new TextEncoder().encode(s);

// A seeded generator (splitmix32); each test that uses one prints its seed.
function generator(seed) {
  let s = seed >>> 0;
  return (n) => {
    s = (s + 0x9e3779b9) >>> 0;
    let z = s;
    z = Math.imul(z ^ (z >>> 16), 0x85ebca6b) >>> 0;
    z = Math.imul(z ^ (z >>> 13), 0xc2b2ae35) >>> 0;
    return ((z ^ (z >>> 16)) >>> 0) % n;
  };
}

// Restores `pieces` through a VemkDecompressionStream: its bytes, or the error.
async function throughStream(pieces) {
  const stream = new VemkDecompressionStream();
  const writer = stream.writable.getWriter();
  const writing = (async () => {
    for (const piece of pieces) await writer.write(piece);
    await writer.close();
  })().catch(() => {});
  const out = [];
  try {
    for await (const chunk of stream.readable) {
      assert.ok(chunk instanceof Uint8Array);
      out.push(chunk);
    }
  } catch (error) {
    await writing;
    return { error };
  }
  await writing;
  return { bytes: Buffer.concat(out) };
}

// `bytes` in pieces of seeded uneven sizes (empty ones among them).
function unevenPieces(bytes, random, largest) {
  const pieces = [];
  for (let at = 0; at < bytes.length; ) {
    const n = random(4) === 0 ? random(4) : random(largest) + 1;
    pieces.push(bytes.subarray(at, at + n));
    at += n;
  }
  return pieces;
}

function resultOf(call) {
  try {
    call();
    return 0;
  } catch (e) {
    assert.ok(e instanceof VemkError, `${e}`);
    return e.code;
  }
}

// The library's stream is in the wasm as soon as vemk_dstream_new makes one.
const haveStream = (() => {
  try {
    new VemkDecompressionStream();
    return true;
  } catch {
    return false;
  }
})();
const streamSkip = !haveStream && 'the library cannot make a stream yet';

test('version is the library\'s', () => {
  assert.match(version, /^\d+\.\d+\.\d+$/);
});

test('every corpus file compresses to the native program\'s bytes and restores', () => {
  assert.equal(corpus.length, 11);
  for (const { name, hash } of corpus) {
    const data = read(name);
    const packed = compress(data);
    assert.equal(sha256(packed), hash, name);
    assert.equal(decompressedSize(packed), data.length, name);
    assert.ok(Buffer.from(decompress(packed)).equals(data), name);
  }
});

test('every input type gives the same bytes', () => {
  const data = read('fields.c');
  const packed = compress(data);
  // Each type over the same bytes, some at an offset into a larger buffer.
  const carriers = {
    Buffer: (b) => Buffer.from(b),
    Uint8Array: (b) => new Uint8Array(b),
    'Uint8Array at an offset': (b) => {
      const big = new Uint8Array(b.length + 10);
      big.set(b, 7);
      return big.subarray(7, 7 + b.length);
    },
    ArrayBuffer: (b) => new Uint8Array(b).buffer,
    SharedArrayBuffer: (b) => {
      const shared = new SharedArrayBuffer(b.length);
      new Uint8Array(shared).set(b);
      return shared;
    },
    'DataView at an offset': (b) => {
      const big = new Uint8Array(b.length + 3);
      big.set(b, 3);
      return new DataView(big.buffer, 3, b.length);
    },
  };
  for (const [type, carry] of Object.entries(carriers)) {
    assert.ok(Buffer.from(compress(carry(data))).equals(packed), type);
    assert.ok(Buffer.from(decompress(carry(packed))).equals(data), type);
    assert.equal(decompressedSize(carry(packed)), data.length, type);
  }
  for (const wrong of ['text', 42, null, undefined, [1, 2, 3], { length: 1 }]) {
    assert.throws(() => compress(wrong), TypeError, String(wrong));
    assert.throws(() => decompress(wrong), TypeError, String(wrong));
    assert.throws(() => decompressedSize(wrong), TypeError, String(wrong));
  }
});

test('threads is accepted, one thread codes whatever it says', () => {
  const data = read('alice29.txt');
  const packed = compress(data);
  for (const threads of [0, 1, 2, 64]) {
    assert.ok(Buffer.from(compress(data, { threads })).equals(packed), `threads ${threads}`);
  }
  for (const threads of [-1, 1.5, '2', NaN]) {
    assert.throws(() => compress(data, { threads }), TypeError, `threads ${threads}`);
  }
});

test('empty input and the shortest heads', () => {
  const packed = compress(new Uint8Array(0));
  assert.equal(packed.length, 520); // the head and the flushed coder
  assert.equal(decompress(packed).length, 0);
  // A head shorter than its 516 bytes reads as padded with zeros: length 0.
  for (const n of [0, 1, 3, 4, 515]) {
    assert.equal(decompressedSize(new Uint8Array(n)), 0);
    assert.equal(decompress(new Uint8Array(n)).length, 0);
  }
});

// Damaged copies of one small file, each known to meet one kind of damage.
const small = compress(text('abracadabra'));
function damaged(at, value) {
  const copy = small.slice();
  copy[at] = value;
  return copy;
}
const lengthHead = (bytes) => {
  const head = new Uint8Array(516);
  head.set(bytes);
  return head;
};

test('every result the JavaScript calls can meet is a VemkError with the program\'s message', () => {
  const cases = [
    { code: 4, message: 'file too large', call: () => compress(new Uint8Array(2 ** 31)) },
    // Its largest compressed size has no address in a 32-bit memory.
    { code: 5, message: 'not enough memory', call: () => compress(new Uint8Array(2 ** 31 - 1)) },
    { code: 7, message: 'damaged file: negative length', call: () => decompress(lengthHead([0, 0, 0, 0x80])) },
    { code: 7, message: 'damaged file: negative length', call: () => decompressedSize(new Uint8Array([1, 2, 3, 0xff])) },
    { code: 8, message: 'damaged file: bad frequency table', call: () => decompress(lengthHead([1])) },
    { code: 9, message: 'damaged file: bad coded stream', call: () => decompress(damaged(521, 0x84)) },
    { code: 10, message: 'damaged file: coded stream cut short', call: () => decompress(small.subarray(0, small.length - 1)) },
    { code: 10, message: 'damaged file: coded stream cut short', call: () => decompress(damaged(517, 0x0e)) },
    { code: 12, message: 'damaged file: bad coded stream', call: () => decompress(damaged(517, 0x00)) },
  ];
  for (const { code, message, call } of cases) {
    assert.throws(call, (e) => {
      assert.ok(e instanceof VemkError && e instanceof Error);
      assert.equal(e.name, 'VemkError');
      assert.equal(e.code, code);
      assert.equal(e.message, message);
      return true;
    }, `result ${code}`);
  }
  // A failed call leaves nothing behind: the next one works.
  assert.ok(Buffer.from(decompress(small)).equals(Buffer.from('abracadabra')));
});

test('bytes after the file are ignored', () => {
  const data = read('grammar.lsp');
  const packed = Buffer.concat([compress(data), Buffer.from('trailing bytes')]);
  assert.ok(Buffer.from(decompress(packed)).equals(data));
});

test('the stream restores the corpus in uneven pieces', { skip: streamSkip }, async () => {
  const seed = Date.now() >>> 0;
  console.log(`stream pieces: seed ${seed}`);
  const random = generator(seed);
  for (const { name } of corpus) {
    const data = read(name);
    const packed = compress(data);
    // Pieces of a few bytes on the small files alone: each is a call.
    for (const largest of packed.length < 50000 ? [7, 600, 300000] : [600, 300000]) {
      const { bytes, error } = await throughStream(unevenPieces(packed, random, largest));
      assert.equal(error, undefined, `${name}, pieces up to ${largest}: ${error}`);
      assert.ok(bytes.equals(data), `${name}, pieces up to ${largest}`);
    }
  }
  // Every input type as a piece, and bytes after the file.
  const packed = compress(read('xargs.1'));
  const third = Math.floor(packed.length / 3);
  const pieces = [Buffer.from(packed.subarray(0, third)), packed.slice(third, 2 * third).buffer,
    new DataView(packed.slice(2 * third).buffer), text('after the file')];
  const { bytes } = await throughStream(pieces);
  assert.ok(bytes.equals(read('xargs.1')));
  const { error } = await throughStream([packed, 'text']);
  assert.ok(error instanceof TypeError);
});

test('a cut or damaged file errors the stream as decompress fails', { skip: streamSkip }, async () => {
  const packed = compress(read('sum'));
  const cuts = [0, 1, 4, 515, 516, 517, 1000, packed.length >> 1, packed.length - 1];
  const seed = (Date.now() >>> 0) ^ 0x5eed;
  console.log(`damaged copies: seed ${seed}`);
  const random = generator(seed);
  const copies = [
    ...cuts.map((n) => ({ what: `cut at ${n}`, bytes: packed.subarray(0, n) })),
    ...[[521, 0x84], [517, 0x0e], [517, 0x00]].map(([at, v]) => ({ what: `small[${at}] = ${v}`, bytes: damaged(at, v) })),
    ...Array.from({ length: 40 }, () => {
      const copy = packed.slice();
      const at = 516 + random(packed.length - 516);
      copy[at] ^= 1 + random(255);
      return { what: `byte ${at} changed`, bytes: copy };
    }),
  ];
  for (const { what, bytes } of copies) {
    const expected = resultOf(() => decompress(bytes));
    const { bytes: restored, error } = await throughStream(unevenPieces(bytes, random, 100));
    assert.equal(error === undefined ? 0 : error.code, expected, what);
    if (error) assert.ok(error instanceof VemkError, what);
    else assert.ok(restored.equals(decompress(bytes)), what);
  }
});

test('a large call gives its memory back, and a stream open across it goes on', { skip: streamSkip }, async () => {
  // About 20 MB: the call's memory passes what an instance keeps, so the
  // next call has a new one, while the open stream keeps its own.
  const parts = corpus.map(({ name }) => read(name));
  const large = Buffer.concat(Array.from({ length: 8 }, () => parts).flat());
  const packedSmall = compress(read('cp.html'));
  const stream = new VemkDecompressionStream();
  const writer = stream.writable.getWriter();
  const reading = new Response(stream.readable).arrayBuffer();
  await writer.write(packedSmall.subarray(0, 1000));
  const packedLarge = compress(large);
  assert.ok(Buffer.from(decompress(packedLarge)).equals(large));
  await writer.write(packedSmall.subarray(1000));
  await writer.close();
  assert.ok(Buffer.from(await reading).equals(read('cp.html')));
  assert.ok(Buffer.from(decompress(packedSmall)).equals(read('cp.html')));
});
