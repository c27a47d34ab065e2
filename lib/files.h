// Whole files through the platform layer: the input read to its end (or as
// far as it can be used), and the output written and closed in one go.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <thread>

#include "common/bytes.h"
#include "platform/platform.h"
#include "lib/result.h"
#include "model/model.h"

namespace vemk {

using platform::InputFile;
using platform::OutputFile;

// Reads the input into a new `out` until the end of the file or until
// `out` holds `limit` bytes, whichever comes first; nothing beyond `limit`
// is ever read. `lengthHint` (-1 for none) is how many bytes are expected
// to follow, to size the buffer once. Fails with readFailed or outOfMemory.
Result readUpTo(InputFile& in, std::int64_t lengthHint, std::size_t limit, ByteString& out);

// readUpTo, and the occurrences of each byte value in what was read. With
// `overlap`, a second thread counts the blocks already read while the next
// ones are read, where the input is large enough to gain from it; the bytes,
// the counts and the result are the same either way.
Result readAndCount(InputFile& in, std::int64_t lengthHint, std::size_t limit, ByteString& out,
                    model::FrequencyTable& counts, bool overlap);

// A file read on a second thread while the caller uses what has come in:
// `bytes` has its full room from the start and does not move until
// finishReadAhead, and `ready` says how many of its bytes are in (read it
// with acquire order); `done` turns true once no more will come in.
struct ReadAhead {
    ByteString bytes;
    std::atomic<std::size_t> ready{0};
    std::atomic<bool> done{false};
    std::thread reader;
    Result result = Result::ok;
    bool ended = false; // the end of the file was seen
};

// Starts reading as readUpTo would: in blocks on a second thread, or, where
// the length is unknown, the file too short to gain from it, or no thread
// or memory could be had, whole and here (`done` is then true on return).
void startReadAhead(InputFile& in, std::int64_t lengthHint, std::size_t limit, ReadAhead& ahead);

// Waits for the reading thread, reads on whatever a file longer than it
// said still holds (moving `bytes`), and gives what readUpTo would have.
Result finishReadAhead(InputFile& in, std::size_t limit, ReadAhead& ahead);

// Writes `first` and then each of `rest` in order, and closes the output;
// after any failure the output is emptied and the result is writeFailed.
Result writeAndClose(OutputFile& out, std::span<const std::uint8_t> first, std::span<const ByteString> rest);

// Closes both files after a failure; the output is left empty.
Result abandon(InputFile& in, OutputFile& out, Result why);

} // namespace vemk
