// The statistics model: one static table of 256 byte frequencies per file.
//
// Compression counts the byte values (`countBytes`), scales the counts so
// that they sum below 65536 (`normstat`) and stores the table in the head
// of the compressed file; decompression reads it back and never counts.
// The coder consumes, per byte, its slot [cumFreq, cumFreq + freq) out of
// `total`.
//
// Invariants of a table made by countBytes + normstat:
//  1. entry v is 0 exactly when byte value v does not occur;
//  2. total <= 65535 (the raw counts when they sum below 65536, otherwise
//     between 64769 and 65280), so range / total is never 0 in the coder;
//  3. every entry fits in 16 bits.
// A table read from a file carries none of these guarantees.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace vemk::model {

using FrequencyTable = std::array<std::int32_t, 256>;
using CumulativeTable = std::array<std::int32_t, 256>;

// Bytes of the stored table: 256 little-endian 16-bit entries.
inline constexpr std::size_t tableBytes = 512;

// Occurrences of each byte value.
FrequencyTable countBytes(std::span<const std::uint8_t> input);

// Scales counts summing to 65536 or more into a table whose total is below
// 65536; smaller sums are returned unchanged.
FrequencyTable normstat(const FrequencyTable& counts);

// Appends the table's 512 stored bytes at `out`.
void writeFrequencyTable(const FrequencyTable& freq, std::uint8_t* out);

// Reads the table from the stored bytes; bytes missing at the end (a file
// cut short) count as 0.
FrequencyTable readFrequencyTable(std::span<const std::uint8_t> stored);

// Entry v: the sum of the frequencies of all byte values below v.
CumulativeTable cumulativeTable(const FrequencyTable& freq);

// The sum of all 256 frequencies.
std::int32_t tableTotal(const FrequencyTable& freq);

struct Slot {
    std::int32_t cumFreq;
    std::int32_t symbol; // 0..255
    std::int32_t freq;   // 0 only when the target has no slot
};

// The byte value whose slot holds `target`. A target outside [0, total)
// has no slot: the result then has freq 0, and the search never reads past
// the 256 entries.
Slot findSymbol(std::int32_t target, const FrequencyTable& freq);

} // namespace vemk::model
