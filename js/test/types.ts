// The package's types as a TypeScript user meets them: every export used
// as documented, and the misuses that the types must refuse.
import { compress, decompress, decompressedSize, VemkDecompressionStream, VemkError, version } from 'vemk';

const text: string = version;
const bytes: Uint8Array = compress(new TextEncoder().encode(text), { threads: 2 });
const again: Uint8Array = decompress(bytes.buffer);
const n: number = decompressedSize(new DataView(again.buffer));
const stream: TransformStream<ArrayBufferView | ArrayBufferLike, Uint8Array> = new VemkDecompressionStream();

try {
  decompress(new Uint8Array(4));
} catch (e) {
  if (e instanceof VemkError) {
    const code: number = e.code;
    const message: string = e.message;
    console.log(code, message, n, stream);
  }
}

// @ts-expect-error: text is not bytes
compress('text');
// @ts-expect-error: threads is a number
compress(bytes, { threads: 'all' });
// @ts-expect-error: decompress gives bytes
const wrong: string = decompress(bytes);
console.log(wrong);
