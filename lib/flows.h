// The two flows that move whole files through the model and the coder.
//
// Compression: read the whole input, count and scale (one static table),
// code every byte, close the input, then write head and coded stream.
// Decompression: read the compressed file (a long one is decoded while a
// second thread reads it), close it, decode exactly the announced number of
// bytes, then write them in one piece.
// Nothing reaches the output before all coding is done, so a run that fails
// leaves the output empty.
#pragma once

#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "lib/files.h"
#include "lib/result.h"
#include "model/model.h"
#include "rc/segments.h"

namespace vemk {

struct Compressed {
    Result result = Result::ok;
    rc::CodedStream stream;      // the coded stream
    model::FrequencyTable freq{}; // the table it was coded with
};

// Codes `input` (at most maxInputBytes long) with its own static table, on
// up to `threads` threads for a large input; the stream is the same for
// every number of threads.
Compressed compressBytes(std::span<const std::uint8_t> input, unsigned threads = 1);

// Decodes `length` bytes from `coded` with `table`. Damage is refused
// rather than guessed at: a negative length, a table that cannot code a
// non-empty file, a target outside the table, and a stream that ends before
// the last symbol, and one that does not end where its coding ends. Bytes
// after the end of the stream are never looked at.
Restored decompressBytes(std::span<const std::uint8_t> coded, const model::FrequencyTable& table,
                         std::int32_t length);

// The two steps of decompressBytes, for callers that bring their own room.
// checkHead refuses what the head alone shows (negativeLength, badTable);
// decodeInto then decodes `length` bytes into `out`, which has room for
// them, and refuses the damage that decoding shows.
Result checkHead(const model::FrequencyTable& table, std::int32_t length);
Result decodeInto(std::span<const std::uint8_t> coded, const model::FrequencyTable& table, std::int32_t length,
                  std::uint8_t* out);

// A whole compressed file in a new buffer, for the C++ interface:
// inputTooLarge or outOfMemory, or the file.
Packed packBuffer(std::span<const std::uint8_t> input, unsigned threads);

// Whole compressed files in the caller's memory, for the C interface:
// `written` is the size of the output on success and 0 otherwise, and an
// output larger than `dst` gives destinationTooSmall. Compressing codes into
// the encoder's own buffer and copies it once into `dst`; restoring decodes
// straight into `dst`.
Result compressInto(std::span<const std::uint8_t> input, std::span<std::uint8_t> dst, std::size_t& written,
                    unsigned threads);
Result decompressInto(std::span<const std::uint8_t> file, std::span<std::uint8_t> dst, std::size_t& written);

// Mode "c" and mode "d" on two open files. Both files are closed on return.
// Mode "c" codes on up to `threads` threads (the output is the same).
Result compressFile(InputFile& in, OutputFile& out, unsigned threads = 1);
Result decompressFile(InputFile& in, OutputFile& out);

} // namespace vemk
