#include "driver/flows.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "driver/layout.h"
#include "rc/rc.h"

namespace vemk {

namespace {

// The coder divides a range of at least 0x10000 by the total: a larger
// total would leave a unit of 0.
constexpr std::int32_t maxTotal = 0x10000;

Result writeAndClose(OutputFile& out, std::span<const std::uint8_t> first,
                     std::span<const std::uint8_t> second) {
    bool written = writeAll(out, first) && writeAll(out, second);
    return closeOutput(out, !written);
}

// Closes both files after a failure; the output is still empty.
Result abandon(InputFile& in, OutputFile& out, Result why) {
    closeInput(in);
    (void)closeOutput(out, true);
    return why;
}

} // namespace

Compressed compressBytes(std::span<const std::uint8_t> input, unsigned threads) {
    Compressed c;
    c.freq = model::normstat(model::countBytes(input));
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
    c.stream = rc::encodeInSegments(enc, input.data(), input.size(), slots.data(), total, plan);
    if (enc.outOfMemory) {
        c.result = Result::outOfMemory;
    }
    return c;
}

Restored decompressBytes(std::span<const std::uint8_t> coded, const model::FrequencyTable& table,
                         std::int32_t length) {
    Restored r;
    if (length < 0) {
        r.result = Result::negativeLength;
        return r;
    }
    std::int32_t total = model::tableTotal(table);
    bool storable = std::all_of(table.begin(), table.end(),
                                [](std::int32_t f) { return f >= 0 && f <= 0xFFFF; });
    if (length > 0 && (!storable || total <= 0 || total > maxTotal)) {
        r.result = Result::badTable;
        return r;
    }
    r.bytes = allocateBytes(static_cast<std::size_t>(length));
    if (!r.bytes.bytes) {
        r.result = Result::outOfMemory;
        return r;
    }
    if (length == 0) {
        return r;
    }
    const model::SymbolLookup lookup = model::symbolLookup(table);
    const auto slotOf = [&lookup](std::uint32_t target, std::uint64_t quotient) {
        constexpr int runShift = rc::divisorShift + model::SymbolLookup::bucketBits;
        return model::findSymbolFast(target, static_cast<std::uint32_t>(quotient >> runShift), lookup);
    };
    rc::Decoder dec = rc::newDecoder(coded);
    auto count = static_cast<std::size_t>(length);
    std::size_t decoded = rc::decodeSymbols(dec, r.bytes.data(), count, static_cast<std::uint32_t>(total), slotOf);
    if (rc::ranPastEnd(dec)) {
        r.result = Result::streamCutShort;
    } else if (decoded < count) {
        r.result = Result::targetOutsideTable;
    } else {
        r.bytes.size = count;
    }
    return r;
}

Packed compressBuffer(std::span<const std::uint8_t> input, unsigned threads) {
    Packed p;
    if (input.size() > maxInputBytes) {
        p.result = Result::inputTooLarge;
        return p;
    }
    Compressed c = compressBytes(input, threads);
    if (c.result != Result::ok) {
        p.result = c.result;
        return p;
    }
    Head head = writeHead(static_cast<std::int32_t>(input.size()), c.freq);
    p.file = allocateBytes(head.size() + c.stream.size);
    if (!p.file.bytes) {
        p.result = Result::outOfMemory;
        return p;
    }
    std::memcpy(p.file.data(), head.data(), head.size());
    std::memcpy(p.file.data() + head.size(), c.stream.data(), c.stream.size);
    p.file.size = head.size() + c.stream.size;
    return p;
}

Restored decompressBuffer(std::span<const std::uint8_t> file) {
    HeadFields head = readHead(file);
    return decompressBytes(codedStream(file), head.table, head.length);
}

Result compressFile(InputFile& in, OutputFile& out) {
    ByteString input;
    Result read = readWhole(in, fileLength(in), maxInputBytes, input);
    if (read != Result::ok) {
        return abandon(in, out, read);
    }
    Compressed c = compressBytes(input.view());
    closeInput(in);
    if (c.result != Result::ok) {
        return abandon(in, out, c.result);
    }
    Head head = writeHead(static_cast<std::int32_t>(input.size), c.freq);
    return writeAndClose(out, head, c.stream.view());
}

Result decompressFile(InputFile& in, OutputFile& out) {
    ByteString file;
    Result read = readWhole(in, fileLength(in), SIZE_MAX - 1, file);
    closeInput(in);
    if (read != Result::ok) {
        return abandon(in, out, read);
    }
    Restored r = decompressBuffer(file.view());
    if (r.result != Result::ok) {
        return abandon(in, out, r.result);
    }
    return writeAndClose(out, r.bytes.view(), {});
}

namespace {

// Opens the two files by name with the command line's rules and runs `flow`
// on them; the flow closes both.
Result onFiles(const char* inputName, const char* outputName, Result (*flow)(InputFile&, OutputFile&)) {
    InputFile in;
    if (!openInput(inputName, in)) {
        return Result::cannotOpenInput;
    }
    OutputFile out;
    if (!openOutput(outputName, in, out)) {
        closeInput(in);
        return Result::cannotOpenOutput;
    }
    return flow(in, out);
}

} // namespace

Result compressFile(const char* inputName, const char* outputName) {
    return onFiles(inputName, outputName, compressFile);
}

Result decompressFile(const char* inputName, const char* outputName) {
    return onFiles(inputName, outputName, decompressFile);
}

} // namespace vemk
