#include "rc/coder.h"

#include <algorithm>
#include <cstring>

namespace vemk::rc {

namespace {

constexpr std::int32_t top = 0x10000;      // normalise while range is below this
constexpr std::int32_t settling = 0xFF0000; // a top byte of 0xFF may still carry

} // namespace

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
    wanted += std::min(wanted / 4, SIZE_MAX - wanted);
    if (!resizeBytes(enc.buffer, wanted)) {
        return false;
    }
    enc.room = wanted;
    return true;
}

Encoder newEncoder(std::size_t room) {
    Encoder enc;
    enc.buffer = allocateBytes(room).bytes;
    enc.room = enc.buffer ? room : 0;
    enc.outOfMemory = !enc.buffer;
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
            std::uint8_t* out = enc.buffer.get() + enc.pos;
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
    ByteString stream{std::move(enc.buffer), enc.pos};
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
