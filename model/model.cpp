#include "model/model.h"

#include <algorithm>
#include <cmath>

#include "common/wide.h"

namespace vemk::model {

namespace {

// The scaling below rounds as the 80-bit extended format does (64-bit
// significand, to nearest, ties to even), and the scale factor once more to
// a double. The stored table must not depend on the platform's long double
// or floating-point flags, so every rounding is done on exact integers: a
// value is m * 2^e with an integer m.

struct Binary {
    Wide m;
    int e; // value = m * 2^e
};

// x rounded to `bits` significant bits, to nearest, ties to even.
Binary roundTo(Binary x, int bits) {
    int drop = bitLength(x.m) - bits;
    if (drop <= 0) {
        return x;
    }
    Wide kept = x.m >> drop;
    Wide rest = x.m & ((Wide{1} << drop) - 1);
    Wide half = Wide{1} << (drop - 1);
    if (rest > half || (rest == half && (kept & Wide{1}) != Wide{0})) {
        kept += 1;
    }
    x.e += drop;
    if (bitLength(kept) > bits) { // rounded up to the next power of two
        kept >>= 1;
        x.e += 1;
    }
    x.m = kept;
    return x;
}

constexpr std::int32_t scaledTarget = 0xFD00; // 65536 - 3 * 256
constexpr int extendedBits = 64;
constexpr int doubleBits = 53;

// 64768 / sum, rounded to 64 significant bits and then to 53.
Binary scaleFactor(std::int32_t sum) {
    // 100 fraction bits leave the quotient at least 84 bits long, so its
    // last bit lies far below where either rounding happens; a non-zero
    // remainder only has to show there, as a sticky bit.
    constexpr int fractionBits = 100;
    Wide numerator = Wide{scaledTarget} << fractionBits;
    Wide divisor{static_cast<std::uint64_t>(sum)};
    WideDivision exact = divide(numerator, divisor);
    bool inexact = exact.remainder != Wide{0};
    Binary q{(exact.quotient << 1) | Wide{inexact ? 1U : 0U}, -fractionBits - 1};
    return roundTo(roundTo(q, extendedBits), doubleBits);
}

// N + 1, where p = count * scale and t = p + 0.5 are rounded to 64 bits and
// N is t rounded to an integer, ties to even.
std::int32_t scaledEntry(std::int32_t count, Binary scale) {
    Binary p = roundTo({Wide{static_cast<std::uint64_t>(count)} * scale.m, scale.e}, extendedBits);
    // p < 2^17 carries at least 47 fraction bits, so 0.5 lines up exactly.
    Binary t = roundTo({p.m + (Wide{1} << (-1 - p.e)), p.e}, extendedBits);
    int fraction = -t.e;
    Wide whole = t.m >> fraction;
    Wide rest = t.m & ((Wide{1} << fraction) - 1);
    Wide half = Wide{1} << (fraction - 1);
    if (rest > half || (rest == half && (whole & Wide{1}) != Wide{0})) {
        whole += 1;
    }
    return static_cast<std::int32_t>(whole) + 1;
}

} // namespace

FrequencyTable countBytes(std::span<const std::uint8_t> input) {
    // Four tables in turn: runs of one byte value would otherwise wait on
    // the store of each increment before the next load of the same entry.
    std::array<std::array<std::uint32_t, 256>, 4> lanes{};
    std::size_t i = 0;
    for (; i + 4 <= input.size(); i += 4) {
        lanes[0][input[i]] += 1;
        lanes[1][input[i + 1]] += 1;
        lanes[2][input[i + 2]] += 1;
        lanes[3][input[i + 3]] += 1;
    }
    for (; i < input.size(); ++i) {
        lanes[0][input[i]] += 1;
    }
    FrequencyTable counts{};
    for (std::size_t v = 0; v < 256; ++v) {
        counts[v] = static_cast<std::int32_t>(lanes[0][v] + lanes[1][v] + lanes[2][v] + lanes[3][v]);
    }
    return counts;
}

FrequencyTable normstat(const FrequencyTable& counts) {
    std::int32_t sum = tableTotal(counts);
    if (sum < 0x10000) {
        return counts;
    }
    Binary scale = scaleFactor(sum);
    FrequencyTable freq{};
    for (std::size_t v = 0; v < 256; ++v) {
        freq[v] = counts[v] == 0 ? 0 : scaledEntry(counts[v], scale);
    }
    return freq;
}

std::size_t expectedCodedBytes(const FrequencyTable& counts, const FrequencyTable& freq) {
    const double total = tableTotal(freq);
    double bits = 0;
    for (std::size_t v = 0; v < 256; ++v) {
        if (counts[v] > 0 && freq[v] > 0) {
            bits += static_cast<double>(counts[v]) * std::log2(total / freq[v]);
        }
    }
    return static_cast<std::size_t>(bits / 8) + 4;
}

void writeFrequencyTable(const FrequencyTable& freq, std::uint8_t* out) {
    for (std::size_t v = 0; v < 256; ++v) {
        out[2 * v] = static_cast<std::uint8_t>(freq[v] & 0xFF);
        out[2 * v + 1] = static_cast<std::uint8_t>(freq[v] >> 8);
    }
}

FrequencyTable readFrequencyTable(std::span<const std::uint8_t> stored) {
    auto byteAt = [&](std::size_t i) -> std::int32_t {
        return i < stored.size() ? stored[i] : 0;
    };
    FrequencyTable freq{};
    for (std::size_t v = 0; v < 256; ++v) {
        freq[v] = byteAt(2 * v) + 256 * byteAt(2 * v + 1);
    }
    return freq;
}

CumulativeTable cumulativeTable(const FrequencyTable& freq) {
    CumulativeTable cum{};
    std::int32_t acc = 0;
    for (std::size_t v = 0; v < 256; ++v) {
        cum[v] = acc;
        acc += freq[v];
    }
    return cum;
}

std::int32_t tableTotal(const FrequencyTable& freq) {
    std::int32_t total = 0;
    for (std::int32_t f : freq) {
        total += f;
    }
    return total;
}

Slot findSymbol(std::int32_t target, const FrequencyTable& freq) {
    std::int32_t acc = 0;
    if (target >= 0) {
        for (std::size_t v = 0; v < 256; ++v) {
            std::int32_t next = acc + freq[v];
            if (target < next) {
                return {acc, static_cast<std::int32_t>(v), freq[v]};
            }
            acc = next;
        }
    }
    return {acc, 0, 0};
}

SymbolLookup symbolLookup(const FrequencyTable& freq) {
    constexpr std::uint32_t width = 1U << SymbolLookup::bucketBits;
    SymbolLookup lookup;
    std::uint32_t acc = 0;
    for (std::size_t v = 0; v < 256; ++v) {
        auto f = static_cast<std::uint32_t>(freq[v]);
        const std::uint64_t word = rc::packSlot(acc, f, static_cast<std::uint32_t>(v));
        lookup.slot[v] = word;
        // The runs whose first target lies in this slot start here.
        std::uint32_t first = (acc + width - 1) / width;
        std::uint32_t last = std::min<std::uint32_t>((acc + f + width - 1) / width, SymbolLookup::buckets);
        for (std::uint32_t b = first; b < last; ++b) {
            lookup.bucket[b] = word;
        }
        acc += f;
        lookup.slotEnd[v] = acc;
    }
    lookup.slotEnd[256] = 0xFFFFFFFF;
    return lookup;
}

} // namespace vemk::model
