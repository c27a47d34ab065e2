// A symbol's slot as the decoder's loop reads it: one 64-bit word, each
// field that the loop waits for one instruction away from the load.
//   bits 0-15 cumFreq, 16-23 zero, 24-31 the symbol, 32-47 zero,
//   48-63 freq; 0 for no slot.
// With cumFreq lowest and zeros above it, word * (unit << 40) is exactly
// cumFreq * unit << 40 (the fields above are carried out of 64 bits); with
// freq on top, the word compared with a bound made from the unit tells
// whether freq is at or below it. The model builds its lookup of these.
#pragma once

#include <cstdint>

namespace vemk::rc {

using PackedSlot = std::uint64_t;

inline constexpr PackedSlot packSlot(std::uint32_t cumFreq, std::uint32_t freq, std::uint32_t symbol) {
    if (freq == 0) {
        return 0;
    }
    return std::uint64_t{cumFreq} | std::uint64_t{symbol} << 24 | std::uint64_t{freq} << 48;
}

inline constexpr std::uint32_t packedCumFreq(PackedSlot word) { return static_cast<std::uint32_t>(word & 0xFFFF); }
inline constexpr std::uint32_t packedFreq(PackedSlot word) { return static_cast<std::uint32_t>(word >> 48); }
inline constexpr std::uint32_t packedSymbol(PackedSlot word) { return static_cast<std::uint32_t>((word >> 24) & 0xFF); }

} // namespace vemk::rc
