// Compression: count, scale, code every byte, and lay the file out, into
// the caller's memory or into the output file once all coding is done.
#include <algorithm>
#include <array>
#include <cstring>

#include "lib/flows.h"
#include "lib/head.h"
#include "rc/segments.h"

namespace vemk {

namespace {

// The threads that pay for coding bytes with these counts: a second core
// codes a segment from a guess of the range at its start, which comes from
// chains of units that soon meet where the frequencies differ. Where the
// bytes are spread evenly over all values (random or already compressed
// data, near 8 bits a byte) the chains barely move and the guess is wrong
// or missing; where one value is all there is, the chain never moves. Both
// are coded on one thread, as a second would only cost.
unsigned threadsThatPay(unsigned threads, const model::FrequencyTable& counts, std::size_t expected, std::size_t n) {
    const auto values = std::count_if(counts.begin(), counts.end(), [](std::int32_t c) { return c > 0; });
    const bool even = static_cast<std::uint64_t>(expected) * 800 >= static_cast<std::uint64_t>(n) * 795;
    return values < 2 || even ? 1 : threads;
}

// compressBytes with the occurrences of each byte value of `input` known.
// `spent`, if given, holds the input and is given up: the stream is written
// over the input as it is coded, and may keep the buffer.
Compressed compressCounted(std::span<const std::uint8_t> input, const model::FrequencyTable& counts,
                           unsigned threads, ByteString* spent = nullptr) {
    Compressed c;
    c.freq = model::normstat(counts);
    model::CumulativeTable cum = model::cumulativeTable(c.freq);
    std::int32_t total = model::tableTotal(c.freq);
    rc::SegmentPlan plan;
    plan.expected = model::expectedCodedBytes(counts, c.freq);
    plan.threads = threadsThatPay(threads, counts, plan.expected, input.size());
    // Room for the stream as it is expected to be, growing only if it turns
    // out longer; written over the input, the encoder's own buffer only
    // takes the first symbols.
    rc::Encoder enc = rc::newEncoder(rc::roomFor(spent != nullptr ? 0 : plan.expected));
    if (enc.outOfMemory) {
        c.result = Result::outOfMemory;
        return c;
    }
    std::array<rc::SymbolSlot, 256> slots{};
    for (std::size_t v = 0; v < 256; ++v) {
        slots[v] = {static_cast<std::uint32_t>(cum[v]), static_cast<std::uint32_t>(c.freq[v])};
    }
    c.stream = rc::encodeInSegments(enc, input.data(), input.size(), slots.data(), total, plan, spent);
    if (enc.outOfMemory) {
        c.result = Result::outOfMemory;
    }
    return c;
}

} // namespace

Compressed compressBytes(std::span<const std::uint8_t> input, unsigned threads) {
    return compressCounted(input, model::countBytes(input), threads);
}

namespace {

// A whole compressed file, coded but not yet laid out: its head and the
// coded stream, to be copied once into wherever the caller wants the file.
struct Packing {
    Head head{};
    Compressed coded; // its result is the packing's

    std::size_t size() const { return head.size() + rc::streamSize(coded.stream); }
    void copyTo(std::uint8_t* dst) const {
        std::memcpy(dst, head.data(), head.size());
        dst += head.size();
        for (std::size_t k = 0; k < coded.stream.partCount; ++k) {
            std::memcpy(dst, coded.stream.parts[k].data(), coded.stream.parts[k].size);
            dst += coded.stream.parts[k].size;
        }
    }
};

Packing pack(std::span<const std::uint8_t> input, unsigned threads) {
    Packing p;
    if (input.size() > maxInputBytes) {
        p.coded.result = Result::inputTooLarge;
        return p;
    }
    p.coded = compressBytes(input, threads);
    if (p.coded.result == Result::ok) {
        p.head = writeHead(static_cast<std::int32_t>(input.size()), p.coded.freq);
    }
    return p;
}

} // namespace

Packed packBuffer(std::span<const std::uint8_t> input, unsigned threads) {
    Packed out;
    Packing p = pack(input, threads);
    if (p.coded.result != Result::ok) {
        out.result = p.coded.result;
        return out;
    }
    out.file = allocateBytes(p.size());
    if (!out.file.bytes) {
        out.result = Result::outOfMemory;
        return out;
    }
    p.copyTo(out.file.data());
    out.file.size = p.size();
    return out;
}

Result compressInto(std::span<const std::uint8_t> input, std::span<std::uint8_t> dst, std::size_t& written,
                    unsigned threads) {
    written = 0;
    Packing p = pack(input, threads);
    if (p.coded.result != Result::ok) {
        return p.coded.result;
    }
    if (p.size() > dst.size()) {
        return Result::destinationTooSmall;
    }
    p.copyTo(dst.data());
    written = p.size();
    return Result::ok;
}

Result compressFile(InputFile& in, OutputFile& out, unsigned threads) {
    std::int64_t length = platform::fileLength(in);
    if (length > static_cast<std::int64_t>(maxInputBytes)) {
        return abandon(in, out, Result::inputTooLarge);
    }
    // One byte more than the head can describe tells a file that is too
    // large without reading all of it.
    ByteString input;
    model::FrequencyTable counts{};
    Result read = readAndCount(in, length, maxInputBytes + 1, input, counts, threads > 1);
    if (read == Result::ok && input.size > maxInputBytes) {
        read = Result::inputTooLarge;
    }
    if (read != Result::ok) {
        return abandon(in, out, read);
    }
    // The input is not needed after coding: the stream may take its place.
    const auto inputLength = static_cast<std::int32_t>(input.size);
    Compressed c = compressCounted(input.view(), counts, threads, &input);
    platform::closeInput(in);
    if (c.result != Result::ok) {
        return abandon(in, out, c.result);
    }
    Head head = writeHead(inputLength, c.freq);
    return writeAndClose(out, head, {c.stream.parts.get(), c.stream.partCount});
}

} // namespace vemk
