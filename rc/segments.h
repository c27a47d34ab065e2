// The encoder on several threads. The stream read as one big number is the
// sum of each symbol's unit * cumFreq placed at the byte offset that the
// shifts before it give, so consecutive segments can be coded apart, each
// from a fresh low, and added together with carry where one ends and the
// next starts. What a segment cannot know is the range at its first symbol;
// chains of units started anywhere soon meet, so the chain run over
// `window` symbols before the segment gives a guess, checked once the
// segment before it has ended. A wrong guess codes the segment again from
// the right range: the bytes never depend on the guess. Where chains from
// both ends of the range have not met within the window, no guess is made
// and the segment is coded in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "common/bytes.h"
#include "rc/coder.h"
#include "rc/fast.h"

namespace vemk::rc {

struct SegmentPlan {
    unsigned threads = 1;                              // segments coded at once, at most
    std::size_t leastPerThread = std::size_t{4} << 20; // fewer threads for fewer symbols than this each
    std::size_t window = std::size_t{64} << 10;        // symbols before a segment that give its guess
    std::size_t head = std::size_t{1} << 20;           // symbols coded before writing over them (see encodeInSegments)
    std::size_t expected = 0; // bytes the whole stream is expected to take, to size its buffers (0: one a symbol)
    // A seam for tests: given a segment's guess (a range), its total and
    // its number, gives the range to code it from. None in the library.
    std::int32_t (*changeGuess)(std::int32_t guess, std::int32_t total, std::size_t segment) = nullptr;
};

// A coded stream as consecutive parts, so that the segments coded on other
// threads are never copied into one buffer: the stream is the bytes of
// parts[0], then those of parts[1], and so on. No part is empty.
struct CodedStream {
    std::unique_ptr<ByteString[]> parts;
    std::size_t partCount = 0;
};

// The bytes in all parts.
std::size_t streamSize(const CodedStream& stream);

// Room for a stream expected to take `expected` bytes: a little more, and a
// block of the most that encodeGrowing codes at once, so that a stream as
// long as expected never has to grow.
std::size_t roomFor(std::size_t expected);

// Codes symbols[i] with slots[symbols[i]] for every i and ends the stream:
// the same bytes as encodeSymbols then flushEncoder, on plan.threads threads
// where there are enough symbols (one thread is exactly those two calls).
// On failure to get memory `enc.outOfMemory` is set. `enc` is not used again.
//
// `spent`, if given, is the buffer that holds the symbols, given up by a
// caller that needs them no more: the stream is then written over the
// symbols already coded, into memory that is in use and in the cache
// already, rather than into as much fresh memory again. The first
// plan.head symbols go to the encoder's own buffer, so that the stream
// starts in `spent` with a lead that only grows where the symbols
// compress; where it shrinks too far, or would reach symbols that another
// thread still reads, the rest goes to a buffer of its own. `spent` may be
// taken over (it is then one of the stream's parts, or freed); the caller
// does not use it again either way.
CodedStream encodeInSegments(Encoder& enc, const std::uint8_t* symbols, std::size_t count, const SymbolSlot* slots,
                             std::int32_t total, const SegmentPlan& plan, ByteString* spent = nullptr);

} // namespace vemk::rc
