// rc: the carry-propagating range coder with a 24-bit window.
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
//  - Chain of units: the unit of the next symbol depends only on the unit
//    and the symbol, and so does the number of shifts; `low` only adds up
//    unit * cumFreq terms. Coded from a low of 0 and the range it meets in
//    the stream, any run of symbols gives a number whose first byte is 0;
//    added at the offset of the shifts before the run, the numbers of
//    consecutive runs make the stream.
//  - Decoder: `code` is the coded value minus the low end of the interval.
//    After `newDecoder` and after every `decodeNarrow`,
//    0x10000 <= range <= 0xFFFFFF; between `decodeTarget` and
//    `decodeNarrow`, `range` holds the unit (range div total).
//  - The decoder loads exactly 4 + k bytes for a stream of 4 + k bytes.
//    A load past the end yields 0 and leaves `pos` beyond `size`; that is
//    how a cut-short stream shows, and the caller decides what it means.
//
// Neither side checks its arguments or throws: callers keep the slot
// preconditions (1 <= freq, cumFreq + freq <= total <= 0x10000).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/bytes.h"
#include "common/portable.h"

namespace vemk::rc {

// Positions count in size_t: the stream of an input just under 2 GiB may
// itself pass 2 GiB.
struct Encoder {
    ByteString buffer;    // coded bytes at [0, pos); buffer.size is unused
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

// A fresh encoder with room for the stream of `capacity` symbols: each
// symbol moves at most two bytes out of the window and the flush four, so
// the buffer never has to grow for a caller that codes `capacity` symbols.
// The room is left uninitialised; pages that are never written cost nothing.
// If even that cannot be had, `outOfMemory` is set from the start.
Encoder newEncoder(std::int32_t capacity);

// Codes the slot [cumFreq, cumFreq + freq) out of total.
void encode(Encoder& enc, std::int32_t cumFreq, std::int32_t freq,
            std::int32_t total);

// Moves the top byte of `low` out of the window: written, deferred as a
// pending 0xFF, or carried.
void shiftLow(Encoder& enc);

// Ends the stream and hands back every coded byte, in order. The encoder
// gives up its buffer and is not used again.
ByteString flushEncoder(Encoder& enc);

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

// ---------------------------------------------------------------------------
// The fast path. The flows code millions of symbols with one fixed total, so
// the operations above come again in forms that give the same results with
// fewer divisions and unpredictable branches. Tests hold each one to the
// plain form it replaces.

// Exact division of any x < 2^24 by a fixed d in 1..0x10000, as one multiply
// and one shift. With m = ceil(2^40 / d) = (2^40 + e) / d, 0 <= e < d:
//   x * m / 2^40 = x / d + x * e / (d * 2^40),
// and x * e < 2^24 * 2^16 = 2^40 makes the excess smaller than 1 / d. The
// fraction of x / d is at most (d - 1) / d, so the excess never reaches the
// next integer: the quotient is exact. x * m < 2^24 * 2^40 fits in 64 bits.
struct Divisor {
    std::uint64_t magic = 0;
};
inline constexpr int divisorShift = 40;

constexpr Divisor divisorOf(std::uint32_t d) {
    return {((std::uint64_t{1} << divisorShift) + d - 1) / d};
}

// x / d with divisorShift bits of fraction below it, its integer part exact.
constexpr std::uint64_t quotientOf(std::uint32_t x, Divisor d) { return x * d.magic; }

constexpr std::uint32_t divide(std::uint32_t x, Divisor d) {
    return static_cast<std::uint32_t>(quotientOf(x, d) >> divisorShift);
}

// The fixed total of a run of symbols as both fast coders use it. They carry
// the narrowed range as scaled = narrowed * magic, the product with the
// total's Divisor, which one multiply by freq * magic gives straight from
// the unit. Comparing `scaled` with the bounds scaled alike tells how many
// normalising shifts the range needs (magic > 0, and no product here
// reaches 2^64).
struct ScaledTotal {
    std::uint64_t magic = 0;     // of divisorOf(total)
    std::uint64_t oneShift = 0;  // 0x10000 * magic: below it, at least one shift
    std::uint64_t twoShifts = 0; // 0x100 * magic: below it, two
};

constexpr ScaledTotal scaledTotalOf(std::uint32_t total) {
    std::uint64_t magic = divisorOf(total).magic;
    return {magic, 0x10000 * magic, 0x100 * magic};
}

// How many bytes move through the window to normalise the range: 0, 1 or 2.
inline std::uint32_t normalisingShifts(std::uint64_t scaled, const ScaledTotal& t) {
    return static_cast<std::uint32_t>(scaled < t.oneShift) + static_cast<std::uint32_t>(scaled < t.twoShifts);
}

// The normalised range, narrowed << (8 * shifts).
inline std::uint32_t normalisedRange(std::uint64_t scaled, const ScaledTotal& t) {
    return static_cast<std::uint32_t>(scaled / t.magic) << (8 * normalisingShifts(scaled, t));
}

// The unit of the next symbol, (narrowed << bits) / total: shifting the
// narrowed range left by 8 or 16 before dividing is shifting `scaled` right
// by 8 or 16 less. Written as selections that the compiler should turn into
// conditional moves: whether a range needs normalising is a coin toss on
// compressed data, and a branch on it is mispredicted half the time.
inline std::uint32_t nextUnit(std::uint64_t scaled, const ScaledTotal& t) {
    std::uint64_t unit = scaled >> divisorShift;
    unit = portable::coinToss(scaled < t.oneShift) ? scaled >> (divisorShift - 8) : unit;
    unit = portable::coinToss(scaled < t.twoShifts) ? scaled >> (divisorShift - 16) : unit;
    return static_cast<std::uint32_t>(unit);
}

// Where a symbol's slot lies: [cumFreq, cumFreq + freq) out of the total.
struct SymbolSlot {
    std::uint32_t cumFreq = 0;
    std::uint32_t freq = 0;
};

// What the encoder's loop needs of each symbol value, with the total's
// ScaledTotal. The unit is at least 1, so a symbol needs one normalising
// shift exactly when unit <= oneShiftUpTo and two when also
// unit <= twoShiftsUpTo: the count is known from the unit alone, beside the
// multiply that narrows the range rather than after it.
struct SymbolSteps {
    ScaledTotal scaledTotal;
    std::array<std::uint64_t, 256> freqMagic{}; // freq * magic
    std::array<std::uint32_t, 256> cumFreq{};
    std::array<std::uint32_t, 256> oneShiftUpTo{};  // 0xFFFF / freq
    std::array<std::uint32_t, 256> twoShiftsUpTo{}; // 0xFF / freq
};

SymbolSteps symbolStepsOf(const SymbolSlot* slots, std::uint32_t total);

// The normalising shifts of coding `symbol` at `unit`, from the unit alone:
// two comparisons that do not wait for the multiply.
inline std::uint32_t normalisingShifts(std::uint32_t unit, std::uint8_t symbol, const SymbolSteps& steps) {
    return static_cast<std::uint32_t>(unit <= steps.oneShiftUpTo[symbol]) +
           static_cast<std::uint32_t>(unit <= steps.twoShiftsUpTo[symbol]);
}

// Codes symbols[i] with slots[symbols[i]] for every i: the same stream as one
// `encode` call per symbol with `total`. Every slot of a symbol that occurs
// must keep the preconditions of `encode`.
void encodeSymbols(Encoder& enc, const std::uint8_t* symbols, std::size_t count,
                   const SymbolSlot* slots, std::int32_t total);

// The normalised range after coding `count` symbols from `range`: the chain
// of units alone, without low or bytes. The chain depends on the symbols
// and the range only, which is what lets a stream be coded in pieces.
std::int32_t rangeAfter(std::int32_t range, const std::uint8_t* symbols, std::size_t count,
                        const SymbolSteps& steps);

// How encodeInSegments shares out its symbols. The stream read as one big
// number is the sum of each symbol's unit * cumFreq placed at the byte
// offset that the shifts before it give, so consecutive segments can be
// coded apart, each from a fresh low, and added together with carry where
// one ends and the next starts. What a segment cannot know is the range at
// its first symbol; chains of units started anywhere soon meet, so the
// chain run over `window` symbols before the segment gives a guess, checked
// once the segment before it has ended. A wrong guess codes the segment
// again from the right range: the bytes never depend on the guess. Where
// chains from both ends of the range have not met within the window, no
// guess is made and the segment is coded in turn.
struct SegmentPlan {
    unsigned threads = 1;                               // segments coded at once, at most
    std::size_t leastPerThread = std::size_t{4} << 20;  // fewer threads for fewer symbols than this each
    std::size_t window = std::size_t{64} << 10;         // symbols before a segment that give its guess
    bool spoilGuesses = false;                          // for tests: the guess of every other segment wrong
    std::size_t head = std::size_t{1} << 20;            // symbols coded before writing over them (see encodeInSegments)
};

// A coded stream as consecutive parts, so that the segments coded on other
// threads are never copied into one buffer: the stream is the bytes of
// parts[0], then those of parts[1], and so on. No part is empty.
struct CodedStream {
    std::unique_ptr<ByteString[]> parts;
    std::size_t partCount = 0;
    std::size_t size = 0; // bytes in all parts
};

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
CodedStream encodeInSegments(Encoder& enc, const std::uint8_t* symbols, std::size_t count,
                            const SymbolSlot* slots, std::int32_t total, const SegmentPlan& plan,
                            ByteString* spent = nullptr);

// A slot packed into one word for the decoder's loop, each field that the
// loop waits for one instruction away from the load:
//   bits 0-15 cumFreq, 16-23 zero, 24-31 the symbol, 32-47 zero,
//   48-63 freq; 0 for no slot.
// With cumFreq lowest and zeros above it, word * (unit << 40) is exactly
// cumFreq * unit << 40 (the fields above are carried out of 64 bits); with
// freq on top, the word compared with a bound made from the unit tells
// whether freq is at or below it.
inline constexpr std::uint64_t packSlot(std::uint32_t cumFreq, std::uint32_t freq, std::uint32_t symbol) {
    if (freq == 0) {
        return 0;
    }
    return std::uint64_t{cumFreq} | std::uint64_t{symbol} << 24 | std::uint64_t{freq} << 48;
}

inline constexpr std::uint32_t packedCumFreq(std::uint64_t word) { return static_cast<std::uint32_t>(word & 0xFFFF); }
inline constexpr std::uint32_t packedFreq(std::uint64_t word) { return static_cast<std::uint32_t>(word >> 48); }
inline constexpr std::uint32_t packedSymbol(std::uint64_t word) { return static_cast<std::uint32_t>((word >> 24) & 0xFF); }

// Decodes up to `count` symbols into `out`: the same steps as decodeTarget,
// the search and decodeNarrow, once per symbol. `findSlot(target, quotient)`
// gives the slot of a target below `total`, an object with `cumFreq`, `freq`
// (at least 1) and `symbol`, and optionally `word`, the same slot as
// packSlot gives it, which shortens the chain; `quotient` is the target with
// divisorShift bits of fraction below it (its integer part exact). A target
// at or past `total` has no slot. Stops early at a target without a slot or at a load
// past the end of the stream, and returns the number of symbols decoded
// (the last one, if it needed that load, included).
template <class FindSlot>
std::size_t decodeSymbols(Decoder& dec, std::uint8_t* out, std::size_t count, std::uint32_t total,
                          FindSlot&& findSlot);

// decodeSymbols for a stream that goes on past `size` with bytes not yet at
// hand: decodes only while four bytes from `pos` on are there to look at, so
// no load reaches past `size`, and leaves the rest to a call that has more
// of the stream. Stops early at a target without a slot, with `pos` then at
// least four short of `size`.
template <class FindSlot>
std::size_t decodeSymbolsAhead(Decoder& dec, std::uint8_t* out, std::size_t count, std::uint32_t total,
                               FindSlot&& findSlot);

namespace detail {

// Units up to this have their division by a table of Divisors; the unit is
// at most 0xFFFFFF / total, so every scaled table qualifies.
inline constexpr std::uint32_t tabledUnits = 1024;

// Four bytes of the stream from `p` on, the first in the top byte.
inline std::uint32_t fourBytes(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

template <bool unitsTabled, bool toTheEnd = true, class FindSlot>
std::size_t decodeRuns(Decoder& dec, std::uint8_t* out, std::size_t count, std::uint32_t total,
                       FindSlot& findSlot) {
    std::array<Divisor, tabledUnits + 1> perUnit{};
    if constexpr (unitsTabled) {
        for (std::uint32_t u = 1; u <= 0xFFFFFFU / total; ++u) {
            perUnit[u] = divisorOf(u);
        }
    }
    const ScaledTotal scaledTotal = scaledTotalOf(total);
    const std::uint64_t magic = scaledTotal.magic;

    // Locals rather than the record and the caller's finder: the stores to
    // `out` could alias them, which would load them again after each one.
    const FindSlot find = findSlot;
    // The range is carried scaled (see ScaledTotal); unit * magic is formed
    // while the target is still being found, so the slot's freq is one
    // multiply away from the next unit.
    std::uint64_t scaled = static_cast<std::uint32_t>(dec.range) * magic;
    std::uint32_t unit = nextUnit(scaled, scaledTotal);
    auto code = static_cast<std::uint32_t>(dec.code);
    std::size_t i = 0;
    // One symbol, looking at four bytes of `stream` from `at` on; false for
    // a target without a slot.
    auto step = [&](const std::uint8_t* stream, std::size_t& at) {
        std::uint64_t unitMagic = unit * magic;
        // The target, and the same quotient with divisorShift bits of
        // fraction: shifting it further gives coarser runs of targets at no
        // cost on the path to the slot.
        std::uint64_t quotient = unitsTabled ? quotientOf(code, perUnit[unit])
                                             : std::uint64_t{code / unit} << divisorShift;
        auto target = static_cast<std::uint32_t>(quotient >> divisorShift);
        if (target >= total) {
            return false;
        }
        auto slot = find(target, quotient);
        if constexpr (unitsTabled && requires { slot.word; }) {
            // The packed slot. The code rides at the top of a 64-bit window
            // with the next four bytes below it; taking cumFreq * unit off it
            // and shifting the window by the loads leaves the next code in
            // its top 24 bits. The loads are known from the word and two
            // bounds on freq that depend on the unit alone, so they are ready
            // before the slot is: unit * freq < 0x10000 exactly when
            // freq <= 0xFFFF / unit, and unit * freq < 0x100 exactly when
            // freq <= 0xFF / unit, which is (0xFFFF / unit) >> 8 (no multiple
            // of the unit lies above 0xFF and at or below 0xFFFF / 0x100).
            const std::uint32_t mostForOne = divide(0xFFFF, perUnit[unit]);
            const std::uint64_t oneLoadUpTo = std::uint64_t{mostForOne} << 48 | 0xFFFFFFFFFFFF;
            const std::uint64_t twoLoadsUpTo = std::uint64_t{mostForOne >> 8} << 48 | 0xFFFFFFFFFFFF;
            const std::uint64_t word = slot.word;
            std::uint64_t window = (std::uint64_t{code} << 40) | (std::uint64_t{fourBytes(stream + at)} << 8);
            window -= word * (std::uint64_t{unit} << 40);
            // Two loads less the ones needed, counted as two carries.
            const std::uint32_t spared = static_cast<std::uint32_t>(word > oneLoadUpTo) +
                                         static_cast<std::uint32_t>(word > twoLoadsUpTo);
            scaled = unitMagic * (word >> 48);
            unit = static_cast<std::uint32_t>(scaled >> (divisorShift - 16 + 8 * spared));
            code = static_cast<std::uint32_t>((window << (16 - 8 * spared)) >> 40);
            at += 2 - spared;
        } else {
            code -= unit * static_cast<std::uint32_t>(slot.cumFreq);
            scaled = unitMagic * static_cast<std::uint32_t>(slot.freq);
            unit = nextUnit(scaled, scaledTotal);
            std::uint32_t loads = normalisingShifts(scaled, scaledTotal);
            // Each load keeps 24 bits: ((code & 0xFFFF) << 8) + byte.
            std::uint64_t window = (std::uint64_t{code} << 32) | fourBytes(stream + at);
            code = static_cast<std::uint32_t>((window << (8 * loads)) >> 32) & 0xFFFFFF;
            at += loads;
        }
        out[i] = static_cast<std::uint8_t>(slot.symbol);
        return true;
    };

    // While four bytes remain, straight from the stream, in runs short
    // enough that none can look past its end (a symbol loads at most two
    // bytes).
    std::size_t pos = dec.pos;
    bool noSlot = false;
    if (dec.size >= 4) {
        const std::size_t last = dec.size - 4;
        while (!noSlot && i < count && pos <= last) {
            const std::size_t end = std::min(count, i + (last - pos) / 2 + 1);
            while (i < end) {
                if (!step(dec.buffer, pos)) {
                    noSlot = true;
                    break;
                }
                ++i;
            }
        }
    }
    // Then from a copy of the last bytes followed by the zeros that loads
    // past the end give, until a symbol has needed one of those: the
    // stream was cut short.
    if (toTheEnd && !noSlot && i < count) {
        std::array<std::uint8_t, 8> tail{};
        const std::size_t left = dec.size - pos;
        std::copy(dec.buffer + pos, dec.buffer + dec.size, tail.begin());
        std::size_t at = 0;
        while (i < count && at <= left) {
            if (!step(tail.data(), at)) {
                noSlot = true;
                break;
            }
            ++i;
        }
        pos += at;
    }
    // Stopped at a target without a slot, the decoder is where the plain
    // steps leave it: divided, its range holding the unit.
    dec.range = static_cast<std::int32_t>(noSlot ? unit : normalisedRange(scaled, scaledTotal));
    dec.code = static_cast<std::int32_t>(code);
    dec.pos = pos;
    return i;
}

} // namespace detail

template <class FindSlot>
std::size_t decodeSymbols(Decoder& dec, std::uint8_t* out, std::size_t count, std::uint32_t total,
                          FindSlot&& findSlot) {
    if (count == 0) {
        return 0;
    }
    // A stream shorter than four bytes has run past its end already: one
    // plain step decodes the symbol that shows it.
    if (ranPastEnd(dec)) {
        auto target = static_cast<std::uint32_t>(decodeTarget(dec, static_cast<std::int32_t>(total)));
        if (target >= total) {
            return 0;
        }
        auto slot = findSlot(target, std::uint64_t{target} << divisorShift);
        decodeNarrow(dec, static_cast<std::int32_t>(slot.freq), static_cast<std::int32_t>(slot.cumFreq));
        out[0] = static_cast<std::uint8_t>(slot.symbol);
        return 1;
    }
    return 0xFFFFFFU / total <= detail::tabledUnits ? detail::decodeRuns<true>(dec, out, count, total, findSlot)
                                                    : detail::decodeRuns<false>(dec, out, count, total, findSlot);
}

template <class FindSlot>
std::size_t decodeSymbolsAhead(Decoder& dec, std::uint8_t* out, std::size_t count, std::uint32_t total,
                               FindSlot&& findSlot) {
    if (count == 0 || dec.size < 4 || dec.pos > dec.size - 4) {
        return 0;
    }
    return 0xFFFFFFU / total <= detail::tabledUnits
               ? detail::decodeRuns<true, false>(dec, out, count, total, findSlot)
               : detail::decodeRuns<false, false>(dec, out, count, total, findSlot);
}

} // namespace vemk::rc
