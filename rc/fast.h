// The coder's fast arithmetic. The flows code millions of symbols with one
// fixed total, so the plain operations of coder.h come again in forms that
// give the same results with fewer divisions and unpredictable branches.
// Tests hold each one to the plain form it replaces.
//
// Chain of units: the unit of the next symbol depends only on the unit and
// the symbol, and so does the number of shifts; `low` only adds up
// unit * cumFreq terms. That is what lets the encoder code a stream in
// pieces (segments.h) and the decoder run over a stream that arrives in
// pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/portable.h"
#include "rc/coder.h"

namespace vemk::rc {

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

// One link of the chain of units: codes `symbol` at `unit`, leaving the
// narrowed range in `scaled` and the next symbol's unit in `unit`, and
// returns how many bytes move through the window. The shifts come from two
// comparisons that do not wait for the multiply, so the next unit is a
// multiply and a shift away.
inline std::uint32_t advanceUnit(std::uint32_t& unit, std::uint64_t& scaled, std::uint8_t symbol,
                                 const SymbolSteps& steps) {
    const std::uint32_t shifts = static_cast<std::uint32_t>(unit <= steps.oneShiftUpTo[symbol]) +
                                 static_cast<std::uint32_t>(unit <= steps.twoShiftsUpTo[symbol]);
    scaled = unit * steps.freqMagic[symbol];
    unit = static_cast<std::uint32_t>(scaled >> (divisorShift - 8 * shifts));
    return shifts;
}

// Codes symbols[i] with slots[symbols[i]] for every i: the same stream as one
// `encode` call per symbol with `total`. Every slot of a symbol that occurs
// must keep the preconditions of `encode`.
void encodeSymbols(Encoder& enc, const std::uint8_t* symbols, std::size_t count, const SymbolSlot* slots,
                   std::int32_t total);

// encodeSymbols in blocks that the buffer has room for, growing it only as
// the stream needs: the buffer never has to hold the worst case of all the
// symbols at once, only of the last block (at most about 2 MiB more).
// Where the room is fixed, the caller gives blocks that fit.
void encodeGrowing(Encoder& enc, const std::uint8_t* symbols, std::size_t count, const SymbolSlot* slots,
                   std::int32_t total);

// The normalised range after coding `count` symbols from `range`: the chain
// of units alone, without low or bytes.
std::int32_t rangeAfter(std::int32_t range, const std::uint8_t* symbols, std::size_t count,
                        const SymbolSteps& steps);

} // namespace vemk::rc
