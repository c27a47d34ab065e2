// The two flows that move whole files through the model and the coder.
//
// Compression: read the whole input, count and scale (one static table),
// code every byte, close the input, then write head and coded stream.
// Decompression: read the whole compressed file, close it, decode exactly
// the announced number of bytes, then write them in one piece.
// Nothing reaches the output before all coding is done, so a run that fails
// leaves the output empty.
#pragma once

#include <cstdint>
#include <span>

#include "common/bytes.h"
#include "driver/files.h"
#include "driver/result.h"
#include "model/model.h"

namespace vemk {

struct Compressed {
    Result result = Result::ok;
    ByteString stream;          // the coded stream
    model::FrequencyTable freq{}; // the table it was coded with
};

// Codes `input` (at most maxInputBytes long) with its own static table, on
// up to `threads` threads for a large input; the stream is the same for
// every number of threads.
Compressed compressBytes(std::span<const std::uint8_t> input, unsigned threads = 1);

// Decodes `length` bytes from `coded` with `table`. Damage is refused
// rather than guessed at: a negative length, a table that cannot code a
// non-empty file, a target outside the table, and a stream that ends before
// the last symbol. Bytes after the end of the stream are never looked at.
Restored decompressBytes(std::span<const std::uint8_t> coded, const model::FrequencyTable& table,
                         std::int32_t length);

// Mode "c" and mode "d" on two open files. Both files are closed on return.
Result compressFile(InputFile& in, OutputFile& out);
Result decompressFile(InputFile& in, OutputFile& out);

} // namespace vemk
