#include "driver/flows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "driver/decoding.h"
#include "driver/layout.h"
#include "rc/rc.h"

namespace vemk {

namespace {

// compressBytes with the occurrences of each byte value of `input` known.
// `spent`, if given, holds the input and is given up: the stream is written
// over the input as it is coded, and may keep the buffer.
Compressed compressCounted(std::span<const std::uint8_t> input, const model::FrequencyTable& counts,
                           unsigned threads, ByteString* spent = nullptr) {
    Compressed c;
    c.freq = model::normstat(counts);
    model::CumulativeTable cum = model::cumulativeTable(c.freq);
    std::int32_t total = model::tableTotal(c.freq);
    rc::Encoder enc = rc::newEncoder(static_cast<std::int32_t>(input.size()));
    if (enc.outOfMemory) {
        c.result = Result::outOfMemory;
        return c;
    }
    std::array<rc::SymbolSlot, 256> slots{};
    for (std::size_t v = 0; v < 256; ++v) {
        slots[v] = {static_cast<std::uint32_t>(cum[v]), static_cast<std::uint32_t>(c.freq[v])};
    }
    rc::SegmentPlan plan;
    plan.threads = threads;
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

Result checkHead(const model::FrequencyTable& table, std::int32_t length) {
    if (length < 0) {
        return Result::negativeLength;
    }
    std::int32_t total = model::tableTotal(table);
    bool storable = std::all_of(table.begin(), table.end(),
                                [](std::int32_t f) { return f >= 0 && f <= 0xFFFF; });
    if (length > 0 && (!storable || total <= 0 || total > maxTotal)) {
        return Result::badTable;
    }
    return Result::ok;
}

TableDecoder tableDecoderOf(const model::FrequencyTable& table) {
    return {static_cast<std::uint32_t>(model::tableTotal(table)), model::symbolLookup(table)};
}

namespace {

// The table's lookup as the fast decoder asks for a slot.
auto slotFinder(const TableDecoder& t) {
    return [&t](std::uint32_t target, std::uint64_t quotient) {
        constexpr int runShift = rc::divisorShift + model::SymbolLookup::bucketBits;
        return model::findSymbolFast(target, static_cast<std::uint32_t>(quotient >> runShift), t.lookup);
    };
}

} // namespace

std::size_t decodeSome(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count) {
    return rc::decodeSymbols(dec, out, count, t.total, slotFinder(t));
}

std::size_t decodeSomeAhead(rc::Decoder& dec, const TableDecoder& t, std::uint8_t* out, std::size_t count) {
    return rc::decodeSymbolsAhead(dec, out, count, t.total, slotFinder(t));
}

// How decoding ended, once every symbol that could be was decoded. The
// stream read as a number is the final low end of the interval, so after
// the last symbol of a well-formed stream the code is exactly 0: anything
// else is damage that happened to stay inside the table.
Result decodingResult(const rc::Decoder& dec, std::size_t decoded, std::size_t count) {
    if (rc::ranPastEnd(dec)) {
        return Result::streamCutShort;
    }
    if (decoded < count) {
        return Result::targetOutsideTable;
    }
    return dec.code == 0 ? Result::ok : Result::badStreamEnd;
}

Result decodeInto(std::span<const std::uint8_t> coded, const model::FrequencyTable& table, std::int32_t length,
                  std::uint8_t* out) {
    if (length <= 0) {
        return Result::ok;
    }
    const TableDecoder t = tableDecoderOf(table);
    rc::Decoder dec = rc::newDecoder(coded);
    auto count = static_cast<std::size_t>(length);
    return decodingResult(dec, decodeSome(dec, t, out, count), count);
}

Restored decompressBytes(std::span<const std::uint8_t> coded, const model::FrequencyTable& table,
                         std::int32_t length) {
    Restored r;
    r.result = checkHead(table, length);
    if (r.result != Result::ok) {
        return r;
    }
    r.bytes = allocateBytes(static_cast<std::size_t>(length));
    if (!r.bytes.bytes) {
        r.result = Result::outOfMemory;
        return r;
    }
    r.result = decodeInto(coded, table, length, r.bytes.data());
    if (r.result == Result::ok) {
        r.bytes.size = static_cast<std::size_t>(length);
    }
    return r;
}

namespace {

// A whole compressed file, coded but not yet laid out: its head and the
// coded stream, to be copied once into wherever the caller wants the file.
struct Packing {
    Result result = Result::ok;
    Head head{};
    Compressed coded;

    std::size_t size() const { return head.size() + coded.stream.size; }
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
        p.result = Result::inputTooLarge;
        return p;
    }
    p.coded = compressBytes(input, threads);
    p.result = p.coded.result;
    if (p.result == Result::ok) {
        p.head = writeHead(static_cast<std::int32_t>(input.size()), p.coded.freq);
    }
    return p;
}

} // namespace

Packed compressBuffer(std::span<const std::uint8_t> input, unsigned threads) {
    Packed out;
    Packing p = pack(input, threads);
    if (p.result != Result::ok) {
        out.result = p.result;
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

Restored decompressBuffer(std::span<const std::uint8_t> file) {
    HeadFields head = readHead(file);
    return decompressBytes(codedStream(file), head.table, head.length);
}

Result compressInto(std::span<const std::uint8_t> input, std::span<std::uint8_t> dst, std::size_t& written,
                    unsigned threads) {
    written = 0;
    Packing p = pack(input, threads);
    if (p.result != Result::ok) {
        return p.result;
    }
    if (p.size() > dst.size()) {
        return Result::destinationTooSmall;
    }
    p.copyTo(dst.data());
    written = p.size();
    return Result::ok;
}

Result decompressInto(std::span<const std::uint8_t> file, std::span<std::uint8_t> dst, std::size_t& written) {
    written = 0;
    HeadFields head = readHead(file);
    Result r = checkHead(head.table, head.length);
    if (r != Result::ok) {
        return r;
    }
    auto length = static_cast<std::size_t>(head.length);
    if (length > dst.size()) {
        return Result::destinationTooSmall;
    }
    r = decodeInto(codedStream(file), head.table, head.length, dst.data());
    if (r == Result::ok) {
        written = length;
    }
    return r;
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

namespace {

// decompressBytes on a coded stream that may still be coming in (see
// ReadAhead), for a head that checkHead has let through. The decoder stays
// behind the bytes read by the four and the two per symbol that it may
// load, so it never takes a stream still coming in for one cut short; the
// last symbols wait for the whole stream. A failure to read comes first, as
// when the stream is read before decoding.
Restored decompressFollowing(InputFile& in, std::size_t limit, ReadAhead& ahead, const HeadFields& head) {
    Restored r;
    const auto count = static_cast<std::size_t>(head.length);
    r.bytes = allocateBytes(count);
    const TableDecoder t = tableDecoderOf(head.table);
    rc::Decoder dec;
    bool started = false;
    bool refused = false;
    std::size_t decoded = 0;
    const std::uint8_t* stream = ahead.bytes.data();
    while (r.bytes.bytes && !refused && decoded < count && !ahead.done.load(std::memory_order_acquire)) {
        const std::size_t have = ahead.ready.load(std::memory_order_acquire);
        if (!started && have >= 4) {
            dec = rc::newDecoder({stream, have});
            started = true;
        }
        if (!started || have < dec.pos + 6) {
            std::this_thread::yield();
            continue;
        }
        const std::size_t n = std::min(count - decoded, (have - 4 - dec.pos) / 2);
        dec.size = have;
        const std::size_t got = decodeSome(dec, t, r.bytes.data() + decoded, n);
        decoded += got;
        refused = got < n;
    }
    r.result = finishReadAhead(in, limit, ahead);
    if (r.result == Result::ok && !r.bytes.bytes) {
        r.result = Result::outOfMemory;
    }
    if (r.result != Result::ok) {
        return r;
    }
    if (!refused && decoded < count) {
        if (!started) {
            dec = rc::newDecoder(ahead.bytes.view());
        } else {
            dec.buffer = ahead.bytes.data();
            dec.size = ahead.bytes.size;
        }
        decoded += decodeSome(dec, t, r.bytes.data() + decoded, count - decoded);
    }
    r.result = decodingResult(dec, decoded, count);
    if (r.result == Result::ok) {
        r.bytes.size = count;
    }
    return r;
}

} // namespace

Result decompressFile(InputFile& in, OutputFile& out) {
    // The head first: its length bounds the coded stream. Each symbol moves
    // at most two bytes out of the coder's window and the flush four, so
    // the decoder never loads more than 4 + 2n bytes, and nothing after
    // them is read (an endless input ends there too).
    // A head that shows damage is refused before anything more is read.
    std::int64_t length = platform::fileLength(in);
    ByteString headRead;
    Result why = readUpTo(in, length, headBytes, headRead);
    HeadFields head = readHead(headRead.view());
    if (why == Result::ok) {
        why = checkHead(head.table, head.length);
    }
    Restored r;
    if (why == Result::ok && headRead.size == headBytes) {
        std::uint64_t most = 4 + 2 * static_cast<std::uint64_t>(head.length);
        std::size_t limit = most < SIZE_MAX ? static_cast<std::size_t>(most) : SIZE_MAX;
        std::int64_t streamLength = length < 0 ? -1 : length - static_cast<std::int64_t>(headBytes);
        // A long stream is decoded while it is read.
        ReadAhead ahead;
        startReadAhead(in, streamLength, limit, ahead);
        r = decompressFollowing(in, limit, ahead, head);
    } else if (why == Result::ok) {
        r = decompressBytes({}, head.table, head.length); // a head cut short
    }
    platform::closeInput(in);
    if (why == Result::ok) {
        why = r.result;
    }
    if (why != Result::ok) {
        return abandon(in, out, why);
    }
    return writeAndClose(out, r.bytes.view(), {});
}

namespace {

// Opens the two files by name with the command line's rules and runs `flow`
// on them; the flow closes both.
template <class Flow>
Result onFiles(const char* inputName, const char* outputName, Flow flow) {
    InputFile in;
    if (inputName == nullptr || !platform::openInput(inputName, in)) {
        return Result::cannotOpenInput;
    }
    OutputFile out;
    if (outputName == nullptr || !platform::openOutput(outputName, in, out)) {
        platform::closeInput(in);
        return Result::cannotOpenOutput;
    }
    return flow(in, out);
}

} // namespace

Result compressFile(const char* inputName, const char* outputName) {
    return onFiles(inputName, outputName, [](InputFile& in, OutputFile& out) { return compressFile(in, out); });
}

Result decompressFile(const char* inputName, const char* outputName) {
    return onFiles(inputName, outputName, [](InputFile& in, OutputFile& out) { return decompressFile(in, out); });
}

} // namespace vemk
