// vemk for JavaScript: the library's C interface compiled to WebAssembly,
// with its bytes inside this module, so that loading it needs no fetch and no
// file lookup (Node, browsers, bundlers, pages opened from disk).

// Replaced by the build with the wasm's bytes in base64.
const wasmBase64 = '@VEMK_WASM_BASE64@';

// The largest input the length field can state: 2^31 - 1 bytes.
const maxInputBytes = 0x7fffffff;
const tooLarge = 4;
const outOfMemory = 5;
const destinationTooSmall = 11;
// An instance whose memory has grown past this is dropped after the call,
// so that one large file does not keep its memory for the life of the page.
const keptMemoryBytes = 64 * 1024 * 1024;
// The stream's buffers in the wasm memory: what it takes and gives per call.
const streamInBytes = 64 * 1024;
const streamOutBytes = 256 * 1024;

/** A failure of the library: `code` is its vemk_result, `message` its text. */
export class VemkError extends Error {
  constructor(code, message) {
    super(message);
    this.name = 'VemkError';
    this.code = code;
  }
}

function bytesOfBase64(text) {
  const raw = atob(text);
  const bytes = new Uint8Array(raw.length);
  for (let i = 0; i < raw.length; i++) bytes[i] = raw.charCodeAt(i);
  return bytes;
}

const wasmModule = await WebAssembly.compile(bytesOfBase64(wasmBase64));

// The library aborts only where the C++ runtime would end the process; the
// instance is then unusable, and the next call makes a new one.
class WasmAbort extends Error {}

function instantiate() {
  const imports = {
    wasi_snapshot_preview1: {
      proc_exit(status) {
        throw new WasmAbort(`vemk: the WebAssembly library aborted (status ${status})`);
      },
    },
    env: { emscripten_notify_memory_growth() {} },
  };
  const exports = new WebAssembly.Instance(wasmModule, imports).exports;
  exports._initialize();
  return exports;
}

let current = null;

function wasm() {
  current ??= instantiate();
  return current;
}

function cString(w, pointer) {
  const heap = new Uint8Array(w.memory.buffer);
  const start = pointer >>> 0;
  let end = start;
  while (heap[end] !== 0) end++;
  return new TextDecoder().decode(heap.subarray(start, end));
}

function failure(w, code) {
  return new VemkError(code, cString(w, w.vemk_message(code)));
}

// Runs `call(w)` on the current instance; drops the instance when the call
// broke it or left it with a large memory.
function withWasm(call) {
  const w = wasm();
  try {
    return call(w);
  } catch (e) {
    if (!(e instanceof VemkError)) current = null;
    if (e instanceof RangeError) throw failure(w, outOfMemory);
    throw e;
  } finally {
    if (current === w && w.memory.buffer.byteLength > keptMemoryBytes) current = null;
  }
}

// Memory in the wasm for `n` bytes (at least one, so that 0 means failure).
function allocate(w, n) {
  const pointer = w.malloc(Math.max(n, 1)) >>> 0;
  if (pointer === 0) throw failure(w, outOfMemory);
  return pointer;
}

// Frees every pointer in `pointers` after `call(...pointers)`, whatever it does.
function withMemory(w, sizes, call) {
  const pointers = [];
  try {
    for (const n of sizes) pointers.push(allocate(w, n));
    return call(...pointers);
  } finally {
    for (const p of pointers) w.free(p);
  }
}

function check(w, code) {
  if (code !== 0) throw failure(w, code);
}

const heapOf = (w) => new Uint8Array(w.memory.buffer);
const sizeAt = (w, pointer) => new Uint32Array(w.memory.buffer, pointer, 1)[0];

function bytesOf(data) {
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  const tag = Object.prototype.toString.call(data);
  if (tag === '[object ArrayBuffer]' || tag === '[object SharedArrayBuffer]') return new Uint8Array(data);
  throw new TypeError('vemk: the data must be a Uint8Array, an ArrayBuffer or a DataView');
}

/**
 * The compressed file of `data`, byte for byte what `vemk c` writes.
 * `threads` is accepted for the native interface's sake: WebAssembly codes
 * on one thread whatever it says.
 */
export function compress(data, { threads = 1 } = {}) {
  const input = bytesOf(data);
  if (!Number.isInteger(threads) || threads < 0) {
    throw new TypeError('vemk: threads must be a whole number of at least 0');
  }
  return withWasm((w) => {
    if (input.length > maxInputBytes) throw failure(w, tooLarge);
    // 0 when the largest compressed size has no address in the wasm's memory.
    const capacity = w.vemk_compress_bound(input.length) >>> 0;
    if (capacity === 0) throw failure(w, outOfMemory);
    return withMemory(w, [input.length, capacity, 4], (src, dst, size) => {
      heapOf(w).set(input, src);
      check(w, w.vemk_compress(dst, capacity, src, input.length, size));
      return heapOf(w).slice(dst, dst + sizeAt(w, size));
    });
  });
}

