#include "rc/fast.h"

#include <cstring>

namespace vemk::rc {

SymbolSteps symbolStepsOf(const SymbolSlot* slots, std::uint32_t total) {
    SymbolSteps steps;
    steps.scaledTotal = scaledTotalOf(total);
    for (std::size_t v = 0; v < 256; ++v) {
        const std::uint32_t freq = slots[v].freq;
        steps.freqMagic[v] = freq * steps.scaledTotal.magic;
        steps.cumFreq[v] = slots[v].cumFreq;
        // unit * freq < 0x10000 exactly when unit <= 0xFFFF / freq; a symbol
        // that never occurs keeps 0, which no unit is at or below.
        steps.oneShiftUpTo[v] = freq == 0 ? 0 : 0xFFFF / freq;
        steps.twoShiftsUpTo[v] = freq == 0 ? 0 : 0xFF / freq;
    }
    return steps;
}

// The bytes held back as `cache` and `pending` are written at once and only
// provisionally: the buffer is in memory, so a carry can still run back
// through them there. A carry is common (about one symbol in three on
// text), so it must not cost a branch: the last written byte rides above the
// window and takes it by addition. The normalisation writes four bytes
// unconditionally and keeps as many as it needs.
void encodeSymbols(Encoder& enc, const std::uint8_t* symbols, std::size_t count, const SymbolSlot* slots,
                   std::int32_t total) {
    if (count == 0 || enc.outOfMemory) {
        return;
    }
    auto pending = static_cast<std::size_t>(enc.pending);
    // The held-back bytes, two bytes per symbol, three bytes of slack.
    if (count > (SIZE_MAX - 4 - pending) / 2 || !makeRoom(enc, 1 + pending + 2 * count + 3)) {
        enc.outOfMemory = true;
        return;
    }
    std::uint8_t* const begin = enc.buffer.get();
    std::uint8_t* out = begin + enc.pos;
    // The first byte written here is the cache, and cache + carry never
    // passes 0xFF: no carry runs back before it.
    *out++ = static_cast<std::uint8_t>(enc.cache);
    std::memset(out, 0xFF, pending);
    out += pending;
    if (enc.carry > 0) {
        (void)carryBack(begin, out - 1);
    }

    const SymbolSteps steps = symbolStepsOf(slots, static_cast<std::uint32_t>(total));
    // `window` holds the last byte before the window (its top 8 bits) and
    // the 24-bit window itself, so that a carry out of the window lands in
    // that byte by plain addition. Each step stores all four bytes, in
    // stream order, from the position of that byte on; only a carry out of
    // a 0xFF byte (the addition overflows 32 bits) has to run back through
    // the buffer.
    std::uint32_t window = (std::uint32_t{out[-1]} << 24) | static_cast<std::uint32_t>(enc.low);
    std::uint64_t scaled = static_cast<std::uint32_t>(enc.range) * steps.scaledTotal.magic;
    std::uint32_t unit = nextUnit(scaled, steps.scaledTotal);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t symbol = symbols[i];
        const std::uint32_t term = unit * steps.cumFreq[symbol];
        const std::uint32_t shifts = advanceUnit(unit, scaled, symbol, steps);
        // The addition comes last, just before its test, so that the
        // branch takes the carry flag as it is rather than a copy of it
        // kept across the multiplies.
        if (portable::addCarries(window, term, window)) [[unlikely]] {
            (void)carryBack(begin, out - 2);
        }
        out[-1] = static_cast<std::uint8_t>(window >> 24);
        out[0] = static_cast<std::uint8_t>(window >> 16);
        out[1] = static_cast<std::uint8_t>(window >> 8);
        out[2] = static_cast<std::uint8_t>(window);
        out += shifts;
        window <<= 8 * shifts;
    }
    const std::uint32_t low = window & 0xFFFFFF;
    const std::uint32_t range = normalisedRange(scaled, steps.scaledTotal);

    // Back to the held-back form: the trailing 0xFF bytes are pending, the
    // byte before them is the cache.
    std::uint8_t* held = out - 1;
    while (held > begin && *held == 0xFF) {
        --held;
    }
    enc.pending = static_cast<std::int32_t>(out - 1 - held);
    enc.cache = *held;
    enc.carry = 0;
    enc.pos = static_cast<std::size_t>(held - begin);
    enc.low = static_cast<std::int32_t>(low);
    enc.range = static_cast<std::int32_t>(range);
}

void encodeGrowing(Encoder& enc, const std::uint8_t* symbols, std::size_t count, const SymbolSlot* slots,
                   std::int32_t total) {
    // A block needs the held-back bytes, two bytes per symbol and slack.
    constexpr std::size_t slack = 8;
    constexpr std::size_t mostAtOnce = std::size_t{1} << 20;
    std::size_t done = 0;
    while (done < count && !enc.outOfMemory) {
        const std::size_t held = static_cast<std::size_t>(enc.pending) + slack;
        const std::size_t free = enc.room - enc.pos;
        std::size_t n = free > held ? (free - held) / 2 : 0;
        if (n < std::min(count - done, mostAtOnce)) {
            // Room for one more block of the most at once.
            n = std::min(count - done, mostAtOnce);
            if (!makeRoom(enc, held + 2 * n)) {
                enc.outOfMemory = true;
                return;
            }
        }
        n = std::min(n, count - done);
        encodeSymbols(enc, symbols + done, n, slots, total);
        done += n;
    }
}

std::int32_t rangeAfter(std::int32_t range, const std::uint8_t* symbols, std::size_t count,
                        const SymbolSteps& steps) {
    if (count == 0) {
        return range;
    }
    std::uint64_t scaled = static_cast<std::uint32_t>(range) * steps.scaledTotal.magic;
    std::uint32_t unit = nextUnit(scaled, steps.scaledTotal);
    for (std::size_t i = 0; i < count; ++i) {
        (void)advanceUnit(unit, scaled, symbols[i], steps);
    }
    return static_cast<std::int32_t>(normalisedRange(scaled, steps.scaledTotal));
}

} // namespace vemk::rc
