// The decoder's fast loop: the same steps as decodeTarget, the search and
// decodeNarrow, once per symbol, with one multiply in place of each
// division and the slot as one packed word (slot.h).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "rc/coder.h"
#include "rc/fast.h"
#include "rc/slot.h"

namespace vemk::rc {

// Decodes up to `count` symbols into `out`. `findSlot(target, quotient)`
// gives the packed slot (slot.h) of a target below `total`, freq at least
// 1; `quotient` is the target with divisorShift bits of fraction below it
// (its integer part exact). A target at or past `total` has no slot. Stops
// early at a target without a slot or at a load past the end of the
// stream, and returns the number of symbols decoded (the last one, if it
// needed that load, included). The decoder is then where the plain steps
// leave it.
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
using UnitDivisors = std::array<Divisor, tabledUnits + 1>;

inline UnitDivisors unitDivisorsFor(std::uint32_t total) {
    UnitDivisors perUnit{};
    for (std::uint32_t u = 1; u <= 0xFFFFFFU / total && u <= tabledUnits; ++u) {
        perUnit[u] = divisorOf(u);
    }
    return perUnit;
}

// Four bytes of the stream from `p` on, the first in the top byte.
inline std::uint32_t fourBytes(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// The loop's state between symbols: the range carried scaled (see
// ScaledTotal), the unit of the next symbol, and the code.
struct LoopState {
    std::uint64_t scaled;
    std::uint32_t unit;
    std::uint32_t code;
};

// Narrows to the packed slot `word` and loads what it needs from the four
// bytes at `stream + at`, with the unit's Divisor from the table. The code
// rides at the top of a 64-bit window with the next four bytes below it;
// taking cumFreq * unit off it and shifting the window by the loads leaves
// the next code in its top 24 bits. The loads are known from the word and
// two bounds on freq that depend on the unit alone, so they are ready
// before the slot is: unit * freq < 0x10000 exactly when
// freq <= 0xFFFF / unit, and unit * freq < 0x100 exactly when
// freq <= 0xFF / unit, which is (0xFFFF / unit) >> 8 (no multiple of the
// unit lies above 0xFF and at or below 0xFFFF / 0x100).
inline void narrowTabled(LoopState& s, PackedSlot word, std::uint64_t unitMagic, Divisor unitDivisor,
                         const std::uint8_t* stream, std::size_t& at) {
    const std::uint32_t mostForOne = divide(0xFFFF, unitDivisor);
    const std::uint64_t oneLoadUpTo = std::uint64_t{mostForOne} << 48 | 0xFFFFFFFFFFFF;
    const std::uint64_t twoLoadsUpTo = std::uint64_t{mostForOne >> 8} << 48 | 0xFFFFFFFFFFFF;
    std::uint64_t window = (std::uint64_t{s.code} << 40) | (std::uint64_t{fourBytes(stream + at)} << 8);
    window -= word * (std::uint64_t{s.unit} << 40);
    // Two loads less the ones needed, counted as two carries.
    const std::uint32_t spared =
        static_cast<std::uint32_t>(word > oneLoadUpTo) + static_cast<std::uint32_t>(word > twoLoadsUpTo);
    s.scaled = unitMagic * (word >> 48);
    s.unit = static_cast<std::uint32_t>(s.scaled >> (divisorShift - 16 + 8 * spared));
    s.code = static_cast<std::uint32_t>((window << (16 - 8 * spared)) >> 40);
    at += 2 - spared;
}

// The same for units too large for the table, with the plain arithmetic.
inline void narrowPlain(LoopState& s, PackedSlot word, std::uint64_t unitMagic, const ScaledTotal& scaledTotal,
                        const std::uint8_t* stream, std::size_t& at) {
    s.code -= s.unit * packedCumFreq(word);
    s.scaled = unitMagic * packedFreq(word);
    s.unit = nextUnit(s.scaled, scaledTotal);
    const std::uint32_t loads = normalisingShifts(s.scaled, scaledTotal);
    // Each load keeps 24 bits: ((code & 0xFFFF) << 8) + byte.
    const std::uint64_t window = (std::uint64_t{s.code} << 32) | fourBytes(stream + at);
    s.code = static_cast<std::uint32_t>((window << (8 * loads)) >> 32) & 0xFFFFFF;
    at += loads;
}

// `toTheEnd`: past the last four bytes, on into the zeros of a stream cut
// short; without it, only as far as four bytes remain.
template <bool unitsTabled, bool toTheEnd, class FindSlot>
std::size_t decodeRuns(Decoder& dec, std::uint8_t* out, std::size_t count, std::uint32_t total,
                       const FindSlot& findSlot) {
    // Locals rather than the record and the caller's finder: the stores to
    // `out` could alias them, which would load them again after each one.
    const FindSlot find = findSlot;
    const ScaledTotal scaledTotal = scaledTotalOf(total);
    const UnitDivisors perUnit = unitsTabled ? unitDivisorsFor(total) : UnitDivisors{};
    const std::uint64_t scaled = static_cast<std::uint32_t>(dec.range) * scaledTotal.magic;
    LoopState s{scaled, nextUnit(scaled, scaledTotal), static_cast<std::uint32_t>(dec.code)};
    std::size_t i = 0;
    // One symbol, looking at four bytes of `stream` from `at` on; false for
    // a target without a slot. unit * magic is formed while the target is
    // still being found, so the slot's freq is one multiply away from the
    // next unit.
    auto step = [&](const std::uint8_t* stream, std::size_t& at) {
        const std::uint64_t unitMagic = s.unit * scaledTotal.magic;
        // The target, and the same quotient with divisorShift bits of
        // fraction: shifting it further gives coarser runs of targets at no
        // cost on the path to the slot.
        const std::uint64_t quotient = unitsTabled ? quotientOf(s.code, perUnit[s.unit])
                                                   : std::uint64_t{s.code / s.unit} << divisorShift;
        const auto target = static_cast<std::uint32_t>(quotient >> divisorShift);
        if (target >= total) {
            return false;
        }
        const PackedSlot word = find(target, quotient);
        if constexpr (unitsTabled) {
            narrowTabled(s, word, unitMagic, perUnit[s.unit], stream, at);
        } else {
            narrowPlain(s, word, unitMagic, scaledTotal, stream, at);
        }
        out[i] = static_cast<std::uint8_t>(packedSymbol(word));
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
    dec.range = static_cast<std::int32_t>(noSlot ? s.unit : normalisedRange(s.scaled, scaledTotal));
    dec.code = static_cast<std::int32_t>(s.code);
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
        const PackedSlot word = findSlot(target, std::uint64_t{target} << divisorShift);
        decodeNarrow(dec, static_cast<std::int32_t>(packedFreq(word)), static_cast<std::int32_t>(packedCumFreq(word)));
        out[0] = static_cast<std::uint8_t>(packedSymbol(word));
        return 1;
    }
    return 0xFFFFFFU / total <= detail::tabledUnits ? detail::decodeRuns<true, true>(dec, out, count, total, findSlot)
                                                    : detail::decodeRuns<false, true>(dec, out, count, total, findSlot);
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