/** The uncompressed length that the head of the compressed file announces. */
export function decompressedSize(data) {
  // The length is the first 4 bytes, and a shorter head reads as padded.
  const head = bytesOf(data).subarray(0, 4);
  return withWasm((w) =>
    withMemory(w, [head.length, 4], (src, size) => {
      heapOf(w).set(head, src);
      check(w, w.vemk_decompressed_size(src, head.length, size));
      return sizeAt(w, size);
    }),
  );
}

/** The bytes restored from a whole compressed file. */
export function decompress(data) {
  const file = bytesOf(data);
  return withWasm((w) =>
    withMemory(w, [file.length, 4], (src, size) => {
      heapOf(w).set(file, src);
      // With no room, the head is checked and its length given, or the
      // result is final: memory is not taken for a length that a damaged
      // head claims.
      const first = w.vemk_decompress(0, 0, src, file.length, size);
      if (first !== destinationTooSmall) {
        check(w, first);
        return new Uint8Array(0);
      }
      const n = w.vemk_decompressed_size(src, file.length, size) === 0 ? sizeAt(w, size) : 0;
      return withMemory(w, [n], (dst) => {
        check(w, w.vemk_decompress(dst, n, src, file.length, size));
        return heapOf(w).slice(dst, dst + sizeAt(w, size));
      });
    }),
  );
}

// A restore in progress: the library's stream and its buffers, in the
// instance it was made in (later calls may have moved on to another).
function openStream() {
  const w = wasm();
  const ds = w.vemk_dstream_new() >>> 0;
  if (ds === 0) throw failure(w, outOfMemory);
  const s = { w, ds, buffers: 0, done: false };
  try {
    // One block: the input piece, the output piece, then the three counters.
    s.buffers = allocate(w, streamInBytes + streamOutBytes + 12);
  } catch (e) {
    w.vemk_dstream_free(ds);
    throw e;
  }
  return s;
}

function closeStream(s) {
  if (s.ds !== 0) {
    s.w.vemk_dstream_free(s.ds);
    s.w.free(s.buffers);
    s.ds = 0;
  }
}

// Frees the library's stream of one that was dropped before its end.
const abandoned = new FinalizationRegistry(closeStream);

// Decodes `piece` (at most streamInBytes) and hands on every restored byte.
function decodePiece(s, piece, enqueue) {
  const { w } = s;
  const src = s.buffers;
  const dst = src + streamInBytes;
  const counters = dst + streamOutBytes;
  heapOf(w).set(piece, src);
  let used = 0;
  for (;;) {
    const r = w.vemk_dstream_decode(s.ds, dst, streamOutBytes, counters, src + used, piece.length - used,
      counters + 4, counters + 8);
    const counts = new Uint32Array(w.memory.buffer, counters, 3);
    const written = counts[0];
    used += counts[1];
    if (written > 0) enqueue(heapOf(w).slice(dst, dst + written));
    if (r !== 0) throw failure(w, r);
    if (written === 0 && counts[1] === 0 && used < piece.length && counts[2] === 0) {
      throw new Error('vemk: the stream took no input and gave no output');
    }
    if (counts[2] !== 0) {
      s.done = true;
      return;
    }
    // Stop once the piece is taken and the output did not fill: the
    // stream then needs more input to give more.
    if (used >= piece.length && written < streamOutBytes) return;
  }
}

/**
 * A TransformStream of Uint8Arrays that restores a compressed file as its
 * bytes arrive, as the web's DecompressionStream does. Damage, or a file cut
 * short, errors the stream with a VemkError; bytes after the file are
 * ignored.
 */
export class VemkDecompressionStream extends TransformStream {
  constructor() {
    // The transformer's functions hold `token` while either side of the
    // stream can still call them; once it is collected the registry frees
    // the library's stream.
    const token = {};
    let s = null;
    const finish = () => {
      abandoned.unregister(token);
      closeStream(s);
    };
    super({
      start() {
        s = openStream();
        abandoned.register(token, s, token);
      },
      transform(chunk, controller) {
        try {
          const bytes = bytesOf(chunk);
          for (let at = 0; at < bytes.length && !s.done; at += streamInBytes) {
            decodePiece(s, bytes.subarray(at, at + streamInBytes), (out) => controller.enqueue(out));
          }
        } catch (e) {
          finish();
          throw e;
        }
      },
      cancel() {
        finish();
      },
      flush() {
        const r = s.w.vemk_dstream_end(s.ds);
        const error = r === 0 ? null : failure(s.w, r);
        finish();
        if (error) throw error;
      },
    });
  }
}

// Engines run a new module in a quick baseline tier and optimise only
// functions that have run for a while, from their next call on. The coding
// loops run once per call, so a first large call would run all its length
// unoptimised: a small round trip at load gets them optimised first, and
// checks the wasm on the way.
{
  const sample = new Uint8Array(64 * 1024);
  for (let i = 0; i < sample.length; i++) sample[i] = 32 + (((i * i) >>> 5) % 95);
  const restored = decompress(compress(sample));
  if (restored.length !== sample.length || restored.some((b, i) => b !== sample[i])) {
    throw new Error('vemk: the WebAssembly library did not restore its own sample');
  }
}

/** The library's version, "major.minor.patch". */
export const version = withWasm((w) => cString(w, w.vemk_version()));
