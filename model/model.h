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
#include <cstddef>
#include <cstdint>
#include <span>

#include "rc/slot.h"

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

// About how many bytes the coded stream of the counted bytes takes with
// `freq`: each byte's share of the interval, in bits, summed. For sizing
// buffers only; the stream itself depends on nothing but the bytes.
std::size_t expectedCodedBytes(const FrequencyTable& counts, const FrequencyTable& freq);

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

// findSymbol without the scan, for decoding many symbols with one table.
// A coarse table maps each run of 32 targets to the slot that holds the
// first of them; one comparison with the end of that slot confirms it, and
// only a target past a slot boundary inside its run walks on. Each entry is
// the slot as the decoder's loop reads it (rc::packSlot), so that the path
// from target to next unit has a single load on it; the tables stay in the
// first-level cache (19 KiB). Usable when every entry is below 0x10000, as
// in any stored table.
struct SymbolLookup {
    static constexpr int bucketBits = 5;
    static constexpr std::size_t buckets = (0x10000 >> bucketBits) + 1;
    std::array<rc::PackedSlot, buckets> bucket{}; // the run's first slot; 0 for none
    std::array<rc::PackedSlot, 256> slot{};       // each symbol's slot
    std::array<std::uint32_t, 257> slotEnd{};    // cumFreq + freq; entry 256 never matches
};

// Builds the lookup for a table whose total lies in 1..0x10000 and whose
// entries are all below 0x10000.
SymbolLookup symbolLookup(const FrequencyTable& freq);

// The same slot as findSymbol(target, table) for 0 <= target < total,
// packed; callers refuse other targets before they get here. `run` is
// target >> bucketBits, which a caller may have at hand sooner.
inline rc::PackedSlot findSymbolFast(std::uint32_t target, std::uint32_t run, const SymbolLookup& lookup) {
    const rc::PackedSlot word = lookup.bucket[run];
    if (target < rc::packedCumFreq(word) + rc::packedFreq(word)) [[likely]] {
        return word;
    }
    std::uint32_t v = rc::packedSymbol(word);
    do {
        ++v;
    } while (target >= lookup.slotEnd[v]);
    return lookup.slot[v];
}

} // namespace vemk::model
