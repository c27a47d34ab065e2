#include "rc/rc.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace vemk::rc {

namespace {

constexpr std::int32_t top = 0x10000;      // normalise while range is below this
constexpr std::int32_t settling = 0xFF0000; // a top byte of 0xFF may still carry

// Makes sure `extra` more bytes fit. Never needed for a caller that codes at
// most `capacity` symbols; kept so that no caller can write out of bounds.
bool makeRoom(Encoder& enc, std::size_t extra) {
    if (extra <= enc.room - enc.pos) {
        return true;
    }
    if (enc.roomFixed) {
        return false; // moving the buffer would lose the bytes still to be read
    }
    if (extra > SIZE_MAX - enc.pos) {
        return false; // more than memory can hold where size_t has 32 bits
    }
    std::size_t wanted = enc.pos + extra;
    wanted += std::min(wanted / 2, SIZE_MAX - wanted);
    if (!growBytes(enc.buffer, wanted)) {
        return false;
    }
    enc.room = wanted;
    return true;
}

} // namespace

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

Encoder newEncoder(std::int32_t capacity) {
    Encoder enc;
    auto symbols = static_cast<std::size_t>(capacity < 0 ? 0 : capacity);
    if (symbols > (SIZE_MAX - 4) / 2) {
        enc.outOfMemory = true; // the room would not fit in size_t (32 bits)
        return enc;
    }
    std::size_t room = 2 * symbols + 4;
    enc.buffer = allocateBytes(room);
    enc.room = enc.buffer.bytes ? room : 0;
    enc.outOfMemory = !enc.buffer.bytes;
    return enc;
}

void encode(Encoder& enc, std::int32_t cumFreq, std::int32_t freq, std::int32_t total) {
    std::int32_t unit = enc.range / total;
    std::int32_t low = (enc.low + unit * cumFreq) & 0xFFFFFF;
    if (low < enc.low) {
        enc.carry += 1;
    }
    enc.low = low;
    enc.range = unit * freq;
    while (enc.range < top) {
        shiftLow(enc);
    }
}

void shiftLow(Encoder& enc) {
    if (enc.low < settling || enc.carry > 0) {
        std::size_t count = 1 + static_cast<std::size_t>(enc.pending);
        if (makeRoom(enc, count)) {
            std::uint8_t* out = enc.buffer.data() + enc.pos;
            out[0] = static_cast<std::uint8_t>(enc.cache + enc.carry);
            std::memset(out + 1, (enc.carry - 1) & 0xFF, count - 1);
            enc.pos += count;
        } else {
            enc.outOfMemory = true;
        }
        enc.cache = enc.low >> 16;
        enc.pending = 0;
        enc.carry = 0;
    } else {
        enc.pending += 1;
    }
    enc.low = (enc.low & 0xFFFF) << 8;
    // Unsigned: during the flush range outgrows 32 bits and is no longer used.
    enc.range = static_cast<std::int32_t>(static_cast<std::uint32_t>(enc.range) << 8);
}

ByteString flushEncoder(Encoder& enc) {
    for (int i = 0; i < 4; ++i) {
        shiftLow(enc);
    }
    ByteString stream = std::move(enc.buffer);
    stream.size = enc.pos;
    enc.room = 0;
    enc.pos = 0;
    return stream;
}

Decoder newDecoder(std::span<const std::uint8_t> bytes) {
    Decoder dec;
    dec.buffer = bytes.data();
    dec.size = bytes.size();
    for (int i = 0; i < 4; ++i) {
        loadByte(dec);
    }
    return dec;
}

void loadByte(Decoder& dec) {
    std::int32_t b = dec.pos < dec.size ? dec.buffer[dec.pos] : 0;
    dec.code = ((dec.code & 0xFFFF) << 8) + b;
    dec.pos += 1;
}

std::int32_t decodeTarget(Decoder& dec, std::int32_t total) {
    std::int32_t unit = dec.range / total;
    dec.range = unit;
    return dec.code / unit;
}

void decodeNarrow(Decoder& dec, std::int32_t freq, std::int32_t cumFreq) {
    dec.code -= dec.range * cumFreq;
    dec.range *= freq;
    while (dec.range < top) {
        dec.range <<= 8;
        loadByte(dec);
    }
}

} // namespace vemk::rc

namespace vemk::rc {

// The bytes held back as `cache` and `pending` are written at once and only
// provisionally: the buffer is in memory, so a carry can still run back
// through them there. A carry is common (about one symbol in three on
// text), so it must not cost a branch: the last written byte rides above the
// window and takes it by addition. The normalisation writes four bytes
// unconditionally and keeps as many as it needs.
void encodeSymbols(Encoder& enc, const std::uint8_t* symbols, std::size_t count,
                   const SymbolSlot* slots, std::int32_t total) {
    if (count == 0 || enc.outOfMemory) {
        return;
    }
    auto pending = static_cast<std::size_t>(enc.pending);
    // The held-back bytes, two bytes per symbol, three bytes of slack.
    if (count > (SIZE_MAX - 4 - pending) / 2 || !makeRoom(enc, 1 + pending + 2 * count + 3)) {
        enc.outOfMemory = true;
        return;
    }
    std::uint8_t* const begin = enc.buffer.data();
    std::uint8_t* out = begin + enc.pos;
    auto carryBack = [begin](std::uint8_t* end) {
        std::uint8_t* p = end - 1;
        while (p > begin && *p == 0xFF) {
            *p-- = 0x00;
        }
        *p = static_cast<std::uint8_t>(*p + 1);
    };
    *out++ = static_cast<std::uint8_t>(enc.cache);
    std::memset(out, 0xFF, pending);
    out += pending;
    if (enc.carry > 0) {
        carryBack(out);
    }

    // The chain from one symbol to the next is kept short: no division (a
    // multiply by the total's Divisor), and the number of normalising
    // shifts read off the unit by two comparisons with the symbol's
    // thresholds while the multiply runs, so that the next unit is a
    // multiply and one shift away. With the chain that short, the loop is
    // bound by its instruction count, not by the chain: coding two
    // segments interleaved in this loop, unrolling it, or shifts that need
    // no count register (BMI2) all ran no faster.
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
        std::uint8_t symbol = symbols[i];
        const std::uint32_t term = unit * steps.cumFreq[symbol];
        std::uint32_t shifts = normalisingShifts(unit, symbol, steps);
        scaled = unit * steps.freqMagic[symbol];
        unit = static_cast<std::uint32_t>(scaled >> (divisorShift - 8 * shifts));
        // The addition comes last, just before its test, so that the
        // branch takes the carry flag as it is rather than a copy of it
        // kept across the multiplies (about a tenth of the loop's time).
        if (portable::addCarries(window, term, window)) [[unlikely]] {
            carryBack(out - 1);
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

} // namespace vemk::rc
