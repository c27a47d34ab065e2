// rc: the carry-propagating range coder with a 24-bit window, in its plain
// form: the two records and the few operations that advance them. The fast
// loops (fast.h, decode_loop.h) and the segments (segments.h) give the same
// results and are tested against these.
//
// Invariants, stated once:
//  - Encoder: between two `encode` calls 0x10000 <= range <= 0xFFFFFF and
//    0 <= low <= 0xFFFFFF. `cache` is the last settled byte, held back
//    because a carry may still reach it; `pending` counts the 0xFF bytes
//    settled after it; `carry` (0 or 1) is a carry out of `low` not yet
//    added to them. Every byte already in `buffer` is final.
//  - Coded stream: b0 is always 0x00 (the first `cache`); read as a
//    big-endian number it is the final `low` with every carry resolved. Its
//    length is 4 + the number of `shiftLow` steps made inside `encode`.
//  - Decoder: `code` is the coded value minus the low end of the interval.
//    After `newDecoder` and after every `decodeNarrow`,
//    0x10000 <= range <= 0xFFFFFF; between `decodeTarget` and
//    `decodeNarrow`, `range` holds the unit (range div total). After the
//    last symbol of a well-formed stream `code` is 0.
//  - The decoder loads exactly 4 + k bytes for a stream of 4 + k bytes.
//    A load past the end yields 0 and leaves `pos` beyond `size`; that is
//    how a cut-short stream shows, and the caller decides what it means.
//
// Neither side checks its arguments or throws: callers keep the slot
// preconditions (1 <= freq, cumFreq + freq <= total <= 0x10000).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.h"

namespace vemk::rc {

// Positions count in size_t: the stream of an input just under 2 GiB may
// itself pass 2 GiB.
struct Encoder {
    OwnedBytes buffer;    // coded bytes at [0, pos)
    std::size_t room = 0; // bytes that buffer can hold
    std::size_t pos = 0;  // bytes written so far
    std::int32_t low = 0;
    std::int32_t range = 0xFFFFFF;
    std::int32_t pending = 0;
    std::int32_t cache = 0;
    std::int32_t carry = 0;
    bool outOfMemory = false; // bytes were lost: the buffer could not grow
    bool roomFixed = false;   // the buffer holds bytes still to be read: never moved or grown
};

// A fresh encoder with `room` bytes of room to start with: the buffer grows
// as the stream needs (each symbol moves at most two bytes out of the
// window and the flush four), so the room is only where it starts. It is
// left uninitialised; pages that are never written cost nothing. If even
// that cannot be had, `outOfMemory` is set from the start.
Encoder newEncoder(std::size_t room);

// Codes the slot [cumFreq, cumFreq + freq) out of total.
void encode(Encoder& enc, std::int32_t cumFreq, std::int32_t freq, std::int32_t total);

// Moves the top byte of `low` out of the window: written, deferred as a
// pending 0xFF, or carried.
void shiftLow(Encoder& enc);

// Ends the stream and hands back every coded byte, in order. The encoder
// gives up its buffer and is not used again.
ByteString flushEncoder(Encoder& enc);

// Makes sure `extra` more bytes fit in the encoder's buffer, growing it to
// a quarter more than it needs unless its room is fixed; false when it
// cannot.
bool makeRoom(Encoder& enc, std::size_t extra);

struct Decoder {
    const std::uint8_t* buffer = nullptr; // the coded stream, read-only view
    std::size_t size = 0;                 // bytes in buffer
    std::size_t pos = 0;                  // next byte to load
    std::int32_t range = 0xFFFFFF;
    std::int32_t code = 0;
};

// A decoder over `size` coded bytes, which must outlive it. The four
// start-up loads happen here; past the end they yield 0 like any other.
Decoder newDecoder(std::span<const std::uint8_t> bytes);

// Shifts one more byte of the stream into `code`.
void loadByte(Decoder& dec);

// Returns the target count of the next symbol; `range` then holds the unit.
std::int32_t decodeTarget(Decoder& dec, std::int32_t total);

// Narrows to the slot of the symbol found for the target and normalises.
void decodeNarrow(Decoder& dec, std::int32_t freq, std::int32_t cumFreq);

// True once a load has gone past the end of the coded bytes.
inline bool ranPastEnd(const Decoder& dec) { return dec.pos > dec.size; }

// The one carry walker: adds a carry to the byte at `p`, running it back
// through the 0xFF bytes before it as far as `begin`. False when `begin`
// too was 0xFF, so that the carry goes on into the bytes before it (another
// part of the stream).
inline bool carryBack(std::uint8_t* begin, std::uint8_t* p) {
    while (p > begin && *p == 0xFF) {
        *p-- = 0x00;
    }
    *p = static_cast<std::uint8_t>(*p + 1);
    return *p != 0;
}

} // namespace vemk::rc
