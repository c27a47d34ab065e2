/**
 * Bytes as the functions take them: a Uint8Array (a Node Buffer is one), an
 * ArrayBuffer or a DataView; any other typed array, and a SharedArrayBuffer,
 * give their bytes too.
 */
export type VemkInput = ArrayBufferView | ArrayBufferLike;

/** A failure of the library. */
export declare class VemkError extends Error {
  /** The C library's vemk_result: 4 file too large, 5 not enough memory, 7 to 10 and 12 damage, ... */
  readonly code: number;
  /** The message that the command line prints for it. */
  readonly message: string;
  readonly name: 'VemkError';
}

export interface CompressOptions {
  /** Accepted for the native interface's sake; WebAssembly codes on one thread. */
  threads?: number;
}

/** The compressed file of `data`: the bytes that `vemk c` writes. Throws a VemkError. */
export declare function compress(data: VemkInput, options?: CompressOptions): Uint8Array;

/** The bytes restored from a whole compressed file. Throws a VemkError. */
export declare function decompress(data: VemkInput): Uint8Array;

/** The uncompressed length announced by the head of a compressed file. Throws a VemkError. */
export declare function decompressedSize(data: VemkInput): number;

/**
 * Restores a compressed file as its bytes arrive, like the web's
 * DecompressionStream; damage or a cut file errors it with a VemkError.
 */
export declare class VemkDecompressionStream extends TransformStream<VemkInput, Uint8Array> {
  constructor();
}

/** The library's version, "major.minor.patch". */
export declare const version: string;
