// Restoring as a stream: the compressed file taken in pieces of any size,
// its bytes handed out as they come. The same steps as decodeInto, with the
// decoder carried from one piece to the next; its state and the few stream
// bytes that it has taken but not yet loaded are all that is kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "driver/decoding.h"
#include "driver/layout.h"
#include "driver/result.h"
#include "rc/rc.h"

namespace vemk {

struct DecodeStream {
    Result failure = Result::ok; // once set, the answer to every call
    bool done = false;           // every byte written and the stream found whole
    Head head{};
    std::size_t headTaken = 0;
    std::size_t count = 0; // bytes the head announces
    std::size_t decoded = 0;
    TableDecoder table;
    bool started = false; // the decoder's four start-up loads are made
    rc::Decoder dec;      // `buffer`, `size` and `pos` refer to the piece being decoded
    // Stream bytes taken but not yet loaded: the four of the start, or the
    // last of a piece (a symbol loads at most two).
    std::array<std::uint8_t, 4> held{};
    std::size_t heldCount = 0;
};

// One call's input and output, and how much of each it used.
struct StreamPiece {
    std::span<const std::uint8_t> in;
    std::size_t used = 0;
    std::span<std::uint8_t> out;
    std::size_t written = 0;
};

// Takes what it can of `piece.in` and writes what it can into `piece.out`;
// the stream's failure, or ok while none is known.
Result decodePiece(DecodeStream& s, StreamPiece& piece);

// Sets the stream's failure unless it has one; the failure it then has.
Result failStream(DecodeStream& s, Result r);

// The input has ended: ok if the file was restored whole, otherwise what
// decompressInto gives for the bytes taken, or destinationTooSmall if bytes
// that they restore were never written for want of room.
Result endStream(DecodeStream& s);

} // namespace vemk
